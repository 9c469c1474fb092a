// python_bindings.cpp - gnuradio.rsid.rsid_python: the blocks for Python, as GNU Radio binds
// its own (pybind11, one bind_* per block, gnuradio.gr's base classes imported first).
#include <pybind11/pybind11.h>

namespace py = pybind11;

void bind_detector(py::module& m);
void bind_band_scanner(py::module& m);

PYBIND11_MODULE(rsid_python, m) {
    py::module::import("gnuradio.gr"); // the base blocks' methods (start, nitems_read, ...)
    bind_detector(m);
    bind_band_scanner(m);
}
