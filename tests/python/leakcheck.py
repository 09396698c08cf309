"""A leak run for the Python suite, after the interpreter's own refleak
hunting: with --leak-runs=N each test is run again N times (after a few
warm-up runs) and fails when the interpreter's allocated memory blocks, or
the total reference count on builds that keep one, grew in every one of
those runs. Growth in every run, not once, is what a leak looks like; caches
filled on first use and the allocator's noise do not repeat that way.

Tests that cannot be repeated in one process opt out with
@pytest.mark.no_leak_check."""

import gc
import sys

import pytest

WARMUPS = 2
# Growth of a few blocks per run is the interpreter's own noise (classes made
# inside a test, exception and traceback bookkeeping, type caches), seen in
# tests that leak nothing when looped directly; a leak of even one object per
# call in a test that loops shows as far more.
NOISE_BLOCKS = 8


def pytest_addoption(parser):
    parser.addoption("--leak-runs", type=int, default=0, metavar="N",
                     help="repeat each test N times after warm-up and fail when memory grows in every run")


def pytest_configure(config):
    config.addinivalue_line("markers", "no_leak_check: the test cannot be repeated by the leak run")


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
        for run in range(WARMUPS + runs):
            function(**arguments)
            after = counts()
            if run >= WARMUPS:
                block_deltas.append(after[0] - before[0])
                ref_deltas.append(after[1] - before[1])
            before = after
        if all(delta > NOISE_BLOCKS for delta in block_deltas) or all(delta > 0 for delta in ref_deltas):
            pytest.fail(f"leaked in every run: memory blocks {block_deltas}, references {ref_deltas}",
                        pytrace=False)
    yield
