#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <gnuradio/rsid/detector.h>

namespace py = pybind11;

void bind_detector(py::module& m) {
    using detector = gr::rsid::detector;
    py::class_<detector, gr::block, gr::basic_block, std::shared_ptr<detector>>(
        m, "detector",
        "Finds identifiers in audio (float, +-1) at samp_rate; publishes a dict per identifier "
        "on the message port 'detections'.")
        .def(py::init(&detector::make), py::arg("samp_rate"),
             py::arg("codes") = std::vector<int>());
}
