"""Vertical sections through the heap, and figures of them and of the heap in 3-D.

A section is a vertical cut through the bed: *across* it at a chosen x (its horizontal cells run
along z) or *along* it at a chosen z (cells along x). It is one grid cell thick: the cells whose
extent holds its position (cell i spans i to i + 1 cell sizes). The bed records every chunk that
comes to rest in a section's cells, so each (height, horizontal) cell of a section knows the
volume that rests there and its volume-weighted stacking time and quality. Rows are one chunk
high (``cell_height``, the bed's chunk height) with row 0 on the floor; reclaiming does not
change a section, which shows the heap as stacked.

Ask for sections with ``pilora.simulate(..., sections={"across": (x, ...), "along": (z, ...)})``;
they come back in ``Result.sections``. :func:`plot_section` draws one coloured by stacking time
or a parameter; :func:`plot_heap_3d` draws the heap as a shaded surface. Lengths in m, volumes
in m³, times in h from the record's start.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.colors import Normalize
    from matplotlib.figure import Figure

    from ._native import Bed
    from .run import Result

__all__ = ["Section", "plot_heap_3d", "plot_section"]


@dataclass(frozen=True, eq=False, repr=False)
class Section:
    """One vertical section of a run. Plain data; picklable.

    Attributes
    ----------
    kind
        ``"across"`` (at x = ``position``, horizontal cells along z) or ``"along"`` (at z =
        ``position``, horizontal cells along x).
    position
        Where the section stands, m (as asked, in single precision).
    cell
        Index of the grid cells it cuts: the x index across, the z index along.
    cell_size
        Width of a horizontal cell, m (the bed's cell size); cell j's centre lies at
        (j + 0.5) * cell_size along the section.
    cell_height
        Height of a row, m (the bed's chunk height); row r spans r to r + 1 cell heights.
    volume
        Volume that came to rest in each cell, m³: float64 of shape (rows, cells).
    values
        ``"time"`` (the volume-weighted stacking time, h from the record's start) and every
        quality parameter (its volume-weighted average), each a float64 array of shape (rows,
        cells), row 0 at the floor, NaN where no material rests. Read-only.
    surface
        Height of the heap along the section, m, per horizontal cell (the run's ``heights``
        along the cut).
    """

    kind: str
    position: float
    cell: int
    cell_size: float
    cell_height: float
    volume: np.ndarray
    values: Mapping[str, np.ndarray]
    surface: np.ndarray

    def __repr__(self) -> str:
        rows, cells = self.volume.shape
        axis = "x" if self.kind == "across" else "z"
        return (f"Section({self.kind} at {axis} = {self.position:g} m, {rows} x {cells} cells of "
                f"{self.cell_size:g} x {self.cell_height:g} m, values {tuple(self.values)})")

    def __reduce__(self) -> tuple[Callable[..., Section], tuple[object, ...]]:  # (a mappingproxy is not picklable)
        return (_section, (self.kind, self.position, self.cell, self.cell_size, self.cell_height, self.volume,
                           dict(self.values), self.surface))

    @property
    def axis(self) -> str:
        """The horizontal axis along the section: ``"z"`` across the bed, ``"x"`` along it."""
        return "z" if self.kind == "across" else "x"

    @property
    def centres(self) -> np.ndarray:
        """Horizontal position of each cell's centre along the section, m."""
        return (np.arange(self.volume.shape[1]) + 0.5) * self.cell_size

    @property
    def levels(self) -> np.ndarray:
        """Height of each row's middle above the floor, m."""
        return (np.arange(self.volume.shape[0]) + 0.5) * self.cell_height


def _section(kind: str, position: float, cell: int, cell_size: float, cell_height: float, volume: np.ndarray,
             values: dict[str, np.ndarray], surface: np.ndarray) -> Section:
    return Section(kind, position, cell, cell_size, cell_height, volume, MappingProxyType(values), surface)


def _read_only(array: np.ndarray) -> np.ndarray:
    array.setflags(write=False)
    return array


def read_sections(native: Bed, heights: np.ndarray, parameters: list[str], time: str) -> tuple[Section, ...]:
    """The sections of a stacked native bed: ``time`` names its hidden stacking-time parameter,
    ``heights`` are its heights (nz, nx)."""
    names = list(native.parameter_names)
    sections = []
    for index, (kind, position, cell) in enumerate(native.sections):
        volume, sums = native.section(index)
        volume = np.array(volume, dtype=np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            averages = np.where(volume[..., None] > 0, sums / volume[..., None], np.nan)
        def column(name: str) -> np.ndarray:  # (all NaN for a bed that never took a portion)
            if name not in names:
                return _read_only(np.full(volume.shape, np.nan))
            return _read_only(np.ascontiguousarray(averages[..., names.index(name)]))

        values = {"time": column(time), **{name: column(name) for name in parameters}}
        surface = heights[:, cell] if kind == "across" else heights[cell, :]
        sections.append(_section(kind, float(position), int(cell), float(native.cell_size),
                                 float(native.chunk_height), _read_only(volume), values,
                                 _read_only(np.array(surface, dtype=np.float64))))
    return tuple(sections)


# ---- figures -------------------------------------------------------------------------------------


def _label(result: Result, what: str) -> str:
    from .figures import text

    if what == "time":
        return "stacking time (h)"
    unit = getattr(result.record, "units", {}).get(what)
    return text(f"{what} ({unit})" if unit else what)


def plot_section(result: Result, index: int = 0, what: str = "time") -> Figure:
    """Section ``index`` of ``result`` coloured by ``what``: ``"time"`` (stacking time, h) or a
    quality parameter (its units from the record, where it has them).

    Each cell of the section is drawn at its true place (m along the section, m above the floor)
    in the colour of the material resting there; empty cells stay blank. The heap's outline (its
    surface along the cut) is drawn over it. A section across the bed is drawn at equal aspect
    (true slopes); one along it is stretched in height, as the axis labels show. On a chevron
    the stacking time shows the layers: each pass is a roof-shaped band of one time.
    """
    from matplotlib.colors import BoundaryNorm, Normalize
    from matplotlib.ticker import MaxNLocator

    from .figures import _figure, _margins, text

    if not result.sections:
        raise ValueError("the run has no sections: give simulate(..., sections={'across': (x, ...)})")
    try:
        section = result.sections[index]
    except IndexError:
        raise ValueError(f"section {index} does not exist: the run has {len(result.sections)}") from None
    if what not in section.values:
        raise ValueError(f"what must be one of {tuple(section.values)}, not {what!r}")
    data = np.asarray(section.values[what])
    rows, cells = data.shape
    extent = cells * section.cell_size
    top = max(float(section.surface.max(initial=0.0)), rows * section.cell_height, section.cell_height)
    across = section.kind == "across"
    if across:  # equal aspect: the figure takes the section's proportions
        plot_width = 7.8
        plot_height = min(5.0, max(1.2, plot_width * 1.12 * top / extent))
        plot_width = min(plot_width, plot_height * extent / (1.12 * top))
        fig = _figure(plot_width + 2.0, plot_height + 0.95)
    else:
        fig = _figure(11.0, 3.6)
    ax = fig.subplots()
    edges_h = np.arange(cells + 1) * section.cell_size
    edges_v = np.arange(rows + 1) * section.cell_height
    finite = data[np.isfinite(data)]
    low, high = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    passes = _pass_starts(result) if what == "time" else None
    norm: Normalize
    if passes is not None and len(passes) > 1:  # one colour per pass: the layers as bands
        norm = BoundaryNorm(np.append(passes, np.nextafter(max(high, passes[-1]), np.inf)), 256, extend="neither")
    else:
        norm = Normalize(low, high if high > low else low + 1.0)
    mesh = ax.pcolormesh(edges_h, edges_v, np.ma.masked_invalid(data), cmap="viridis" if what == "time" else "RdYlBu_r",
                         norm=norm, shading="flat", rasterized=True)
    if passes is not None and isinstance(norm, BoundaryNorm):  # thin lines between the passes' layers
        _layer_lines(ax, np.searchsorted(passes, data, side="right"), np.isfinite(data), edges_h, edges_v)
    ax.stairs(section.surface, edges_h, color="k", lw=1.0, label="heap outline")
    bar = fig.colorbar(mesh, ax=ax, label=_label(result, what), shrink=0.95, pad=0.02, spacing="proportional")
    if isinstance(norm, BoundaryNorm):
        ticks = MaxNLocator(6).tick_values(low, high)
        bar.set_ticks(ticks[(ticks >= norm.boundaries[0]) & (ticks <= norm.boundaries[-1])])
    ax.set_xlim(0.0, extent)
    ax.set_ylim(0.0, top * 1.12)
    if across:
        ax.set_aspect("equal", adjustable="box")
    other = "x" if across else "z"
    ax.set_xlabel(f"{section.axis} {'across' if across else 'along'} the bed (m)")
    ax.set_ylabel("height (m)")
    ax.set_title(text(f"{type(result.plan).__name__}: section {section.kind} the bed at {other} = "
                      f"{section.position:g} m, coloured by {'stacking time' if what == 'time' else what}"),
                 fontsize="medium")
    ax.legend(loc="upper right", fontsize="x-small", frameon=False)
    _margins(fig, left=0.7, right=0.2, bottom=0.55, top=0.4)
    return fig


def _layer_lines(ax: Axes, layer: np.ndarray, filled: np.ndarray, edges_h: np.ndarray, edges_v: np.ndarray) -> None:
    """Draws the edges between filled cells of different layers (``layer`` per cell) where the grid
    resolves them: each of the two layers at least two cells thick across the edge. Layers thinner
    than that (many passes on coarse cells) change from cell to cell, and lines there would draw the
    grid rather than the layers; their colours alone show them."""
    from matplotlib.collections import LineCollection

    segments = _resolved_edges(layer, filled, edges_h, edges_v)
    if segments:
        ax.add_collection(LineCollection(segments, colors="w", linewidths=0.5, alpha=0.8))


def _resolved_edges(layer: np.ndarray, filled: np.ndarray, edges_h: np.ndarray,
                    edges_v: np.ndarray) -> list[tuple[tuple[float, float], tuple[float, float]]]:
    """The segments (m) between cells of different layers, each layer two filled cells thick (or
    more) on its side of the segment, in the direction across it."""
    rows, cols = layer.shape
    # Padded by one cell of "no layer" on every side: a layer's cell at the border counts as thin.
    lay = np.full((rows + 2, cols + 2), -1, dtype=np.int64)
    lay[1:-1, 1:-1] = np.where(filled, layer, -1)
    segments = []
    # Horizontal edges between rows r and r + 1: rows r - 1, r alike and r + 1, r + 2 alike.
    below, above = lay[1:-2, 1:-1], lay[2:-1, 1:-1]
    under, over = lay[:-3, 1:-1], lay[3:, 1:-1]
    edge = (below >= 0) & (above >= 0) & (below != above) & (under == below) & (over == above)
    for r, c in zip(*np.nonzero(edge), strict=True):
        segments.append(((edges_h[c], edges_v[r + 1]), (edges_h[c + 1], edges_v[r + 1])))
    # Vertical edges between columns c and c + 1: columns c - 1, c alike and c + 1, c + 2 alike.
    left, right = lay[1:-1, 1:-2], lay[1:-1, 2:-1]
    further_left, further_right = lay[1:-1, :-3], lay[1:-1, 3:]
    edge = (left >= 0) & (right >= 0) & (left != right) & (further_left == left) & (further_right == right)
    for r, c in zip(*np.nonzero(edge), strict=True):
        segments.append(((edges_h[c + 1], edges_v[r]), (edges_h[c + 1], edges_v[r + 1])))
    return segments


def _pass_starts(result: Result) -> np.ndarray | None:
    """Stacking times (h) at which the plan's passes start, where its portions travel along x and
    turn (a chevron, a strata plan): the first portion's time, then every portion's where the
    stacker turns back; None for fewer than two passes."""
    portions = result.portions
    time, x = portions["time"].to_numpy(), portions["x"].to_numpy()
    step = np.sign(np.diff(x))
    moving = np.flatnonzero(step != 0)
    if len(moving) < 2:
        return None
    turns = moving[1:][step[moving[1:]] != step[moving[:-1]]]
    if len(turns) == 0:
        return None
    return np.unique(np.concatenate(([time[0]], time[turns + 1])))


def _last_stacked(result: Result, nx: int) -> np.ndarray:
    """Per cell along x, the time (h) the stacker last dropped material over it; cells it never
    dropped over (the far slopes of the end cones) take the nearest cell's: the stacking time of
    the heap's surface there, on beds stacked along x. All NaN without material."""
    portions = result.portions
    cells = np.clip(np.floor(portions["x"].to_numpy() / result.cell_size), 0, nx - 1).astype(np.intp)
    last = np.full(nx, -np.inf)
    np.maximum.at(last, cells, np.where(portions["volume"].to_numpy() > 0, portions["time"].to_numpy(), -np.inf))
    dropped = np.flatnonzero(np.isfinite(last))
    if len(dropped) == 0:
        return np.full(nx, np.nan)
    nearest = np.clip(np.searchsorted(dropped, np.arange(nx)), 1, max(len(dropped) - 1, 1))
    if len(dropped) > 1:
        left, right = dropped[nearest - 1], dropped[nearest]
        nearest = np.where(np.arange(nx) - left <= right - np.arange(nx), left, right)
    else:
        nearest = np.full(nx, dropped[0])
    return last[nearest]


def plot_heap_3d(result: Result, color: str = "height", *, cells: int = 240) -> Figure:
    """The heap as a shaded 3-D surface (matplotlib's 3-D axes), coloured by ``color``:
    ``"height"`` (m) or ``"time"``, the time the stacker last dropped material over each x (h from
    the record's start; the surface's stacking time on a bed stacked along its length, such as a
    chevron, where the end cones show as the slopes at both ends).

    The surface is drawn at most ``cells`` cells along each axis (the heights are sampled every
    few cells on larger grids); heights are drawn at true scale against x and z (m).
    """
    from matplotlib import colormaps
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import LightSource, Normalize
    from matplotlib.ticker import MaxNLocator

    from .figures import _figure

    if color not in ("height", "time"):
        raise ValueError(f"color must be 'height' or 'time', not {color!r}")
    heights = np.asarray(result.heights, dtype=np.float64)
    nz, nx = heights.shape
    step = max(1, math.ceil(max(nx, nz) / cells))
    h = heights[::step, ::step]
    c = result.cell_size
    x = (np.arange(nx)[::step] + 0.5) * c
    z = (np.arange(nz)[::step] + 0.5) * c
    X, Z = np.meshgrid(x, z)
    if color == "height":
        field, label, cmap = h, "height (m)", colormaps["terrain"]
    else:
        field = np.broadcast_to(_last_stacked(result, nx)[::step], h.shape)
        field = np.where(h > 0, field, np.nan)
        label, cmap = "stacking time of the surface (h)", colormaps["viridis"]
    finite = field[np.isfinite(field)]
    low, high = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    norm = Normalize(low, high if high > low else low + 1.0)
    rgb = cmap(norm(np.nan_to_num(field, nan=low)))
    rgb[h <= 0] = (0.85, 0.85, 0.85, 1.0)  # the bare floor
    light = LightSource(azdeg=315, altdeg=40)
    shaded = light.shade_rgb(rgb[..., :3], h, fraction=1.0, blend_mode="soft", vert_exag=1.0, dx=c * step, dy=c * step)
    fig = _figure(11, 5.5)
    ax: Any = fig.add_axes((-0.06, -0.12, 0.96, 1.16), projection="3d")  # Axes3D (mplot3d has no types); padded
    ax.plot_surface(X, Z, h, facecolors=shaded, rstride=1, cstride=1, linewidth=0, antialiased=False, shade=False)
    top = max(float(h.max(initial=0.0)), c)
    length, breadth = x[-1] - x[0] + c * step, z[-1] - z[0] + c * step
    # Across a long bed the heap is hard to see at true scale: z and height are drawn at least a
    # fifth and a tenth of the length (the axes' ticks give the metres).
    ax.set_box_aspect((length, max(breadth, 0.2 * length), max(top, 0.1 * length)), zoom=1.2)
    ax.set_xlabel("x along the bed (m)", labelpad=12)
    ax.set_ylabel("z (m)", labelpad=6)
    ax.set_zlabel("height (m)", labelpad=4)
    ax.yaxis.set_major_locator(MaxNLocator(4))
    ax.zaxis.set_major_locator(MaxNLocator(4))
    ax.view_init(elev=30, azim=-60)
    fig.colorbar(ScalarMappable(norm=norm, cmap=cmap), cax=fig.add_axes((0.88, 0.2, 0.015, 0.6)), label=label)
    fig.suptitle(f"{type(result.plan).__name__}: the heap, coloured by "
                 f"{'height' if color == 'height' else 'stacking time'}", fontsize="medium", y=0.97)
    return fig
