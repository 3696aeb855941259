// The extension module pilora._native: the package's Bed over the simulation core.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(_native, m, py::mod_gil_not_used()) {
    m.doc() = "Native face of the pilora package: the Bed";
}
