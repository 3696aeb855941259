// The extension module pilora._native: the package's Bed over the simulation core. Registration
// only; the conversions live in conversions.hpp, the bed itself in the core (bed.hpp).
#include <pybind11/pybind11.h>

#include "conversions.hpp"

namespace py = pybind11;
using pilora::Bed;
using pilora::native::BuiltBed;
namespace native = pilora::native;

namespace {

constexpr const char* bed_doc = R"(A blending bed: a grid of square cells on which material is stacked in unit chunks and
reclaimed slice by slice.

Lengths are in metres, volumes in cubic metres, angles in degrees. Settings are held in single
precision. Each bed owns a random engine (std::minstd_rand, x -> 48271 x mod 2**31 - 1) that
starts in state ``seed mod (2**31 - 1)``, or 1 where that is 0 (std::minstd_rand's own seeding),
so a seeded bed repeats its run exactly; ``seed=None`` draws a seed from the operating system and
keeps it in ``seed``.

Stacking and reclaiming release the interpreter lock, so threads holding a bed each run in
parallel; a bed used from several threads at once does one call at a time. Ctrl-C stops a long
call within about 0.1 s and leaves the bed consistent. copy.copy, copy.deepcopy and pickle give an
independent bed that continues exactly as the original would.

Parameters
----------
length : float
    Extent of the bed along x (m); the reclaim axis of a linear bed.
width : float
    Extent of the bed along z (m).
reclaim_angle : float
    Slope of the reclaim face from the horizontal (degrees, above 0 and at most 90): a chunk
    resting at height h goes into the slice h / tan(reclaim_angle) behind its column.
chunks_per_volume_unit : float, optional
    Unit chunks per m³: the resolution of the model. Give this or ``cell_size``; without either
    the bed takes cells of width / 120 (as ``cell_size=width / 120``, the width in single
    precision): 120 cells across, on which the blending measures, averaged over seeds, lie within
    6.5 % of the finest grid tried (docs/model.md; a single run can differ far more).
    A run's time grows with its chunk count, the volume stacked times chunks_per_volume_unit.
cell_size : float, optional
    Edge of a grid cell (m), the alternative to ``chunks_per_volume_unit``: the bed takes the
    chunks per volume unit whose cells have that size (1 / (cell_size**3 tan(repose_angle))).
circular : bool
    A circular bed: slices follow a quarter arc of radius min(length, width) instead of x.
eight_neighbour_probability : float
    Chance (0 to 1) that a step of a chunk's walk also looks at the four corner neighbours. The
    default, 0.85, makes cones about 30-40 chunks high roundest (0.775 at 24 chunks, 0.925 at 60).
repose_angle : float
    Angle of repose (degrees, above 0 and below 90): the slope one chunk per cell makes. A chunk
    keeps its volume; its height is cell_size tan(repose_angle).
seed : int, optional
    Seed of the bed's engine, from 0 to 2**64 - 1; None draws one from the operating system.
sections : mapping, optional
    Vertical sections that record the material coming to rest in them:
    ``{"across": (x, ...), "along": (z, ...)}`` (m; a single number for one). A section across
    stands at x and spans the width, one along stands at z and spans the length; each cuts the
    cells whose extent holds its position (cell i spans i to i + 1 cell sizes). Every chunk that
    comes to rest in a section's cells is booked into the section's cell at its height: see
    section(). At most ``Bed.max_sections`` (16) sections; on a circular bed only sections
    across. A section outside the bed raises ValueError. Sections only read: the walk, the
    engine, the heights and the slices are the same with and without them.)";

constexpr const char* stack_doc = R"(Stack portions, in order.

x, z : float or 1-D array
    Drop position of each portion (m); positions off the bed go to its edge cells.
volume : float or 1-D array
    Volume of each portion (m³), finite and not below zero.
values : mapping, 1-D or 2-D array, or None
    Quality parameters of the portions: a mapping of name to a column (or a number for every
    portion), a 1-D array of the P values of every portion, or a 2-D array of one row of P values
    per portion. None for portions without parameters.
names : sequence of str, optional
    Names of the array columns (or the mapping keys to take, in that order). The first call that
    stacks a portion records the parameter names; later calls must give the same parameters
    (a mapping may list them in any order; an array without names takes the recorded ones).

Numbers and arrays of length 1 are repeated for every portion. The arrays are read once, into
a copy the bed checks and stacks from (another thread changing them meanwhile changes nothing).
Everything is checked before anything is stacked: non-finite positions or values, negative
volumes, more volume than the bed can still take, values whose products with their volumes add
up (per parameter, with all the bed took before) to 2**1020 or more, and parameters that differ
from the recorded ones raise ValueError and change nothing. Material is cut into unit chunks; a
remainder of less than one chunk waits in the stack buffer and goes down with the next portion.
After Ctrl-C the portions before the interrupted one are stacked, and the interrupted one counts
as stacked with its rest in the buffer.)";

constexpr const char* reclaim_doc = R"(Reclaim the bed from the reclaim position to its end in steps of ``increment`` (m).

Each row removes the material between the previous position and the row's x, whole slices and
the share of the slice x falls in: a row at the current position first (x 0 and volume 0 on a
fresh bed), then one every ``increment``, until the position passes the middle of the last slice
(up to half a slice stays on the bed). Returns a Reclaimed tuple of arrays: x (m), volume (m³),
averages (one row per step, one column per parameter, 0 where a row took nothing) and the
parameter names. Material stacked behind the reclaim position is never reclaimed. After Ctrl-C
the rows done are gone from the bed (and counted in reclaimed_volume).)";

}  // namespace

PYBIND11_MODULE(_native, m, py::mod_gil_not_used(), py::multiple_interpreters::not_supported()) {
    m.doc() = "Native face of the pilora package: the Bed, over the simulation core";
    native::remember_main_thread();
    m.attr("Reclaimed") = native::reclaimed_type();

    py::class_<Bed> bed(m, "Bed", py::is_final(), bed_doc);
    bed
        .def(py::init(&native::make_bed), py::arg("length"), py::arg("width"), py::kw_only(),
             py::arg("reclaim_angle") = 45.0, py::arg("chunks_per_volume_unit") = py::none(),
             py::arg("cell_size") = py::none(), py::arg("circular").noconvert() = false,
             py::arg("eight_neighbour_probability") = 0.85, py::arg("repose_angle") = 45.0,
             py::arg("seed") = py::none(), py::arg("sections") = py::none())
        .def_property_readonly_static("max_sections", [](const py::object&) { return Bed::max_sections; },
                                      "The most sections a bed takes.")

        // Settings.
        .def_property_readonly("length", [](BuiltBed b) { return native::setting_value(b->settings().length); },
                               "Extent along x (m).")
        .def_property_readonly("width", [](BuiltBed b) { return native::setting_value(b->settings().width); },
                               "Extent along z (m).")
        .def_property_readonly("reclaim_angle",
                               [](BuiltBed b) { return native::setting_value(b->settings().reclaim_angle); },
                               "Slope of the reclaim face (degrees from the horizontal).")
        .def_property_readonly(
            "chunks_per_volume_unit",
            [](BuiltBed b) { return native::setting_value(b->settings().chunks_per_volume_unit); },
            "Unit chunks per m³.")
        .def_property_readonly("circular", [](BuiltBed b) { return b->settings().circular; },
                               "Whether the slices follow an arc (circular bed) rather than x.")
        .def_property_readonly(
            "eight_neighbour_probability",
            [](BuiltBed b) { return native::setting_value(b->settings().eight_neighbour_probability); },
            "Chance that a walk step also looks at the corner neighbours.")
        .def_property_readonly("repose_angle",
                               [](BuiltBed b) { return native::setting_value(b->settings().repose_angle); },
                               "Angle of repose (degrees): the slope of one chunk per cell.")
        .def_property_readonly("seed", [](BuiltBed b) { return b->seed(); }, "Seed of the bed's engine (drawn from the OS when none was given).")

        // Derived geometry.
        .def_property_readonly("cell_size", [](BuiltBed b) { return static_cast<double>(b->cell_size()); },
                               "Edge of a grid cell and width of a slice (m).")
        .def_property_readonly("chunk_height", [](BuiltBed b) { return static_cast<double>(b->chunk_height()); },
                               "Height of one chunk in a column (m): cell_size tan(repose_angle).")
        .def_property_readonly("chunk_volume", [](BuiltBed b) { return b->chunk_volume(); },
                               "Volume of one unit chunk (m³): 1 / chunks_per_volume_unit.")
        .def_property_readonly(
            "grid_shape", [](BuiltBed b) { return std::make_tuple(b->grid_nz(), b->grid_nx()); },
            "Cells along z and along x, (nz, nx): the shape of heights.")
        .def_property_readonly("slice_count", [](BuiltBed b) { return b->slice_count(); }, "Number of reclaim slices.")
        .def_property_readonly("reclaim_length", [](BuiltBed b) { return b->reclaim_length(); },
                               "Length of the reclaim axis the slices cover (m): slice_count cells, along x "
                               "on a linear bed and along the arc on a circular one.")
        .def_property_readonly("capacity", [](BuiltBed b) { return b->capacity(); },
                               "Volume the bed can take in all (m³): the limit of its 32-bit column counts, far "
                               "above any heap a plan builds.")

        // State.
        .def_property_readonly(
            "parameter_names",
            [](BuiltBed b) {
                const auto names = native::unlocked(b, [](const Bed& bed) { return bed.parameter_names(); });
                return py::typing::Tuple<py::str, py::ellipsis>(native::names_tuple(names.value_or(std::vector<std::string>{})));
            },
            "Names of the portions' quality parameters, recorded by the first stack() call that stacks a "
            "portion; () before.")
        .def_property_readonly(
            "stacked_volume",
            [](BuiltBed b) { return native::unlocked(b, [](const Bed& bed) { return bed.balance().stacked; }); },
            "Volume accepted by stack() so far (m³).")
        .def_property_readonly(
            "buffered_volume",
            [](BuiltBed b) { return native::unlocked(b, [](const Bed& bed) { return bed.balance().buffered; }); },
            "Volume waiting in the stack buffer (m³): less than one chunk, except after an interrupted stack().")
        .def_property_readonly(
            "bed_volume",
            [](BuiltBed b) { return native::unlocked(b, [](const Bed& bed) { return bed.balance().on_bed; }); },
            "Volume in the slices, not yet reclaimed (m³).")
        .def_property_readonly(
            "reclaimed_volume",
            [](BuiltBed b) { return native::unlocked(b, [](const Bed& bed) { return bed.balance().reclaimed; }); },
            "Volume reclaimed so far (m³).")
        .def_property_readonly(
            "balance",
            [](BuiltBed b) {
                const pilora::VolumeBalance v = native::unlocked(b, [](const Bed& bed) { return bed.balance(); });
                py::typing::Dict<py::str, py::float_> d;
                d["stacked"] = v.stacked;
                d["reclaimed"] = v.reclaimed;
                d["on_bed"] = v.on_bed;
                d["buffered"] = v.buffered;
                d["deposited"] = v.deposited;
                return d;
            },
            "Where the stacked volume is (m³), read at one instant: 'stacked' = 'reclaimed' + 'on_bed' + "
            "'buffered', and 'deposited' (the chunks in the columns, which reclaiming does not lower) = "
            "'reclaimed' + 'on_bed', up to rounding.")
        .def_property_readonly(
            "reclaim_position",
            [](BuiltBed b) {
                return static_cast<double>(native::unlocked(b, [](const Bed& bed) { return bed.reclaim_position(); }));
            },
            "Position up to which the bed has been reclaimed (m along the reclaim axis).")
        .def_property_readonly(
            "engine_state", [](BuiltBed b) { return native::unlocked(b, [](const Bed& bed) { return bed.engine_state(); }); },
            "State of the bed's engine now (1 to 2**31 - 2).")

        // Work.
        .def("stack", &native::stack, py::arg("x"), py::arg("z"), py::arg("volume"), py::arg("values") = py::none(),
             py::arg("names") = py::none(), stack_doc)
        .def_property_readonly("heights", &native::heights,
                               "Heights of the heap (m), a new float32 array of shape grid_shape: heights[z, x]. "
                               "Reclaiming does not lower them.")
        .def("reclaim", &native::reclaim, py::arg("increment"), reclaim_doc)

        // Sections.
        .def_property_readonly("sections", &native::sections,
                               "The sections, across ones first, each (kind, position, cell): 'across' or "
                               "'along', its position (m) and the index of the grid cells it cuts (x index "
                               "across, z index along).")
        .def("section", &native::section, py::arg("index"),
             "What section ``index`` holds: (volume, sums), float64 arrays of shape (rows, cells) and "
             "(rows, cells, P). Row r holds the chunks that came to rest on r chunks (r * chunk_height m "
             "above the floor); cell j is the grid cell j along the section (z index across, x index "
             "along). volume is the volume (m³) that came to rest in each cell, sums[..., p] the sum of "
             "parameter p's value times volume (p in the order of parameter_names): sums / volume is the "
             "cell's volume-weighted average. Rows reach the highest chunk the section holds; "
             "reclaiming changes nothing here.")

        // The resolution of settings, without a bed.
        .def_static("resolve", &native::resolve, py::arg("width"), py::kw_only(),
                    py::arg("chunks_per_volume_unit") = py::none(), py::arg("cell_size") = py::none(),
                    py::arg("repose_angle") = 45.0,
                    "(chunks_per_volume_unit, cell_size, chunk_height) of a bed of this width (m) with "
                    "these settings, as Bed(length, width, ...) takes them (the same defaults and "
                    "refusals), without building it.")

        // Copies and state.
        .def("__copy__", &native::copy)
        .def("__deepcopy__", [](BuiltBed b, const py::dict&) { return native::copy(b); }, py::arg("memo"))
        .def("state", &native::state,
             "The bed's whole state as bytes (versioned, with a checksum), for Bed.from_state().")
        .def_static("from_state", &native::from_state, py::arg("state"),
                    "A bed from Bed.state() bytes; truncated or corrupted bytes raise ValueError.")
        .def(py::pickle(&native::state, &native::from_state))
        .def("__repr__", &native::repr);
    native::guard_constructor(bed, "__init__");
    native::guard_constructor(bed, "__setstate__");
}
