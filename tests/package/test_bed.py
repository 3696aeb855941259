"""pilora.Bed: settings and seeds, the forms stack() takes, refusals that change nothing, reclaim
rows, copies and saved states that continue exactly, threads and Ctrl-C."""

import copy
import math
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pytest

from pilora import Bed, Reclaimed

SETTINGS = dict(chunks_per_volume_unit=8.0, reclaim_angle=40.0, eight_neighbour_probability=0.3)


def bed(seed: int = 1, **overrides) -> Bed:
    return Bed(20.0, 6.0, **{**SETTINGS, "seed": seed, **overrides})


def table(passes: int = 4, first: int = 0) -> pd.DataFrame:
    """Chevron-like portions: 0.37 m³ every 0.5 m along x, back and forth, with two parameters."""
    rows = []
    for p in range(first, first + passes):
        for j in range(41) if p % 2 == 0 else range(40, -1, -1):
            rows.append((0.5 * j, 2.0 + 0.4 * (p % 4), 0.37, 50.0 + (7 * j + 3 * p) % 11, 5.0 + (j % 3) / 4))
    return pd.DataFrame(rows, columns=["x", "z", "volume", "grade", "moisture"])


def stack(b: Bed, t: pd.DataFrame) -> None:
    b.stack(t["x"].to_numpy(), t["z"].to_numpy(), t["volume"].to_numpy(), t[["grade", "moisture"]].to_numpy(),
            names=["grade", "moisture"])


def assert_balanced(balance: dict[str, float], chunk_volume: float, buffered_below_chunk: bool = True) -> None:
    stacked, reclaimed, on_bed, buffered = (balance[k] for k in ("stacked", "reclaimed", "on_bed", "buffered"))
    assert stacked == pytest.approx(reclaimed + on_bed + buffered, rel=1e-12, abs=1e-12)
    assert balance["deposited"] == pytest.approx(reclaimed + on_bed, rel=1e-12, abs=1e-12)
    assert buffered >= 0 and (buffered < chunk_volume or not buffered_below_chunk)


# ---- settings and seeds ---------------------------------------------------------------------------


def test_settings_geometry_and_repr():
    b = Bed(100, 20, chunks_per_volume_unit=8, eight_neighbour_probability=0.3, seed=5)
    assert (b.length, b.width, b.eight_neighbour_probability, b.seed) == (100.0, 20.0, 0.3, 5)
    assert b.grid_shape == b.heights.shape == (40, 200) and b.heights.dtype == np.float32
    assert (b.cell_size, b.chunk_height, b.chunk_volume, b.slice_count) == (0.5, 0.5, 0.125, 200)
    assert b.reclaim_length == 100.0 and b.capacity == 200 * 40 * (2147483646.0 - 240) * 0.125
    again = eval(repr(b), {"Bed": Bed})
    assert repr(again) == repr(b) and again.state() == b.state()

    by_cell = Bed(10, 4, cell_size=0.3, repose_angle=30)
    assert by_cell.cell_size == float(np.float32(0.3))
    assert by_cell.chunk_height == pytest.approx(0.3 * math.tan(math.radians(30)), rel=1e-6)
    assert by_cell.chunk_volume == pytest.approx(0.3**3 * math.tan(math.radians(30)), rel=1e-6)
    circular = Bed(12, 10, circular=True, chunks_per_volume_unit=1)
    assert circular.slice_count == round(10 * math.pi / 2) and circular.reclaim_length == circular.slice_count


@pytest.mark.parametrize("resolution", [{}, dict(repose_angle=33.0), dict(cell_size=0.3, repose_angle=30.0),
                                        dict(chunks_per_volume_unit=8.0)])
def test_resolve_gives_the_resolution_a_bed_takes(resolution):
    b = Bed(25.0, 7.3, **resolution)
    assert Bed.resolve(7.3, **resolution) == (b.chunks_per_volume_unit, b.cell_size, b.chunk_height)
    if not {"cell_size", "chunks_per_volume_unit"} & set(resolution):  # default cells: width / 120
        assert b.grid_shape[0] == 120 and b.cell_size == pytest.approx(7.3 / 120, rel=2e-7)  # to a bit or two
        assert b.eight_neighbour_probability == 0.85


@pytest.mark.parametrize("settings, error, message", [
    (dict(length=0), ValueError, "length must be"),
    (dict(width=math.nan), ValueError, "width must be"),
    (dict(length=0.2, chunks_per_volume_unit=1), ValueError, "at least half a cell"),
    (dict(width=1e-30), ValueError, "default cells without a usable chunk volume"),
    (dict(reclaim_angle=0), ValueError, "reclaim_angle"),
    (dict(reclaim_angle=90.5), ValueError, "reclaim_angle"),
    (dict(chunks_per_volume_unit=-1), ValueError, "chunks_per_volume_unit"),
    (dict(chunks_per_volume_unit=2, cell_size=0.5), ValueError, "not both"),
    (dict(cell_size=0), ValueError, "cell_size"),
    (dict(eight_neighbour_probability=1.01), ValueError, "eight_neighbour_probability"),
    (dict(repose_angle=90), ValueError, "repose_angle"),
    (dict(circular=1), TypeError, "incompatible"),
    (dict(seed=-1), ValueError, "negative"),
    (dict(seed=2**64), ValueError, "below 2\\*\\*64"),
    (dict(seed=1.0), TypeError, "int or None"),
    (dict(seed=True), TypeError, "int or None"),
])
def test_refused_settings(settings, error, message):
    with pytest.raises(error, match=message):
        Bed(**{"length": 10, "width": 4, **settings})


def test_seeds_repeat_runs_and_map_modulo_the_engine_modulus():
    t = table()
    runs = []
    for seed in (0, 2**31 - 1, 2**32 - 2, 12345, np.int64(12345), None):
        b = bed(seed)
        stack(b, t)
        runs.append(b)
    zero, modulus, twice, plain, numpy_int, drawn = runs
    assert zero.engine_state == modulus.engine_state == twice.engine_state
    np.testing.assert_array_equal(zero.heights, modulus.heights)
    assert plain.state() == numpy_int.state() and plain.seed == 12345
    assert not np.array_equal(zero.heights, plain.heights)
    replay = bed(drawn.seed)
    stack(replay, t)
    assert replay.state() == drawn.state()


# ---- stacking ----------------------------------------------------------------------------------


def _per_portion(b, t):
    for row in t.itertuples():
        b.stack(row.x, row.z, row.volume, [row.grade, row.moisture], names=("grade", "moisture"))


def _mapping_any_order(b, t):
    first, rest = t.iloc[:50], t.iloc[50:]
    b.stack(first.x, first.z, first.volume, {"grade": first.grade, "moisture": first.moisture})
    b.stack(rest.x, rest.z, rest.volume, {"moisture": rest.moisture.to_numpy(), "grade": rest.grade.to_list()})


def _strided(b, t):
    values = np.zeros((len(t), 4))
    values[:, 0], values[:, 2] = t.grade, t.moisture
    b.stack(np.repeat(t.x.to_numpy(), 2)[::2], t.z, 0.37, values[:, ::2], ["grade", "moisture"])


@pytest.mark.parametrize("form", [
    _per_portion,
    _mapping_any_order,
    lambda b, t: b.stack(t.x, t.z, t.volume, t[["grade", "moisture"]]),  # a DataFrame as a mapping
    lambda b, t: b.stack(t.x.to_numpy(np.float32), t.z.tolist(), t.volume.to_numpy()[::-1][::-1],
                         np.asfortranarray(t[["grade", "moisture"]].to_numpy()), names=["grade", "moisture"]),
    _strided,
])
def test_every_form_of_the_same_table_gives_the_same_bed(form):
    t = table()
    expected = bed()
    stack(expected, t)
    b = bed()
    form(b, t)
    assert b.state() == expected.state()
    assert b.parameter_names == ("grade", "moisture")


def test_numbers_and_single_rows_repeat_for_every_portion():
    a, b = bed(), bed()
    a.stack([4.0, 6.0, 8.0], 3.0, [0.5], [52.0, 8.0], names=["grade", "moisture"])
    b.stack([4.0, 6.0, 8.0], [3.0] * 3, [0.5] * 3, [[52.0, 8.0]] * 3, names=["grade", "moisture"])
    assert a.state() == b.state() and a.stacked_volume == 1.5


BAD_STACKS = [  # (args, keywords, error, message): the conversions' refusals, and one of the core's
    (([1.0, 2.0], 1.0, [1.0, -0.5], [1.0, 2.0]), {}, ValueError, "portion 1: volume must be"),
    (([1.0, 2.0], [1.0, 2.0, 3.0], 1.0, [1.0, 2.0]), {}, ValueError, "different numbers of portions"),
    ((1.0, 1.0, [1.0, 2.0, 3.0], {"grade": 1.0, "moisture": [1.0, 2.0]}), {}, ValueError, "different numbers"),
    (([[1.0]], 1.0, 1.0, [1.0, 2.0]), {}, ValueError, "1-D array"),
    ((None, 1.0, 1.0, [1.0, 2.0]), {}, TypeError, "x must be a number"),
    ((1.0, "a", 1.0, [1.0, 2.0]), {}, TypeError, "z must be a number"),
    ((1.0, 1.0, 1.0, [[[1.0, 2.0]]]), {}, TypeError, "values must be"),
    ((1.0, 1.0, 1.0, [1.0, 2.0]), {"names": "grade"}, TypeError, "single string"),
    ((1.0, 1.0, 1.0, {1: 1.0, 2: 2.0}), {}, TypeError, "must be str"),
]


@pytest.mark.parametrize("args, keywords, error, message", BAD_STACKS)
def test_refused_stacks_change_nothing(args, keywords, error, message):
    b = bed()
    stack(b, table(1))
    before = b.state()
    with pytest.raises(error, match=message):
        b.stack(*args, **keywords)
    assert b.state() == before


def test_the_first_call_records_the_parameters():
    b = bed()
    with pytest.raises(ValueError, match="need their parameter names"):
        b.stack(1.0, 1.0, 1.0, [1.0, 2.0])
    b.stack(1.0, 1.0, 0.0, {}, names=None)  # a portion without parameters fixes none
    assert b.parameter_names == ()
    with pytest.raises(ValueError, match="differ from the bed's"):
        b.stack(1.0, 1.0, 1.0, {"grade": 1.0})
    named = bed()
    named.stack([], [], [])  # nothing stacked, no names given: nothing recorded
    named.stack(1.0, 1.0, 1.0, [3.0], names=["grade"])
    named.stack(1.0, 1.0, 1.0, [4.0])
    assert named.parameter_names == ("grade",)


# ---- reclaiming --------------------------------------------------------------------------------


def test_reclaim_rows():
    b = bed()
    stack(b, table())
    heights = b.heights
    out = b.reclaim(0.3)
    assert isinstance(out, Reclaimed) and out.names == ("grade", "moisture") and out.averages.shape == (len(out.x), 2)
    assert (out.x[0], out.volume[0]) == (0.0, 0.0) and out.averages[0].tolist() == [0.0, 0.0]
    x = np.float32(0)
    for value in out.x[1:4]:  # single-precision running sums of the increment
        x = np.float32(x + np.float32(0.3))
        assert value == float(x)
    assert out.x[-1] >= b.reclaim_length - 0.5 * b.cell_size and b.reclaim_position == out.x[-1]
    full = out.volume > 0
    assert ((out.averages[full, 0] >= 50) & (out.averages[full, 0] <= 60)).all()
    assert out.volume.sum() == pytest.approx(b.reclaimed_volume, rel=1e-15)
    assert_balanced(b.balance, b.chunk_volume)
    np.testing.assert_array_equal(b.heights, heights)  # reclaiming does not lower the heap
    again = b.reclaim(0.3)
    assert again.x.shape == (0,) and again.averages.shape == (0, 2)
    assert Bed(10, 4).reclaim(1.0).averages.shape == (11, 0)


@pytest.mark.parametrize("increment", [0.0, -1.0, math.nan, math.inf, 1e-7])
def test_refused_increments(increment):
    b = bed()
    with pytest.raises(ValueError, match="increment"):
        b.reclaim(increment)
    assert b.reclaim_position == 0.0


# ---- copies and state --------------------------------------------------------------------------


@pytest.mark.parametrize("duplicate", [
    copy.copy,
    lambda b: copy.deepcopy([b])[0],
    lambda b: pickle.loads(pickle.dumps(b)),
    lambda b: Bed.from_state(b.state()),
])
def test_copies_continue_exactly_as_the_original(duplicate):
    original = bed(7)
    stack(original, table(3))
    original.stack(10.0, 3.0, 0.05, [1.0, 1.0])  # something in the buffer
    twin = duplicate(original)
    assert twin.state() == original.state() and repr(twin) == repr(original)
    rest = table(3, first=3)
    stack(twin, rest)
    assert twin.state() != original.state()  # independent
    stack(original, rest)
    assert twin.state() == original.state()
    mine, theirs = original.reclaim(0.25), twin.reclaim(0.25)
    for a, b in zip(mine[:3], theirs[:3]):
        np.testing.assert_array_equal(a, b)


def test_truncated_or_corrupted_state_raises_value_error():
    b = bed()
    stack(b, table(1))
    state = b.state()
    _, arguments, pickled = b.__reduce_ex__(2)[:3]
    assert pickled == state
    corrupted = bytearray(state)
    corrupted[len(state) // 2] ^= 1
    for bad in (state[:-1], state[: len(state) // 3], b"", b"PILORBED", bytes(corrupted), state + b"\0"):
        with pytest.raises(ValueError):
            Bed.from_state(bad)
        restored = Bed.__new__(Bed)  # what pickle does
        with pytest.raises(ValueError):
            restored.__setstate__(bad)
    with pytest.raises(TypeError):
        Bed.from_state("text")


@pytest.mark.parametrize("use", [
    lambda b: b.stack(1.0, 1.0, 1.0), lambda b: b.reclaim(1.0), lambda b: b.heights, lambda b: b.balance,
    lambda b: b.seed, repr, copy.copy, pickle.dumps,
])
def test_a_bed_whose_init_has_not_run_is_refused(use):
    with pytest.raises(TypeError, match="not built"):
        use(Bed.__new__(Bed))


@pytest.mark.parametrize("again", [lambda b: b.__init__(20.0, 4.0), lambda b: b.__setstate__(Bed(3, 3).state())])
def test_a_built_bed_is_not_built_again(again):
    b = bed(5)
    before = b.state()
    with pytest.raises(TypeError, match="built already"):
        again(b)
    assert b.state() == before


# ---- threads and Ctrl-C --------------------------------------------------------------------------


def balanced(balance: dict[str, float]) -> bool:
    """The volume balance, in plain arithmetic (cheap enough to check thousands of times)."""
    stacked, reclaimed, on_bed, buffered = (balance[k] for k in ("stacked", "reclaimed", "on_bed", "buffered"))
    tolerance = 1e-9 * stacked + 1e-12
    return abs(stacked - reclaimed - on_bed - buffered) <= tolerance and \
        abs(balance["deposited"] - reclaimed - on_bed) <= tolerance


def test_one_bed_used_by_eight_threads_keeps_every_invariant():
    shared = Bed(100, 20, chunks_per_volume_unit=8, seed=3)
    writing = threading.Event()
    writing.set()

    def write(thread: int) -> float:  # six threads stack (one also reclaims half-way)
        rng = np.random.default_rng(thread)
        given = 0.0
        for step in range(12):
            n = 1000
            volume = rng.uniform(0.0, 1.0, n)
            shared.stack(rng.uniform(0, 100, n), rng.uniform(0, 20, n), volume,
                         {"grade": rng.normal(50, 2, n), "moisture": rng.normal(5, 1, n)})
            given += volume.sum()
            if thread == 0 and step == 6:
                shared.reclaim(0.5)
        return given

    def read(thread: int) -> tuple[int, int]:  # two threads look at the bed all the while
        reads = unbalanced = 0
        while writing.is_set():
            unbalanced += not balanced(shared.balance)
            if reads % 64 == thread:
                heights = shared.heights
                unbalanced += bool((heights / np.float32(shared.chunk_height) % 1).any())
                unbalanced += not balanced(copy.copy(shared).balance)
            reads += 1
        return reads, unbalanced

    with ThreadPoolExecutor(8) as pool:
        readers = [pool.submit(read, r) for r in range(2)]
        writers = [pool.submit(write, w) for w in range(6)]
        given = sum(w.result() for w in writers)
        writing.clear()
        for reader in readers:
            reads, unbalanced = reader.result()
            assert reads > 0 and unbalanced == 0
    balance = shared.balance
    assert balance["stacked"] == pytest.approx(given, rel=1e-12)
    assert_balanced(balance, shared.chunk_volume)
    deposited = shared.heights.astype(np.float64).sum() / shared.chunk_height * shared.chunk_volume
    assert deposited == pytest.approx(balance["deposited"], rel=1e-12)


def test_beds_on_threads_give_the_runs_they_give_alone():
    t = table(6)

    def run(seed: int) -> bytes:
        b = bed(seed)
        stack(b, t)
        return b.state()

    with ThreadPoolExecutor(2) as pool:
        assert list(pool.map(run, [11, 12, 13, 14])) == [run(s) for s in (11, 12, 13, 14)]


def test_stacking_lets_other_threads_run():
    b = Bed(100, 20, chunks_per_volume_unit=8, seed=2)
    times = {}
    started = threading.Event()

    def work() -> None:
        times["start"] = time.perf_counter()
        started.set()
        b.stack(50.0, 10.0, 2e5)  # over a million chunks
        times["end"] = time.perf_counter()

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    resumed = time.perf_counter()  # at once, unless the stacking holds the interpreter lock
    worker.join()
    assert resumed - times["start"] < 0.5 * (times["end"] - times["start"])


CALLED_BACK = """
import signal
import pilora

bed = pilora.Bed(100, 20, chunks_per_volume_unit=8, seed=3)
signal.signal(signal.SIGALRM, lambda signum, frame: bed.balance)  # the same bed, mid-stack
signal.setitimer(signal.ITIMER_REAL, 0.2)
try:
    bed.stack(50.0, 10.0, 1e6)  # seconds of work
except RuntimeError as error:
    print(error)
balance = bed.balance
bed.stack(50.0, 10.0, 1.0)
print(balance["stacked"], balance["buffered"] > 1000.0, bed.balance["stacked"])
"""


def test_a_signal_handler_that_calls_the_working_bed_gets_an_error_instead_of_a_hang():
    done = subprocess.run([sys.executable, "-c", CALLED_BACK], capture_output=True, text=True, timeout=120,
                          env=os.environ.copy())
    assert done.returncode == 0, done.stderr
    error, balance = done.stdout.splitlines()
    assert error.startswith("the bed is busy in this thread")
    assert balance.split() == ["1000000.0", "True", "1000001.0"]  # stopped part-way, usable after


def test_ctrl_c_stops_stacking_and_leaves_the_bed_consistent():
    b = Bed(100, 20, chunks_per_volume_unit=8, seed=3)
    b.stack(1.0, 1.0, 1.0, names=[])
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    try:
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            b.stack(50.0, 10.0, 1e6)  # millions of chunks: seconds of work
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)
    balance = b.balance
    assert balance["stacked"] == 1e6 + 1.0 and balance["buffered"] > 1000.0  # stopped part-way
    assert_balanced(balance, b.chunk_volume, buffered_below_chunk=False)
    assert b.reclaim(1.0).volume.sum() == pytest.approx(balance["on_bed"], rel=0.01)


# ---- bounds on what stacking takes ------------------------------------------------------------


def test_values_whose_products_with_volumes_overflow_are_refused_and_states_reload():
    b = Bed(10, 4, chunks_per_volume_unit=1, seed=1)
    empty = b.state()
    with pytest.raises(ValueError, match="portion 0: value of 'a' .* times its volume"):
        b.stack(5.0, 2.0, 100.0, {"a": 1e307})
    assert b.state() == empty
    b.stack(5.0, 2.0, 1.0, {"a": 1e307})  # taken: 1e307 in all
    with pytest.raises(ValueError, match="portion 1: value of 'a'"):  # the sum over portions, and calls
        b.stack(5.0, 2.0, [0.01, 1.0, 1.0], {"a": -1e307})
    taken = b.state()
    b.stack(5.0, 2.0, [0.01, 0.05], {"a": -1e307})
    again = Bed.from_state(b.state())
    assert again.state() == b.state() and taken != b.state()
    assert np.isfinite(again.reclaim(1.0).averages).all()


def test_a_thread_writing_into_the_arrays_during_stacking_cannot_reach_the_bed():
    n = 400
    x = np.linspace(0.0, 100.0, n)
    volume = np.full(n, 300.0)  # 400 x 2400 chunks: a stack() of a few tenths of a second
    grade = np.full(n, 50.0)
    b = Bed(100, 20, chunks_per_volume_unit=8, seed=3)
    empty = b.state()
    started = threading.Event()
    refused = []

    def work() -> None:
        started.set()
        try:
            b.stack(x, 10.0, volume, {"grade": grade})
        except ValueError as error:  # (only where the writes came before the call read the arrays)
            refused.append(error)

    worker = threading.Thread(target=work)
    worker.start()
    started.wait()
    time.sleep(0.05)  # the call has copied and checked the arrays, and is stacking
    for i in range(n // 2, n):
        volume[i], grade[i] = (math.nan, -1e6, 1e12)[i % 3], math.nan
    worker.join()
    if refused:
        assert b.state() == empty
        return
    balance = b.balance
    assert balance["stacked"] == n * 300.0
    assert_balanced(balance, b.chunk_volume)
    rows = Bed.from_state(b.state()).reclaim(1.0)
    np.testing.assert_allclose(rows.averages[rows.volume > 0], 50.0, rtol=1e-12)


# ---- sections ----------------------------------------------------------------------------------


def test_sections_only_read_and_hold_the_chunks_resting_in_them():
    t = table(6)
    plain, probed = bed(4), bed(4, sections={"along": [3.0], "across": (10.0, 19.9)})
    assert probed.sections == (("across", 10.0, 20), ("across", 19.9, 39), ("along", 3.0, 6))
    stack(plain, t)
    stack(probed, t)
    np.testing.assert_array_equal(probed.heights, plain.heights)
    assert probed.engine_state == plain.engine_state and probed.balance == plain.balance
    for a, b in zip(probed.reclaim(0.5)[:3], plain.reclaim(0.5)[:3]):
        np.testing.assert_array_equal(a, b)

    chunks = np.rint(plain.heights / np.float32(plain.chunk_height)).astype(int)  # (nz, nx)
    for index, column in ((0, chunks[:, 20]), (2, chunks[6, :])):
        volume, sums = probed.section(index)
        assert volume.shape == (column.max(), len(column)) and sums.shape == volume.shape + (2,)
        rows = np.arange(volume.shape[0])[:, None]
        np.testing.assert_array_equal(volume, np.where(rows < column, probed.chunk_volume, 0.0))
        grade = sums[..., 0][volume > 0] / volume[volume > 0]
        assert ((grade >= 50) & (grade <= 60)).all()
    assert probed.section(-1)[0].shape == probed.section(2)[0].shape
    with pytest.raises(IndexError):
        probed.section(3)


@pytest.mark.parametrize("duplicate", [
    copy.copy,
    lambda b: pickle.loads(pickle.dumps(b)),
    lambda b: Bed.from_state(b.state()),
])
def test_sections_travel_with_copies_and_pickles(duplicate):
    original = bed(7, sections={"across": 5.0, "along": 2.5})
    stack(original, table(3))
    twin = duplicate(original)
    assert twin.sections == original.sections and repr(twin) == repr(original)
    assert twin.state() == original.state()
    stack(twin, table(2, first=3))
    stack(original, table(2, first=3))
    assert twin.state() == original.state()
    np.testing.assert_array_equal(twin.section(1)[1], original.section(1)[1])
    assert eval(repr(original), {"Bed": Bed}).sections == original.sections


@pytest.mark.parametrize("settings, sections, error, message", [
    ({}, {"across": 20.5}, ValueError, "across the bed at x = 20.5 m lies outside it"),
    ({}, {"along": [1.0, -0.5]}, ValueError, "along the bed at z = -0.5 m lies outside it"),
    ({}, {"across": math.nan}, ValueError, "outside"),
    ({}, {"across": [1.0] * 17}, ValueError, "at most 16"),
    ({}, {"diagonal": 1.0}, ValueError, "'across' and 'along', not 'diagonal'"),
    ({}, {"across": "middle"}, TypeError, "must hold numbers"),
    ({}, [("across", 1.0)], TypeError, "mapping"),
    (dict(circular=True), {"along": 3.0}, ValueError, "along a circular bed"),
])
def test_refused_sections(settings, sections, error, message):
    with pytest.raises(error, match=message):
        bed(**settings, sections=sections)
