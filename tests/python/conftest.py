"""Plugins and markers of the Python suite."""

pytest_plugins = ["leakcheck"]


def pytest_configure(config):
    config.addinivalue_line("markers", "serial: the test runs alone, after the parallel part (scripts/suite.sh)")
