// The extension module _pilora_lib: one class, PiloraLib, over the native PiloraLibPython.
// Multi-phase initialisation; main interpreter only; the GIL stays in use (the default).
//
// The methods take their arguments through the casters below, which keep pybind11's
// conversions and signatures and add what a bed needs: the object must be built and not in the
// middle of stacking, the sequences must have an order of their own, and the table is read only
// where it is aligned.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pilora_lib_python.hpp"

namespace py = pybind11;

namespace pilora {

// The PiloraLib a method is called on, whose __init__ has run and which is not stacking.
struct Built {
    PiloraLibPython* bed;
    PiloraLibPython* operator->() const { return bed; }
};

// A sequence of items in an order of its own: a list, a tuple, a generator, a dict view, ...
// but not a set or a frozenset, whose order changes with the hash seed. (pybind11 refuses a
// dict, a str and bytes already.)
template <class T>
struct Ordered : std::vector<T> {};

// The table of stack_list as a float64 array that may be read in place: aligned, copied first
// where it is not.
struct AlignedTable {
    PiloraLibPython::Table array;
};

namespace binding {

inline const py::detail::type_info* lib_type() {
    return py::detail::get_type_info(typeid(PiloraLibPython));
}

// Whether `object`, a PiloraLib, holds a PiloraLibPython: false before its __init__ has run.
inline bool holds_bed(py::handle object, const py::detail::type_info* type) {
    return reinterpret_cast<py::detail::instance*>(object.ptr())
        ->get_value_and_holder(type)
        .holder_constructed();
}

// The class's __init__ in front of pybind11's: pybind11 ignores a second __init__ on a built
// object, which would silently keep the old bed; this refuses it and passes every other call on.
// The guard is a builtin function with the same name and docstring (so the same signature for
// stub generators); `constructor` is pybind11's function.
PyObject* init_once(PyObject* constructor, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    const py::detail::type_info* type = lib_type();
    if (nargs > 0 && PyObject_TypeCheck(args[0], type->type) && holds_bed(args[0], type)) {
        PyErr_SetString(PyExc_TypeError, "PiloraLib.__init__() called on a built bed: a new bed "
                                         "takes a new PiloraLib");
        return nullptr;
    }
    return PyObject_Vectorcall(constructor, args, static_cast<std::size_t>(nargs), kwnames);
}

void guard_init(py::class_<PiloraLibPython>& cls) {
    static std::string doc;
    static PyMethodDef definition{
        "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&init_once)),
        METH_FASTCALL | METH_KEYWORDS, nullptr};
    const py::object method = cls.attr("__dict__")["__init__"];
    const auto constructor =
        py::reinterpret_borrow<py::object>(PyInstanceMethod_Function(method.ptr()));
    doc = py::str(constructor.attr("__doc__"));
    definition.ml_doc = doc.c_str();
    const py::object guard = python::made(
        PyCFunction_NewEx(&definition, constructor.ptr(), cls.attr("__module__").ptr()));
    cls.attr("__init__") = python::made(PyInstanceMethod_New(guard.ptr()));
}

}  // namespace binding
}  // namespace pilora

namespace pybind11::detail {

template <>
struct type_caster<pilora::Built> {
    static constexpr auto name = make_caster<pilora::PiloraLibPython>::name;
    template <class>
    using cast_op_type = pilora::Built;

    bool load(handle src, bool /*convert*/) {
        const type_info* type = pilora::binding::lib_type();
        if (!PyObject_TypeCheck(src.ptr(), type->type)) return false;
        if (!pilora::binding::holds_bed(src, type)) {
            throw type_error("PiloraLib object not initialised: its __init__ has not run");
        }
        value.bed = reinterpret_cast<instance*>(src.ptr())
                        ->get_value_and_holder(type)
                        .value_ptr<pilora::PiloraLibPython>();
        if (value.bed->stacking) {  // called from a signal handler that interrupted its stacking
            throw std::runtime_error("PiloraLib is busy stacking: a signal handler that interrupts "
                                     "it cannot use the same bed");
        }
        return true;
    }
    operator pilora::Built() const { return value; }

private:
    pilora::Built value{};
};

template <class T>
struct type_caster<pilora::Ordered<T>> : list_caster<pilora::Ordered<T>, T> {
    bool load(handle src, bool convert) {
        return !PyAnySet_Check(src.ptr()) && list_caster<pilora::Ordered<T>, T>::load(src, convert);
    }
};

// pybind11's conversion of a float64 array with forced casting, asking NumPy for an aligned
// array too, and letting a MemoryError through rather than turning it into a TypeError.
template <>
struct type_caster<pilora::AlignedTable> {
    using Table = pilora::PiloraLibPython::Table;
    static constexpr auto name = make_caster<Table>::name;
    template <class>
    using cast_op_type = pilora::AlignedTable&&;

    bool load(handle src, bool convert) {
        if (!convert && !Table::check_(src)) return false;
        PyObject* array = npy_api::get().PyArray_FromAny_(
            src.ptr(), dtype::of<double>().release().ptr(), 0, 0,
            npy_api::NPY_ARRAY_ENSUREARRAY_ | npy_api::NPY_ARRAY_FORCECAST_ |
                npy_api::NPY_ARRAY_ALIGNED_,
            nullptr);
        if (array == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw error_already_set();
            PyErr_Clear();
            return false;
        }
        value.array = reinterpret_steal<Table>(array);
        return true;
    }
    operator pilora::AlignedTable&&() && { return std::move(value); }

private:
    pilora::AlignedTable value;
};

}  // namespace pybind11::detail

PYBIND11_MODULE(_pilora_lib, m, py::multiple_interpreters::not_supported()) {
    using pilora::AlignedTable;
    using pilora::Built;
    using pilora::Ordered;
    using pilora::PiloraLibPython;
    m.doc() = "Pilora Lib for Python";
    py::class_<PiloraLibPython> cls(m, "PiloraLib");
    cls.def(py::init<float, float, float, float, bool, float, float, float, bool, float>())
        .def("stack",
             [](Built self, double timestamp, float x, float z, double volume,
                Ordered<double> parameter_values) {
                 self->stack(timestamp, x, z, volume, std::move(parameter_values));
             })
        .def("stack_list",
             [](Built self, AlignedTable table, Ordered<std::string> column_names) {
                 self->stack_list(std::move(table.array), std::move(column_names));
             })
        .def("reclaim", [](Built self) { return self->reclaim(); })
        .def("get_heights", [](Built self) { return self->get_heights(); })
        // A bed is not copied or pickled (the process-wide random state of deposition cannot go
        // with it). Without this, protocols 0 and 1 would abort the interpreter.
        .def("__reduce_ex__", [](py::handle, py::handle) -> py::typing::NoReturn {
            throw py::type_error("cannot pickle 'PiloraLib' object");
        });
    pilora::binding::guard_init(cls);
}
