"""The module where the process around it misbehaves: Ctrl-C and other signal handlers during a
long stacking call, forked workers, and memory that runs out."""

import hashlib
import math
import os
import signal
import subprocess
import sys
from contextlib import contextmanager

import numpy as np
import pytest

XZV = ["x", "z", "volume"]
MORE = "volume is more than the bed can hold"


@contextmanager
def ctrl_c_after(cpu_seconds):
    """SIGINT, as Ctrl-C sends it, once this process has used `cpu_seconds` more of CPU time: a
    CPU-time timer whose handler raises the signal. (Counting CPU time rather than wall time
    keeps a busy machine from firing it before the call under test has started.)"""
    handlers = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGVTALRM)}
    signal.signal(signal.SIGINT, signal.default_int_handler)
    signal.signal(signal.SIGVTALRM, lambda *_: signal.raise_signal(signal.SIGINT))
    signal.setitimer(signal.ITIMER_VIRTUAL, cpu_seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_VIRTUAL, 0.0)
        for number, handler in handlers.items():
            signal.signal(number, handler)


def chunks_on(bed):
    """Chunks on the grid of a bed of unit cells."""
    return round(math.fsum(map(math.fsum, bed.get_heights())))


def test_ctrl_c_stops_stack_list_within_a_row_and_keeps_what_went_in(make_bed):
    bed = make_bed(bed_size_x=20.0, bed_size_z=20.0)
    rows, volume = 100_000, 1000.5  # minutes of stacking
    xz = np.random.default_rng(3).uniform(0.0, 20.0, (rows, 2))
    table = np.column_stack([xz, np.full(rows, volume), np.full(rows, 7.0)])
    with ctrl_c_after(0.1), pytest.raises(KeyboardInterrupt):
        bed.stack_list(table, XZV + ["a"])
    deposited = chunks_on(bed)
    bed.stack(0.0, 10.0, 10.0, 0.0, [7.0])  # lets down what the interrupted row left buffered
    flushed = chunks_on(bed)
    # The rows up to the interrupted one went in whole, deposited or buffered, the others not.
    went_in = round(flushed / volume)
    assert 0 < went_in < rows and flushed == math.floor(went_in * volume)
    assert math.floor((went_in - 1) * volume) < deposited <= flushed
    reclaimed = bed.reclaim()
    assert math.fsum(reclaimed["volume"]) == flushed
    assert {a for a, v in zip(reclaimed["a"], reclaimed["volume"]) if v} == {7.0}


def test_a_signal_handler_cannot_use_the_bed_it_interrupted(make_bed):
    bed = make_bed(bed_size_x=20.0, bed_size_z=20.0)
    rows, volume = 100_000, 1000.5  # minutes of stacking
    xz = np.random.default_rng(3).uniform(0.0, 20.0, (rows, 2))
    table = np.column_stack([xz, np.full(rows, volume), np.full(rows, 7.0)])
    previous = signal.signal(signal.SIGVTALRM, lambda *_: bed.reclaim())  # mid-stack, the same bed
    signal.setitimer(signal.ITIMER_VIRTUAL, 0.1)
    try:
        with pytest.raises(RuntimeError, match="busy stacking"):
            bed.stack_list(table, XZV + ["a"])
    finally:
        signal.setitimer(signal.ITIMER_VIRTUAL, 0.0)
        signal.signal(signal.SIGVTALRM, previous)
    bed.stack(0.0, 10.0, 10.0, 0.0, [7.0])  # usable again; lets down the buffered rest
    flushed = chunks_on(bed)
    went_in = round(flushed / volume)
    assert 0 < went_in < rows and flushed == math.floor(went_in * volume)  # nothing reclaimed
    assert math.fsum(bed.reclaim()["volume"]) == flushed


def test_ctrl_c_leaves_the_bed_counting_only_what_went_in(make_bed):
    bed = make_bed(bed_size_x=1.0)  # one cell, which holds 2147483644 chunks
    with ctrl_c_after(0.05), pytest.raises(KeyboardInterrupt):
        bed.stack_list(np.array([[0, 0, 1.2e9, 7.0], [0, 0, 0.9e9, 7.0]]), XZV + ["a"])
    # Only the first row went in, so 0.9e9 more chunks still fit; then they all went in.
    with ctrl_c_after(0.05), pytest.raises(KeyboardInterrupt):
        bed.stack(0.0, 0.0, 0.0, 0.9e9, [7.0])
    with pytest.raises(ValueError, match=MORE):
        bed.stack(0.0, 0.0, 0.0, 0.1e9, [7.0])
    assert 0 < chunks_on(bed) < 0.9e9


def test_forked_children_stack_heaps_of_their_own(make_bed):
    """Workers forked after the parent has deposited draw from engines of their own."""
    make_bed(bed_size_x=20.0, bed_size_z=20.0).stack(0.0, 10.0, 10.0, 50.0, [])
    digests = []
    for _ in range(6):
        read, write = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: stack the same plan, send a digest of the heap
            try:
                bed = make_bed(bed_size_x=20.0, bed_size_z=20.0)
                bed.stack(0.0, 10.0, 10.0, 300.0, [])
                os.write(write, hashlib.sha256(repr(bed.get_heights()).encode()).digest())
            finally:
                os._exit(0)
        os.close(write)
        with os.fdopen(read, "rb") as pipe:
            digests.append(pipe.read())
        assert os.waitpid(pid, 0)[1] == 0 and len(digests[-1]) == 32
    assert len(set(digests)) == len(digests)


STACKED = np.array([[0, 0, 3, 2.0], [0, 0, 4.5, 5.0]])  # on a strip, a known staircase
CALLS = {"reclaim": lambda bed: bed.reclaim(), "get_heights": lambda bed: bed.get_heights(),
         "stack": lambda bed: bed.stack(0.0, 0.0, 0.0, 1.0, [4.0]),
         "stack_list": lambda bed: bed.stack_list([[0, 0, 1, 4]], ["x", "z", "volume", "a"])}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_every_failed_python_allocation_raises_memory_error_and_changes_nothing(make_bed, call):
    """The call with the interpreter's k-th allocation failing, for k = 0, 1, ... until it stops
    failing: it raises MemoryError and leaves the bed as it was (so a reclaim can be repeated),
    or it succeeds. The strip is long enough that the floats of the result outnumber the
    interpreter's free list of floats."""
    testcapi = pytest.importorskip("_testcapi")

    def state_after(call, failing=None):
        bed = make_bed(bed_size_x=150.0)
        bed.stack_list(STACKED, XZV + ["a"])
        if failing is not None:
            testcapi.set_nomemory(failing, failing + 1)  # only the allocation after `failing`
        try:
            result = call(bed)
        except MemoryError as error:
            result = error
        finally:
            testcapi.remove_mem_hooks()
        return result, bed.get_heights(), bed.reclaim()

    done, untouched = state_after(call), list(state_after(lambda bed: None)[1:])
    failed = succeeded = 0
    for k in range(5000):
        result, *state = state_after(call, k)
        if isinstance(result, MemoryError):
            failed, succeeded = failed + 1, 0
            assert state == untouched
        else:
            succeeded += 1
            assert (result, *state) == done
        if succeeded == 50:
            break
    assert failed > 0 and succeeded == 50


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the address "
                    "sanitizer's shadow memory does not fit a limit on the address space")
def test_reclaim_that_runs_out_of_memory_keeps_the_material(tmp_path):
    """200,000 result rows of three parameters against a limit on the address space: the first
    reclaim fails and takes nothing, the second, with the limit lifted, reports everything."""
    script = tmp_path / "reclaim.py"
    script.write_text("""
import resource, numpy as np
from _pilora_lib import PiloraLib
bed = PiloraLib(2e5, 1.0, 90.0, 1.0, False, 0.5, 0.0, 0.0, False, 1.0)
table = np.array([[x, 0, 1, 2, 2, 2] for x in range(0, 200000, 200)])
bed.stack_list(table, ["x", "z", "volume", *"abc"])
size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, ((size + 8 * 1024) * 1024, hard))  # 8 MiB more
try:
    bed.reclaim()
    print("reclaimed")
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
result = bed.reclaim()
print(len(result["x"]), sum(result["volume"]), sorted(set(result["a"])))
""")
    out = subprocess.run([sys.executable, script], capture_output=True, text=True,
                         check=True).stdout
    assert out.splitlines() == ["MemoryError", "200001 1000.0 [0.0, 2.0]"]
