#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <gnuradio/rsid/band_scanner.h>

namespace py = pybind11;

void bind_band_scanner(py::module& m) {
    using band_scanner = gr::rsid::band_scanner;
    py::class_<band_scanner, gr::block, gr::basic_block, std::shared_ptr<band_scanner>>(
        m, "band_scanner",
        "Finds identifiers anywhere in a band of complex samples at samp_rate around "
        "center_freq; publishes a dict per identifier on the message port 'detections'.")
        .def(py::init(&band_scanner::make), py::arg("samp_rate"), py::arg("center_freq") = 0.0,
             py::arg("codes") = std::vector<int>())
        .def("set_center_freq", &band_scanner::set_center_freq, py::arg("center_freq"))
        .def("center_freq", &band_scanner::center_freq);
}
