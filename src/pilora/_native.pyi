"""
Native face of the pilora package: the Bed, over the simulation core
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['Bed', 'Reclaimed']
class Reclaimed(tuple):
    """
    The rows of one reclaim, as arrays with one entry (row) per reclaim step.
    """
    __match_args__: typing.ClassVar[tuple] = ('x', 'volume', 'averages', 'names')
    __slots__: typing.ClassVar[tuple] = tuple()
    _field_defaults: typing.ClassVar[dict] = {}
    _fields: typing.ClassVar[tuple] = ('x', 'volume', 'averages', 'names')
    @staticmethod
    def __new__(_cls, x, volume, averages, names):
        """
        Create new instance of Reclaimed(x, volume, averages, names)
        """
    @classmethod
    def _make(cls, iterable):
        """
        Make a new Reclaimed object from a sequence or iterable
        """
    def __getnewargs__(self):
        """
        Return self as a plain tuple.  Used by copy and pickle.
        """
    def __replace__(self, **kwds):
        """
        Return a new Reclaimed object replacing specified fields with new values
        """
    def __repr__(self):
        """
        Return a nicely formatted representation string
        """
    def _asdict(self):
        """
        Return a new dict which maps field names to their values.
        """
    def _replace(self, **kwds):
        """
        Return a new Reclaimed object replacing specified fields with new values
        """
    @property
    def averages(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Volume-weighted average of each parameter over the volume of each row (0 where a row took nothing), float64[n, P].
        """
    @property
    def names(self) -> tuple[str, ...]:
        """
        Names of the P parameters, in the order of the averages' columns.
        """
    @property
    def volume(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Volume each row took (m³), float64[n].
        """
    @property
    def x(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        Reclaim position of each row (m), float64[n].
        """
class Bed:
    """
    A blending bed: a grid of square cells on which material is stacked in unit chunks and
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
        engine, the heights and the slices are the same with and without them.
    """
    max_sections: typing.ClassVar[int] = 16
    """
    The most sections a bed takes.
    """
    @staticmethod
    def from_state(state: bytes) -> Bed:
        """
        A bed from Bed.state() bytes; truncated or corrupted bytes raise ValueError.
        """
    @staticmethod
    def resolve(width: typing.SupportsFloat | typing.SupportsIndex, *, chunks_per_volume_unit: typing.SupportsFloat | typing.SupportsIndex | None = None, cell_size: typing.SupportsFloat | typing.SupportsIndex | None = None, repose_angle: typing.SupportsFloat | typing.SupportsIndex = 45.0) -> tuple[float, float, float]:
        """
        (chunks_per_volume_unit, cell_size, chunk_height) of a bed of this width (m) with these settings, as Bed(length, width, ...) takes them (the same defaults and refusals), without building it.
        """
    def __copy__(self) -> Bed:
        ...
    def __deepcopy__(self, memo: dict) -> Bed:
        ...
    def __getstate__(self) -> bytes:
        ...
    def __init__(self, length: typing.SupportsFloat | typing.SupportsIndex, width: typing.SupportsFloat | typing.SupportsIndex, *, reclaim_angle: typing.SupportsFloat | typing.SupportsIndex = 45.0, chunks_per_volume_unit: typing.SupportsFloat | typing.SupportsIndex | None = None, cell_size: typing.SupportsFloat | typing.SupportsIndex | None = None, circular: bool = False, eight_neighbour_probability: typing.SupportsFloat | typing.SupportsIndex = 0.85, repose_angle: typing.SupportsFloat | typing.SupportsIndex = 45.0, seed: int | None = None, sections: collections.abc.Mapping[str, float | collections.abc.Iterable[float]] | None = None) -> None:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, arg0: bytes) -> None:
        ...
    def reclaim(self, increment: typing.SupportsFloat | typing.SupportsIndex) -> Reclaimed:
        """
        Reclaim the bed from the reclaim position to its end in steps of ``increment`` (m).
        
        Each row removes the material between the previous position and the row's x, whole slices and
        the share of the slice x falls in: a row at the current position first (x 0 and volume 0 on a
        fresh bed), then one every ``increment``, until the position passes the middle of the last slice
        (up to half a slice stays on the bed). Returns a Reclaimed tuple of arrays: x (m), volume (m³),
        averages (one row per step, one column per parameter, 0 where a row took nothing) and the
        parameter names. Material stacked behind the reclaim position is never reclaimed. After Ctrl-C
        the rows done are gone from the bed (and counted in reclaimed_volume).
        """
    def section(self, index: typing.SupportsInt | typing.SupportsIndex) -> tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64]]:
        """
        What section ``index`` holds: (volume, sums), float64 arrays of shape (rows, cells) and (rows, cells, P). Row r holds the chunks that came to rest on r chunks (r * chunk_height m above the floor); cell j is the grid cell j along the section (z index across, x index along). volume is the volume (m³) that came to rest in each cell, sums[..., p] the sum of parameter p's value times volume (p in the order of parameter_names): sums / volume is the cell's volume-weighted average. Rows reach the highest chunk the section holds; reclaiming changes nothing here.
        """
    def stack(self, x: numpy.typing.ArrayLike, z: numpy.typing.ArrayLike, volume: numpy.typing.ArrayLike, values: collections.abc.Mapping[str, numpy.typing.ArrayLike] | numpy.typing.ArrayLike | None = None, names: collections.abc.Sequence[str] | None = None) -> None:
        """
        Stack portions, in order.
        
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
        as stacked with its rest in the buffer.
        """
    def state(self) -> bytes:
        """
        The bed's whole state as bytes (versioned, with a checksum), for Bed.from_state().
        """
    @property
    def balance(self) -> dict[str, float]:
        """
        Where the stacked volume is (m³), read at one instant: 'stacked' = 'reclaimed' + 'on_bed' + 'buffered', and 'deposited' (the chunks in the columns, which reclaiming does not lower) = 'reclaimed' + 'on_bed', up to rounding.
        """
    @property
    def bed_volume(self) -> float:
        """
        Volume in the slices, not yet reclaimed (m³).
        """
    @property
    def buffered_volume(self) -> float:
        """
        Volume waiting in the stack buffer (m³): less than one chunk, except after an interrupted stack().
        """
    @property
    def capacity(self) -> float:
        """
        Volume the bed can take in all (m³): the limit of its 32-bit column counts, far above any heap a plan builds.
        """
    @property
    def cell_size(self) -> float:
        """
        Edge of a grid cell and width of a slice (m).
        """
    @property
    def chunk_height(self) -> float:
        """
        Height of one chunk in a column (m): cell_size tan(repose_angle).
        """
    @property
    def chunk_volume(self) -> float:
        """
        Volume of one unit chunk (m³): 1 / chunks_per_volume_unit.
        """
    @property
    def chunks_per_volume_unit(self) -> float:
        """
        Unit chunks per m³.
        """
    @property
    def circular(self) -> bool:
        """
        Whether the slices follow an arc (circular bed) rather than x.
        """
    @property
    def eight_neighbour_probability(self) -> float:
        """
        Chance that a walk step also looks at the corner neighbours.
        """
    @property
    def engine_state(self) -> int:
        """
        State of the bed's engine now (1 to 2**31 - 2).
        """
    @property
    def grid_shape(self) -> tuple[int, int]:
        """
        Cells along z and along x, (nz, nx): the shape of heights.
        """
    @property
    def heights(self) -> numpy.typing.NDArray[numpy.float32]:
        """
        Heights of the heap (m), a new float32 array of shape grid_shape: heights[z, x]. Reclaiming does not lower them.
        """
    @property
    def length(self) -> float:
        """
        Extent along x (m).
        """
    @property
    def parameter_names(self) -> tuple[str, ...]:
        """
        Names of the portions' quality parameters, recorded by the first stack() call that stacks a portion; () before.
        """
    @property
    def reclaim_angle(self) -> float:
        """
        Slope of the reclaim face (degrees from the horizontal).
        """
    @property
    def reclaim_length(self) -> float:
        """
        Length of the reclaim axis the slices cover (m): slice_count cells, along x on a linear bed and along the arc on a circular one.
        """
    @property
    def reclaim_position(self) -> float:
        """
        Position up to which the bed has been reclaimed (m along the reclaim axis).
        """
    @property
    def reclaimed_volume(self) -> float:
        """
        Volume reclaimed so far (m³).
        """
    @property
    def repose_angle(self) -> float:
        """
        Angle of repose (degrees): the slope of one chunk per cell.
        """
    @property
    def sections(self) -> tuple[tuple[str, float, int], ...]:
        """
        The sections, across ones first, each (kind, position, cell): 'across' or 'along', its position (m) and the index of the grid cells it cuts (x index across, z index along).
        """
    @property
    def seed(self) -> int:
        """
        Seed of the bed's engine (drawn from the OS when none was given).
        """
    @property
    def slice_count(self) -> int:
        """
        Number of reclaim slices.
        """
    @property
    def stacked_volume(self) -> float:
        """
        Volume accepted by stack() so far (m³).
        """
    @property
    def width(self) -> float:
        """
        Extent along z (m).
        """
