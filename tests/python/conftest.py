"""Plugins of the Python suite."""

pytest_plugins = ["leakcheck"]
