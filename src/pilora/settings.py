"""Bed settings: the named, documented settings of a bed, and the geometry that follows from them.

The geometry is the simulation core's, in its single precision (the cell from the core itself, the
rest in the same steps), so that plans and analyses can use it without building a native bed.
"""

from __future__ import annotations

import math
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
        Angle of the reclaim face in degrees, above 0 and below 180 (90: a vertical face; below 90
        the face leans forward, so that material high in the heap is reclaimed earlier).
    chunks_per_volume_unit : float, optional
        Unit chunks per m³: a chunk holds 1 / chunks_per_volume_unit m³. At a 45° repose angle a
        chunk is a cube and the cell size is its edge, chunks_per_volume_unit ** (-1/3) m. None
        (the default): cells of width / 120, the value `pilora.Bed` takes without a resolution
        (see `resolved_chunks_per_volume_unit`); the blending measures lie within 5 % of finer
        grids there. A run's time grows with the chunk count, the volume times this value.
    circular : bool
        A circular bed: the grid is the bed's square, and slices run along an arc around the
        square's centre (see `reclaim_length`).
    eight_neighbour_probability : float
        Probability (0 to 1) that a step of a chunk's slide scans all eight neighbours rather than
        the four edge neighbours. The default, 0.85, makes cones about 60 chunks high (a roof's
        height on the default cells) roundest.
    repose_angle : float
        Angle of repose in degrees (above 0, below 90): the slope of one chunk per cell.

    Derived values (`resolved_chunks_per_volume_unit`, `cell_size`, `chunk_volume`, `grid_shape`,
    `reclaim_length`, `capacity`) are those a `pilora.Bed` built from these settings reports.
    """

    length: float
    width: float
    reclaim_angle: float = 45.0
    chunks_per_volume_unit: float | None = None
    circular: bool = False
    eight_neighbour_probability: float = 0.85
    repose_angle: float = 45.0

    def __post_init__(self) -> None:
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
        if not 0.0 < number("reclaim_angle") < 180.0:
            raise ValueError(f"reclaim_angle must be above 0 and below 180 degrees, not {self.reclaim_angle}")
        if self.chunks_per_volume_unit is not None and not number("chunks_per_volume_unit") > 0.0:
            raise ValueError(f"chunks_per_volume_unit must be above 0, not {self.chunks_per_volume_unit}")
        if not 0.0 <= number("eight_neighbour_probability") <= 1.0:
            raise ValueError(
                f"eight_neighbour_probability must be between 0 and 1, not {self.eight_neighbour_probability}"
            )
        if not 0.0 < number("repose_angle") < 90.0:
            raise ValueError(f"repose_angle must be above 0 and below 90 degrees, not {self.repose_angle}")
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
    def capacity(self) -> float:
        """Volume the bed can take, m³: the cells times the chunks a column can count (2147483646
        less the cells along each axis, as no column stands more than one chunk above an edge
        neighbour), times the chunk volume. A technical bound far above a real heap's volume."""
        nx, nz = self._grid()
        return nx * nz * (2147483646.0 - nx - nz) * self.chunk_volume

    @property
    def heap_height(self) -> float:
        """Height of a roof-shaped heap spanning the width at the angle of repose, m:
        width / 2 * tan(repose_angle)."""
        return 0.5 * self.width * math.tan(math.radians(self.repose_angle))

    def build(self, seed: int | None = None) -> Bed:
        """A new, empty `pilora.Bed` with these settings; `seed` None draws one from the OS."""
        return Bed(
            self.length,
            self.width,
            reclaim_angle=self.reclaim_angle,
            chunks_per_volume_unit=self.chunks_per_volume_unit,
            circular=self.circular,
            eight_neighbour_probability=self.eight_neighbour_probability,
            repose_angle=self.repose_angle,
            seed=seed,
        )
