"""The reference frontend's suite: the demo's eager and staged frontends and
the pictures, driven through the installed module. Its tests are not part of
the module's own leak run (the frontend keeps caches of its own)."""


def pytest_configure(config):
    config.addinivalue_line("markers", "no_leak_check: the test cannot be repeated by the leak run")
    config.addinivalue_line("markers", "serial: the test runs alone, after the parallel part (scripts/suite.sh)")
