// The extension module _pilora_lib: one class, PiloraLib, over the native PiloraLibPython.
// Multi-phase initialisation; main interpreter only; the GIL stays in use (the default).
#include <pybind11/pybind11.h>

#include "pilora_lib_python.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_pilora_lib, m, py::multiple_interpreters::not_supported()) {
    using pilora::PiloraLibPython;
    m.doc() = "Pilora Lib for Python";
    py::class_<PiloraLibPython>(m, "PiloraLib")
        .def(py::init<float, float, float, float, bool, float, float, float, bool, float>())
        .def("stack", &PiloraLibPython::stack)
        .def("stack_list", &PiloraLibPython::stack_list)
        .def("reclaim", &PiloraLibPython::reclaim)
        .def("get_heights", &PiloraLibPython::get_heights);
}
