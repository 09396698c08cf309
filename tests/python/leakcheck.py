"""A leak run for the Python suite, after the interpreter's own refleak
hunting: with --leak-runs=N each test is run again N times (after a few
warm-up runs) and fails when the interpreter's allocated memory blocks, or
the total reference count on builds that keep one, grew in every one of
those runs. Growth in every run, not once, is what a leak looks like; caches
filled on first use and the allocator's noise do not repeat that way.

A debug interpreter counts every reference taken and dropped by code built
for it, the module included, so there the reference total is exact: a test
fails on a single reference gained in every run. Code built for the release
interpreter, which the debug one loads as well, takes and drops references
without counting them, and the total drifts by a fixed amount for each of
its operations that hands a reference across; Debian's NumPy is such a
build (a call as plain as `dtype.name` drifts by one). Tests of a module
that uses NumPy are therefore held to the memory check alone, and the run
ends with the number of tests held to each.

Tests that cannot be repeated in one process opt out with
@pytest.mark.no_leak_check."""

import gc
import sys
import sysconfig

import pytest

WARMUPS = 2
# Growth of a few blocks per run is the interpreter's own noise (classes made
# inside a test, exception and traceback bookkeeping, type caches), seen in
# tests that leak nothing when looped directly; a leak of even one object per
# call in a test that loops shows as far more.
NOISE_BLOCKS = 8
# Tests held to the memory check alone (False) and to the exact reference
# total as well (True).
HELD = {False: 0, True: 0}


def pytest_addoption(parser):
    parser.addoption("--leak-runs", type=int, default=0, metavar="N",
                     help="repeat each test N times after warm-up and fail when memory grows in every run")


def pytest_configure(config):
    config.addinivalue_line("markers", "no_leak_check: the test cannot be repeated by the leak run")


def references_uncounted(item):
    """Whether `item`'s module uses a NumPy built for the release interpreter
    while this one is a debug build."""
    numpy = sys.modules.get("numpy")
    if numpy is None or not hasattr(sys, "gettotalrefcount"):
        return False
    # Extensions built for the debug interpreter carry its own suffix.
    core_file = numpy._core._multiarray_umath.__file__
    return (not core_file.endswith(sysconfig.get_config_var("EXT_SUFFIX"))
            and any(value is numpy for value in vars(item.module).values()))


def counts():
    # Two passes: objects freed by one collection's finalizers may form
    # garbage only the next one finds.
    gc.collect()
    gc.collect()
    blocks = sys.getallocatedblocks()
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return blocks, refs


@pytest.hookimpl(hookwrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    runs = pyfuncitem.config.getoption("--leak-runs")
    if runs > 0 and pyfuncitem.get_closest_marker("no_leak_check") is None:
        function = pyfuncitem.obj
        arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
        block_deltas, ref_deltas = [], []
        before = counts()
        # What lived before the test is left out of its collections, which
        # then look only at what the runs made: a full collection of the
        # whole suite's heap each run would cost more than the runs.
        gc.freeze()
        try:
            for run in range(WARMUPS + runs):
                function(**arguments)
                after = counts()
                if run >= WARMUPS:
                    block_deltas.append(after[0] - before[0])
                    ref_deltas.append(after[1] - before[1])
                before = after
        finally:
            gc.unfreeze()
        exact = hasattr(sys, "gettotalrefcount") and not references_uncounted(pyfuncitem)
        HELD[exact] += 1
        if all(delta > NOISE_BLOCKS for delta in block_deltas) or (exact and all(delta > 0 for delta in ref_deltas)):
            pytest.fail(f"leaked in every run: memory blocks {block_deltas}, references {ref_deltas}",
                        pytrace=False)
    yield


def pytest_terminal_summary(terminalreporter, config):
    if config.getoption("--leak-runs") > 0 and hasattr(sys, "gettotalrefcount"):
        terminalreporter.write_line(f"leak run: {HELD[True]} tests held to the exact reference total, "
                                    f"{HELD[False]} to memory alone (NumPy does not count its references)")
