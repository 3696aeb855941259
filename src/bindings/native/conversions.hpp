// Conversions between Python and the core's Bed: settings and seeds in, portion tables from
// numbers, arrays and mappings, NumPy arrays and the Reclaimed tuple out, the state bytes, the
// repr. Every call that reaches a bed releases the interpreter lock first and only then lets the
// bed take its own lock, so that no thread waits for one lock while holding the other.
#pragma once

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bed.hpp"
#include "interrupt.hpp"

namespace pilora::native {

namespace py = pybind11;

// Arguments taken as any object and sorted out here; the names are what the stub shows.
inline bool any_object(PyObject*) { return true; }
class ArrayArg : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(ArrayArg, object, any_object)
};
class ValuesArg : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(ValuesArg, object, any_object)
};
class NamesArg : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(NamesArg, object, any_object)
};
class SeedArg : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(SeedArg, object, any_object)
};
class ReclaimedTuple : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(ReclaimedTuple, object, any_object)
};
class SectionsArg : public py::object {
public:
    PYBIND11_OBJECT_DEFAULT(SectionsArg, object, any_object)
};

// The Bed a method is called on, built by __init__ or __setstate__: pybind11 would otherwise run a
// method on the uninitialised storage of Bed.__new__(Bed).
struct BuiltBed {
    Bed* bed = nullptr;
    Bed* operator->() const { return bed; }
    Bed& operator*() const { return *bed; }
};

inline const py::detail::type_info* bed_type() { return py::detail::get_type_info(typeid(Bed)); }

inline bool holds_bed(PyObject* object, const py::detail::type_info* type) {
    return reinterpret_cast<py::detail::instance*>(object)->get_value_and_holder(type).holder_constructed();
}

// __init__ and __setstate__ behind a guard: pybind11 ignores either on a built bed (keeping the
// old one without a word); the guard refuses that and passes every other call on. It is a builtin
// function with the docstring (and so the signature) of pybind11's.
inline PyObject* construct_once(PyObject* constructor, PyObject* const* args, Py_ssize_t nargs, PyObject* names) {
    const py::detail::type_info* type = bed_type();
    if (nargs > 0 && PyObject_TypeCheck(args[0], type->type) && holds_bed(args[0], type)) {
        PyErr_SetString(PyExc_TypeError, "this Bed is built already: a new bed takes a new Bed");
        return nullptr;
    }
    return PyObject_Vectorcall(constructor, args, static_cast<std::size_t>(nargs), names);
}

template <class Class>
void guard_constructor(Class& cls, const char* name) {
    static std::vector<std::unique_ptr<PyMethodDef>> definitions;  // live as long as the module
    static std::vector<std::string> docs;
    const py::object method = cls.attr("__dict__")[name];
    const auto constructor = py::reinterpret_borrow<py::object>(PyInstanceMethod_Function(method.ptr()));
    docs.push_back(py::str(constructor.attr("__doc__")));
    definitions.push_back(std::make_unique<PyMethodDef>(PyMethodDef{
        name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&construct_once)),
        METH_FASTCALL | METH_KEYWORDS, docs.back().c_str()}));
    const auto guard = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(definitions.back().get(), constructor.ptr(), cls.attr("__module__").ptr()));
    if (!guard) throw py::error_already_set();
    const auto bound = py::reinterpret_steal<py::object>(PyInstanceMethod_New(guard.ptr()));
    if (!bound) throw py::error_already_set();
    cls.attr(name) = bound;
}

}  // namespace pilora::native

namespace pybind11::detail {
template <>
struct type_caster<pilora::native::BuiltBed> {
    static constexpr auto name = make_caster<pilora::Bed>::name;
    template <class>
    using cast_op_type = pilora::native::BuiltBed;

    bool load(handle source, bool) {
        const type_info* type = pilora::native::bed_type();
        if (!PyObject_TypeCheck(source.ptr(), type->type)) return false;
        if (!pilora::native::holds_bed(source.ptr(), type)) {
            throw type_error("Bed object not built: its __init__ has not run");
        }
        value.bed = reinterpret_cast<instance*>(source.ptr())->get_value_and_holder(type).value_ptr<pilora::Bed>();
        return true;
    }
    operator pilora::native::BuiltBed() const { return value; }

private:
    pilora::native::BuiltBed value;
};

template <>
struct handle_type_name<pilora::native::ArrayArg> {
    static constexpr auto name = const_name("numpy.typing.ArrayLike");
};
template <>
struct handle_type_name<pilora::native::ValuesArg> {
    static constexpr auto name =
        const_name("collections.abc.Mapping[str, numpy.typing.ArrayLike] | numpy.typing.ArrayLike | None");
};
template <>
struct handle_type_name<pilora::native::NamesArg> {
    static constexpr auto name = const_name("collections.abc.Sequence[str] | None");
};
template <>
struct handle_type_name<pilora::native::SeedArg> {
    static constexpr auto name = const_name("int | None");
};
template <>
struct handle_type_name<pilora::native::SectionsArg> {
    static constexpr auto name =
        const_name("collections.abc.Mapping[str, float | collections.abc.Iterable[float]] | None");
};
template <>
struct handle_type_name<pilora::native::ReclaimedTuple> {
    static constexpr auto name = const_name("Reclaimed");
};
}  // namespace pybind11::detail

namespace pilora::native {

// ---- settings ----------------------------------------------------------------------------------

inline float single(double value) { return static_cast<float>(value); }

// A single-precision setting as the shortest decimal that gives it back (0.3, not 0.30000001...).
inline double setting_value(float value) {
    const std::string text = bed_detail::decimal(value);
    double result = 0.0;
    std::from_chars(text.data(), text.data() + text.size(), result);
    return result;
}

inline std::string setting_text(float value) {
    std::string text = bed_detail::decimal(value);
    if (text.find_first_of(".en") == std::string::npos) text += ".0";
    return text;
}

// A seed: an int from 0 to 2**64 - 1; None draws one from the operating system.
inline std::uint64_t seed_from(const py::handle& seed) {
    if (seed.is_none()) return std::random_device("/dev/urandom")();
    if (PyBool_Check(seed.ptr()) || !PyIndex_Check(seed.ptr())) {
        throw py::type_error("seed must be an int or None, not " + std::string(Py_TYPE(seed.ptr())->tp_name));
    }
    const auto value = py::reinterpret_steal<py::object>(PyNumber_Index(seed.ptr()));
    if (!value) throw py::error_already_set();
    if (PyObject_RichCompareBool(value.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
        throw py::value_error("seed must not be negative");
    }
    const unsigned long long result = PyLong_AsUnsignedLongLong(value.ptr());
    if (PyErr_Occurred()) {
        PyErr_Clear();
        throw py::value_error("seed must be below 2**64");
    }
    return result;
}

// The chunks per volume unit a bed takes from its settings: the one given, that of the cell size
// given, or that of the default cells (width / 120).
inline float resolution(float width, float repose_angle, std::optional<double> chunks_per_volume_unit,
                        std::optional<double> cell_size) {
    if (chunks_per_volume_unit && cell_size) {
        throw std::invalid_argument("give chunks_per_volume_unit or cell_size, not both");
    }
    if (cell_size) return Bed::chunks_per_volume_unit_for(single(*cell_size), repose_angle);
    if (chunks_per_volume_unit) return single(*chunks_per_volume_unit);
    return Bed::default_chunks_per_volume_unit(width, repose_angle);
}

// (chunks_per_volume_unit, cell_size, chunk_height) of a bed with these settings, without the bed.
inline std::tuple<double, double, double> resolve(double width, std::optional<double> chunks_per_volume_unit,
                                                  std::optional<double> cell_size, double repose_angle) {
    const float w = single(width), repose = single(repose_angle);
    if (!(std::isfinite(w) && w > 0.0f)) {
        throw std::invalid_argument("width must be a finite number of metres above zero");
    }
    if (!(repose > 0.0f && repose < 90.0f)) {
        throw std::invalid_argument("repose_angle must be a number of degrees above 0 and below 90");
    }
    const float chunks = resolution(w, repose, chunks_per_volume_unit, cell_size);
    if (!(std::isfinite(chunks) && chunks > 0.0f)) {
        throw std::invalid_argument("chunks_per_volume_unit must be a finite number above zero");
    }
    const Bed::Simulator cell(0.0f, 0.0f, 90.0f, chunks, false, 0.5f, 0.0f, 0.0f, repose);
    return {setting_value(chunks), static_cast<double>(cell.cell_size), static_cast<double>(cell.chunk_height)};
}

// Sections from {"across": x or (x, ...), "along": z or (z, ...)} (m), across ones first; None
// for none.
inline std::vector<SectionPlacement> sections_from(const py::handle& sections) {
    std::vector<SectionPlacement> placements;
    if (sections.is_none()) return placements;
    if (!py::hasattr(sections, "keys")) {
        throw py::type_error("sections must be a mapping such as {'across': (x, ...), 'along': (z, ...)}, not " +
                             std::string(Py_TYPE(sections.ptr())->tp_name));
    }
    for (const py::handle key : py::iter(sections.attr("keys")())) {
        const std::string name = py::str(key);
        if (!PyUnicode_Check(key.ptr()) || (name != "across" && name != "along")) {
            throw py::value_error("sections takes the keys 'across' and 'along', not " +
                                  py::repr(key).cast<std::string>());
        }
    }
    for (const auto& [name, kind] :
         {std::pair{"across", SectionKind::across}, std::pair{"along", SectionKind::along}}) {
        if (!PyMapping_HasKeyString(sections.ptr(), name)) continue;
        const py::object given = sections[py::str(name)];
        const auto position = [&](const py::handle& value) {
            if (PyBool_Check(value.ptr()) || PyUnicode_Check(value.ptr()) || !PyNumber_Check(value.ptr())) {
                throw py::type_error(std::string("sections['") + name + "'] must hold numbers (m), not " +
                                     Py_TYPE(value.ptr())->tp_name);
            }
            const double number = PyFloat_AsDouble(value.ptr());
            if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            placements.push_back(SectionPlacement{kind, single(number)});
        };
        if (PyUnicode_Check(given.ptr()) || !py::isinstance<py::iterable>(given)) {
            position(given);
        } else {
            for (const py::handle value : py::iter(given)) position(value);
        }
    }
    return placements;
}

inline std::unique_ptr<Bed> make_bed(double length, double width, double reclaim_angle,
                                     std::optional<double> chunks_per_volume_unit,
                                     std::optional<double> cell_size, bool circular,
                                     double eight_neighbour_probability, double repose_angle,
                                     const SeedArg& seed, const SectionsArg& sections) {
    BedSettings settings;
    settings.length = single(length);
    settings.width = single(width);
    settings.reclaim_angle = single(reclaim_angle);
    settings.circular = circular;
    settings.eight_neighbour_probability = single(eight_neighbour_probability);
    settings.repose_angle = single(repose_angle);
    settings.chunks_per_volume_unit =
        resolution(settings.width, settings.repose_angle, chunks_per_volume_unit, cell_size);
    const std::vector<SectionPlacement> placements = sections_from(sections);
    return std::make_unique<Bed>(settings, seed_from(seed), placements);
}

inline const char* kind_name(SectionKind kind) { return kind == SectionKind::across ? "across" : "along"; }

// The repr's sections argument: "" without sections.
inline std::string sections_text(const std::vector<SectionPlacement>& placements) {
    if (placements.empty()) return "";
    std::string text;
    for (const SectionKind kind : {SectionKind::across, SectionKind::along}) {
        std::string positions;
        std::size_t count = 0;
        for (const SectionPlacement& p : placements) {
            if (p.kind != kind) continue;
            positions += (count++ ? ", " : "") + setting_text(p.position);
        }
        if (count == 0) continue;
        text += std::string(text.empty() ? "" : ", ") + "'" + kind_name(kind) + "': (" + positions +
                (count == 1 ? ",)" : ")");
    }
    return ", sections={" + text + "}";
}

inline std::string repr(BuiltBed bed) {
    const BedSettings& s = bed->settings();
    return "Bed(length=" + setting_text(s.length) + ", width=" + setting_text(s.width) +
           ", reclaim_angle=" + setting_text(s.reclaim_angle) +
           ", chunks_per_volume_unit=" + setting_text(s.chunks_per_volume_unit) +
           ", circular=" + (s.circular ? "True" : "False") +
           ", eight_neighbour_probability=" + setting_text(s.eight_neighbour_probability) +
           ", repose_angle=" + setting_text(s.repose_angle) + sections_text(bed->section_placements()) +
           ", seed=" + std::to_string(bed->seed()) + ")";
}

// Runs `read` on the bed without the interpreter lock (the bed takes its own).
template <class Read>
auto unlocked(BuiltBed bed, Read read) {
    py::gil_scoped_release release;
    return read(static_cast<const Bed&>(*bed));
}

inline py::tuple names_tuple(const std::vector<std::string>& names) {
    py::tuple result(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) result[i] = py::str(names[i]);
    return result;
}

// ---- stacking ----------------------------------------------------------------------------------

// The portions of one stack() call, read in place from the caller's arrays (kept alive here while
// the bed reads them without the interpreter lock).
class PortionTable {
public:
    PortionTable(const py::handle& x, const py::handle& z, const py::handle& volume, const py::handle& values,
                 const py::handle& names) {
        std::vector<Sized> columns;
        columns.push_back(column_of(x, "x"));
        columns.push_back(column_of(z, "z"));
        columns.push_back(column_of(volume, "volume"));
        read_values(values, names, columns);

        std::optional<std::size_t> count;
        for (const Sized& c : columns) {
            if (!c.length || *c.length == 1) continue;
            if (count && *count != *c.length) {
                std::string sizes;
                for (const Sized& d : columns) {
                    if (d.length) sizes += (sizes.empty() ? "" : ", ") + d.what + " " + std::to_string(*d.length);
                }
                throw py::value_error("x, z, volume and values give different numbers of portions (" + sizes + ")");
            }
            count = c.length;
        }
        portions.count = count.value_or(1);
        for (Sized& c : columns) {
            if (c.length && *c.length == 1 && portions.count != 1) c.column.stride = 0;
        }
        portions.x = columns[0].column;
        portions.z = columns[1].column;
        portions.volume = columns[2].column;
        for (std::size_t i = 3; i < columns.size(); ++i) portions.values.push_back(columns[i].column);
    }

    Portions portions;

private:
    struct Sized {
        Column column;
        std::optional<std::size_t> length;  // none for a single number (repeated for every portion)
        std::string what;
    };

    std::vector<py::object> keep_;
    std::deque<double> numbers_;

    Sized column_of(const py::handle& object, const std::string& what) {
        const std::string expected = what + " must be a number or a 1-D array of numbers";
        if (object.is_none()) throw py::type_error(expected + ", not None");
        if (PyFloat_Check(object.ptr()) || (PyLong_Check(object.ptr()) && !PyBool_Check(object.ptr()))) {
            const double value = PyFloat_AsDouble(object.ptr());
            if (value == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            numbers_.push_back(value);
            return {{&numbers_.back(), 0}, std::nullopt, what};
        }
        auto array = py::array_t<double, py::array::forcecast>::ensure(object);
        if (!array) throw py::type_error(expected);
        if (array.ndim() > 1) throw py::value_error(expected + ", not a " + std::to_string(array.ndim()) + "-D array");
        Sized sized{{array.data(), array.ndim() == 1 ? array.strides(0) : 0},
                    array.ndim() == 1 ? std::optional<std::size_t>(static_cast<std::size_t>(array.shape(0)))
                                      : std::nullopt,
                    what};
        keep_.push_back(std::move(array));
        return sized;
    }

    static std::vector<std::string> names_of(const py::handle& names) {
        if (PyUnicode_Check(names.ptr()) || PyBytes_Check(names.ptr())) {
            throw py::type_error("names must be a sequence of str, not a single string");
        }
        std::vector<std::string> result;
        for (const py::handle name : py::iter(names)) {
            if (!PyUnicode_Check(name.ptr())) throw py::type_error("parameter names must be str");
            result.push_back(name.cast<std::string>());
        }
        return result;
    }

    void read_values(const py::handle& values, const py::handle& names, std::vector<Sized>& columns) {
        if (!names.is_none()) portions.names = names_of(names);
        if (values.is_none()) return;
        if (py::hasattr(values, "keys")) {  // a mapping of names to columns (a dict, a DataFrame, ...)
            if (!portions.names) portions.names = names_of(values.attr("keys")());
            portions.names_in_any_order = true;
            for (const std::string& name : *portions.names) {
                const py::object column = values[py::str(name)];
                columns.push_back(column_of(column, "values['" + name + "']"));
            }
            return;
        }
        auto array = py::array_t<double, py::array::forcecast>::ensure(values);
        if (!array || array.ndim() == 0 || array.ndim() > 2) {
            throw py::type_error(
                "values must be a mapping of names to columns, a 1-D array of one portion's values, a 2-D "
                "array of one row per portion, or None");
        }
        const auto* data = reinterpret_cast<const char*>(array.data());
        if (array.ndim() == 1) {
            for (py::ssize_t p = 0; p < array.shape(0); ++p) {
                columns.push_back(Sized{Column{data + p * array.strides(0), 0}, std::nullopt, "values"});
            }
        } else {
            const auto rows = static_cast<std::size_t>(array.shape(0));
            for (py::ssize_t p = 0; p < array.shape(1); ++p) {
                columns.push_back(Sized{Column{data + p * array.strides(1), array.strides(0)}, rows, "values"});
            }
        }
        keep_.push_back(std::move(array));
    }
};

inline void stack(BuiltBed bed, const ArrayArg& x, const ArrayArg& z, const ArrayArg& volume, const ValuesArg& values,
                  const NamesArg& names) {
    PortionTable table(x, z, volume, values, names);
    SignalPoll signals;
    try {
        py::gil_scoped_release release;
        bed->stack(std::move(table.portions), signals.poll(1024));
    } catch (const StackingInterrupted&) {
        signals.raise();
    }
}

// ---- results -----------------------------------------------------------------------------------

inline py::array_t<float> heights(BuiltBed bed) {
    py::array_t<float> out({static_cast<py::ssize_t>(bed->grid_nz()), static_cast<py::ssize_t>(bed->grid_nx())});
    float* data = out.mutable_data();
    unlocked(bed, [data](const Bed& b) {
        b.heights_into(data);
        return 0;
    });
    return out;
}

// A NumPy array over a vector's storage, which the array then owns (no copy).
inline py::array_t<double> to_array(std::vector<double>&& values, std::vector<py::ssize_t> shape) {
    auto owner = std::make_unique<std::vector<double>>(std::move(values));
    py::capsule base(owner.get(), [](void* p) { delete static_cast<std::vector<double>*>(p); });
    std::vector<double>* vector = owner.release();
    return py::array_t<double>(std::move(shape), vector->data(), base);
}

// The named tuple reclaim() returns, made once: a collections.namedtuple whose fields are read
// through typed properties (which the stub shows with their array types).
inline const py::object& reclaimed_type() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage
        .call_once_and_store_result([] {
            const py::object property = py::module_::import("builtins").attr("property");
            py::object type = py::module_::import("collections")
                                  .attr("namedtuple")("Reclaimed", py::make_tuple("x", "volume", "averages", "names"),
                                                      py::arg("module") = "pilora._native");
            type.attr("__doc__") = "The rows of one reclaim, as arrays with one entry (row) per reclaim step.";
            const auto array_field = [&](const char* name, std::size_t index, const char* doc) {
                type.attr(name) = property(
                    py::cpp_function([index](const py::tuple& self) { return py::array_t<double>(py::object(self[index])); }),
                    py::none(), py::none(), doc);
            };
            array_field("x", 0, "Reclaim position of each row (m), float64[n].");
            array_field("volume", 1, "Volume each row took (m³), float64[n].");
            array_field("averages", 2,
                        "Volume-weighted average of each parameter over the volume of each row (0 where a row "
                        "took nothing), float64[n, P].");
            type.attr("names") = property(
                py::cpp_function(
                    [](const py::tuple& self) { return py::typing::Tuple<py::str, py::ellipsis>(py::object(self[3])); }),
                py::none(), py::none(), "Names of the P parameters, in the order of the averages' columns.");
            return type;
        })
        .get_stored();
}

inline ReclaimedTuple reclaim(BuiltBed bed, double increment) {
    SignalPoll signals;
    ReclaimRows rows;
    try {
        py::gil_scoped_release release;
        rows = bed->reclaim(single(increment), signals.poll(4096));
    } catch (const ReclaimInterrupted&) {
        signals.raise();
    }
    const auto n = static_cast<py::ssize_t>(rows.x.size());
    const auto parameters = static_cast<py::ssize_t>(rows.parameters);
    py::object x = to_array(std::move(rows.x), {n});
    py::object volume = to_array(std::move(rows.volume), {n});
    py::object averages = to_array(std::move(rows.averages), {n, parameters});
    return ReclaimedTuple(reclaimed_type()(x, volume, averages, names_tuple(rows.names)));
}

// ---- sections ----------------------------------------------------------------------------------

inline py::typing::Tuple<py::typing::Tuple<py::str, float, int>, py::ellipsis> sections(BuiltBed bed) {
    const std::vector<SectionPlacement> placements = bed->section_placements();
    py::tuple out(placements.size());
    for (std::size_t i = 0; i < placements.size(); ++i) {
        out[i] = py::make_tuple(py::str(kind_name(placements[i].kind)), setting_value(placements[i].position),
                                bed->section_cell(i));
    }
    return py::typing::Tuple<py::typing::Tuple<py::str, float, int>, py::ellipsis>(out);
}

inline py::typing::Tuple<py::array_t<double>, py::array_t<double>> section(BuiltBed bed, py::ssize_t index) {
    const auto count = static_cast<py::ssize_t>(bed->section_placements().size());
    if (index < 0) index += count;
    if (index < 0 || index >= count) {
        throw py::index_error("section index out of range (the bed has " + std::to_string(count) + " sections)");
    }
    SectionContents contents =
        unlocked(bed, [index](const Bed& b) { return b.section(static_cast<std::size_t>(index)); });
    const auto rows = static_cast<py::ssize_t>(contents.rows), width = static_cast<py::ssize_t>(contents.width);
    py::object volume = to_array(std::move(contents.volume), {rows, width});
    py::object sums = to_array(std::move(contents.sums), {rows, width, static_cast<py::ssize_t>(contents.parameters)});
    return py::typing::Tuple<py::array_t<double>, py::array_t<double>>(py::make_tuple(volume, sums));
}

// ---- state -------------------------------------------------------------------------------------

inline py::bytes state(BuiltBed bed) {
    const std::string bytes = unlocked(bed, [](const Bed& b) { return b.save(); });
    return py::bytes(bytes);
}

inline std::unique_ptr<Bed> from_state(const py::bytes& bytes) {
    const std::string_view view = bytes;  // immutable, and kept alive by the caller
    py::gil_scoped_release release;
    return Bed::restore(view);
}

inline std::unique_ptr<Bed> copy(BuiltBed bed) {
    py::gil_scoped_release release;
    return std::make_unique<Bed>(*bed);
}

}  // namespace pilora::native
