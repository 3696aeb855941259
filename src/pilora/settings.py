"""Bed settings: the named, documented settings of a bed, and the geometry that follows from them.

The geometry is the simulation core's, in its single precision (the cell from the core itself, the
rest in the same steps), so that plans and analyses can use it without building a native bed.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

import numpy as np

from ._native import Bed

__all__ = ["BedSettings"]

_F = np.float32
# The single-precision value of pi / 2, widened: a circular bed's reclaim arc is this times the
# shorter side of its square.
_QUARTER_TURN = 1.5707963705062866


@dataclass(frozen=True)
class BedSettings:
    """The settings of a blending bed.

    Parameters
    ----------
    length : float
        Length of the bed along x in m (the reclaim axis of a linear bed).
    width : float
        Width of the bed along z in m.
    reclaim_angle : float
        Angle of the reclaim face from the horizontal in degrees, above 0 and at most 90 (90: a
        vertical face; below 90 the face leans forward, so that material high in the heap is
        reclaimed earlier). The rule is the native bed's, applied to the value in single precision.
    chunks_per_volume_unit : float, optional
        Unit chunks per m³: a chunk holds 1 / chunks_per_volume_unit m³. At a 45° repose angle a
        chunk is a cube and the cell size is its edge, chunks_per_volume_unit ** (-1/3) m. None
        (the default): cells of width / 120, the value `pilora.Bed` takes without a resolution
        (see `resolved_chunks_per_volume_unit`); docs/model.md (section 3) gives how far the
        blending measures lie from finer grids there. The chunk count is the volume times this
        value; a run's time grows faster, about as (width / cell)^4 for a given bed. Give this or
        `cell_size`, not both.
    circular : bool
        A circular bed: the grid is the bed's square, and slices run along an arc around the
        square's centre (see `reclaim_length`).
    eight_neighbour_probability : float
        Probability (0 to 1) that a step of a chunk's slide scans all eight neighbours rather than
        the four edge neighbours. The default, 0.85, makes cones about 30-40 chunks high roundest
        (0.775 is roundest at 24 chunks, 0.925 at 60, a roof's height on the default cells): a
        compromise; docs/model.md, section 1.
    repose_angle : float
        Angle of repose in degrees (above 0, below 90): the slope of one chunk per cell.
    cell_size : float, optional (keyword)
        Edge of a grid cell in m, the alternative to `chunks_per_volume_unit` (as `pilora.Bed`
        takes it): the chunks per m³ whose cells have that size, 1 / (cell_size³ tan(repose_angle)).
        The resolved cell is the `cell_size` property.

    Derived values (`resolved_chunks_per_volume_unit`, `cell_size`, `chunk_volume`, `grid_shape`,
    `reclaim_length`, `grid_limit`) are those a `pilora.Bed` built from these settings reports;
    `heap_capacity` is the largest heap the bed holds at the angle of repose.
    """

    length: float
    width: float
    reclaim_angle: float = 45.0
    chunks_per_volume_unit: float | None = None
    circular: bool = False
    eight_neighbour_probability: float = 0.85
    repose_angle: float = 45.0

    def __init__(
        self,
        length: float,
        width: float,
        reclaim_angle: float = 45.0,
        chunks_per_volume_unit: float | None = None,
        circular: bool = False,
        eight_neighbour_probability: float = 0.85,
        repose_angle: float = 45.0,
        *,
        cell_size: float | None = None,
    ) -> None:
        set_ = object.__setattr__
        set_(self, "length", length)
        set_(self, "width", width)
        set_(self, "reclaim_angle", reclaim_angle)
        set_(self, "chunks_per_volume_unit", chunks_per_volume_unit)
        set_(self, "circular", circular)
        set_(self, "eight_neighbour_probability", eight_neighbour_probability)
        set_(self, "repose_angle", repose_angle)
        self.__post_init__(cell_size)

    def __post_init__(self, cell_size: float | None = None) -> None:
        def number(name: str) -> float:
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
                raise TypeError(f"{name} must be a number, not {type(value).__name__}")
            value = float(value)
            if not math.isfinite(value):
                raise ValueError(f"{name} must be a finite number, not {value}")
            object.__setattr__(self, name, value)
            return value

        for name in ("length", "width"):
            if not number(name) > 0.0:
                raise ValueError(f"{name} must be above 0 m, not {getattr(self, name)}")
        # The native bed's rule, on the value it holds (single precision).
        if not 0.0 < _F(number("reclaim_angle")) <= 90.0:
            raise ValueError(f"reclaim_angle must be above 0 and at most 90 degrees, not {self.reclaim_angle}")
        if self.chunks_per_volume_unit is not None and not number("chunks_per_volume_unit") > 0.0:
            raise ValueError(f"chunks_per_volume_unit must be above 0, not {self.chunks_per_volume_unit}")
        if not 0.0 <= number("eight_neighbour_probability") <= 1.0:
            raise ValueError(
                f"eight_neighbour_probability must be between 0 and 1, not {self.eight_neighbour_probability}"
            )
        if not 0.0 < number("repose_angle") < 90.0:
            raise ValueError(f"repose_angle must be above 0 and below 90 degrees, not {self.repose_angle}")
        if cell_size is not None:
            if self.chunks_per_volume_unit is not None:
                raise ValueError("give chunks_per_volume_unit or cell_size, not both")
            if isinstance(cell_size, bool) or not isinstance(cell_size, (int, float, np.integer, np.floating)):
                raise TypeError(f"cell_size must be a number, not {type(cell_size).__name__}")
            if not (math.isfinite(float(cell_size)) and float(cell_size) > 0.0):
                raise ValueError(f"cell_size must be a finite number of m above 0, not {cell_size}")
            # Kept as the chunks per m³ it resolves to: the fields describe the bed either way.
            chunks = Bed.resolve(self.width, cell_size=float(cell_size), repose_angle=self.repose_angle)[0]
            object.__setattr__(self, "chunks_per_volume_unit", float(chunks))
        # The resolution and the cell it gives, kept beside the fields (refuses a width whose
        # default cells hold no usable chunk).
        geometry = Bed.resolve(self.width, chunks_per_volume_unit=self.chunks_per_volume_unit,
                               repose_angle=self.repose_angle)
        object.__setattr__(self, "_geometry", geometry)
        if not isinstance(self.circular, (bool, np.bool_)):
            raise TypeError(f"circular must be a bool, not {type(self.circular).__name__}")
        object.__setattr__(self, "circular", bool(self.circular))
        nx, nz = self._grid()
        if nx == 0 or nz == 0:
            raise ValueError(
                f"a {self.length} x {self.width} m bed is smaller than half a cell of {self.cell_size} m along an axis"
            )

    # -- geometry, in the core's precision ------------------------------------------------------

    def _geometry_of_core(self) -> tuple[float, float, float]:
        """(chunks_per_volume_unit, cell_size, chunk_height) as the core resolves them."""
        geometry: tuple[float, float, float] = self.__dict__["_geometry"]
        return geometry

    def _chunks(self) -> np.float32:
        return _F(self._geometry_of_core()[0])

    def _cell_and_chunk_height(self) -> tuple[float, float]:
        _, cell, chunk_height = self._geometry_of_core()
        return cell, chunk_height

    @property
    def resolved_chunks_per_volume_unit(self) -> float:
        """Unit chunks per m³ of the bed: `chunks_per_volume_unit`, or where that is None the
        value of the default cells (width / 120); the single-precision value the bed holds, as
        the shortest decimal that reads back as it (as `pilora.Bed.chunks_per_volume_unit`)."""
        return self._geometry_of_core()[0]

    def _grid(self) -> tuple[int, int]:
        cell = _F(self.cell_size)
        nx = int(float(_F(self.length) / cell) + 0.5)
        nz = int(float(_F(self.width) / cell) + 0.5)
        return nx, nz

    @property
    def cell_size(self) -> float:
        """Edge of a square cell and width of a reclaim slice, m."""
        return self._cell_and_chunk_height()[0]

    @property
    def chunk_height(self) -> float:
        """Height of one chunk in a column, m (the cell size at a 45° repose angle)."""
        return self._cell_and_chunk_height()[1]

    @property
    def chunk_volume(self) -> float:
        """Volume of one unit chunk, m³ (1 / chunks_per_volume_unit in single precision)."""
        return float(_F(1.0) / self._chunks())

    @property
    def grid_shape(self) -> tuple[int, int]:
        """(nz, nx): cells across and along the bed, each the length over the cell size, rounded."""
        nx, nz = self._grid()
        return nz, nx

    @property
    def slice_count(self) -> int:
        """Number of reclaim slices: the cells along x (linear), or the reclaim arc over the cell size."""
        nx, _ = self._grid()
        if not self.circular:
            return nx
        return int(self.arc_length / float(_F(self.cell_size)) + 0.5)

    @property
    def arc_length(self) -> float:
        """Circular beds: length of the reclaim arc, m (the square's shorter side times pi / 2,
        the circumference of a circle of a quarter of that side around the centre). Linear beds: 0."""
        if not self.circular:
            return 0.0
        short = min(_F(self.length), _F(self.width))
        return float(short) * _QUARTER_TURN

    @property
    def reclaim_length(self) -> float:
        """Extent of the reclaim axis, m: the slices times the cell size (x for a linear bed, the
        arc for a circular one)."""
        return self.slice_count * self.cell_size

    @property
    def centre(self) -> tuple[float, float]:
        """Circular beds: the (x, z) drop position, m, around which the slices turn.

        The core measures a resting cell's angle from the point (length / 2 - 0.5, width / 2 - 0.5)
        m in cell-centre coordinates; a drop at x falls on the cell whose centre lies half a cell
        further, so the turning point in drop positions is half a cell before that point.
        """
        half = 0.5 * self.cell_size
        return 0.5 * self.length - 0.5 - half, 0.5 * self.width - 0.5 - half

    @property
    def grid_limit(self) -> float:
        """The most volume the grid's chunk counters can hold, m³: the cells times the chunks a
        column can count (2147483646 less the cells along each axis, as no column stands more than
        one chunk above an edge neighbour), times the chunk volume. A technical bound of the
        model, far above any heap the bed holds: not its capacity (that is `heap_capacity`)."""
        nx, nz = self._grid()
        return nx * nz * (2147483646.0 - nx - nz) * self.chunk_volume

    @property
    def heap_capacity(self) -> float:
        """The largest heap the bed holds at the angle of repose, m³.

        Linear bed: a roof across the whole width (crest h = width / 2 tan(repose_angle), section
        h² / tan(repose_angle)) laid between reversal points a cone radius r = h /
        tan(repose_angle) from the bed's ends, so that its half-cone ends stand on the bed:
        (length - 2 r) h² / tan(repose_angle), the rule of the plans' open ends (`pilora.plans`);
        a bed shorter than such a cone holds the largest cone on it. Circular bed: a ring roof
        around the centre at a quarter of the square's shorter side s, with a half-width of s / 4:
        the reclaim arc times (s / 4)² tan(repose_angle).
        """
        tan = math.tan(math.radians(self.repose_angle))
        if self.circular:
            quarter = 0.25 * min(self.length, self.width)
            return self.arc_length * quarter * quarter * tan
        h = self.heap_height
        r = h / tan
        if self.length - 2.0 * r < math.pi * r / 3.0:  # no ridge: the largest cone on the bed
            h = 0.25 * min(self.length, self.width) * tan
            return math.pi * h**3 / (3.0 * tan * tan)
        return (self.length - 2.0 * r) * h * h / tan

    @property
    def heap_height(self) -> float:
        """Height of a roof-shaped heap spanning the width at the angle of repose, m:
        width / 2 * tan(repose_angle)."""
        return 0.5 * self.width * math.tan(math.radians(self.repose_angle))

    def build(self, seed: int | None = None,
              sections: Mapping[str, float | Sequence[float]] | None = None) -> Bed:
        """A new, empty `pilora.Bed` with these settings; `seed` None draws one from the OS;
        `sections`: the Bed's section probes ({"across": x positions, "along": z positions}, m)."""
        return Bed(
            self.length,
            self.width,
            reclaim_angle=self.reclaim_angle,
            chunks_per_volume_unit=self.chunks_per_volume_unit,
            circular=self.circular,
            eight_neighbour_probability=self.eight_neighbour_probability,
            repose_angle=self.repose_angle,
            seed=seed,
            sections=sections,
        )
