"""Shared set-up: a fresh virtual world for each test, and the command-line tools."""

import os
import subprocess

import pytest

import _vcamtest
import tessoral

TOOL_DIR = os.environ.get("TESSORAL_TOOL_DIR", "")


@pytest.fixture
def camera_id():
    """One default camera, the same one a tool meets in a process of its own."""
    yield _vcamtest.reset()
    _vcamtest.set_call_record(False)


@pytest.fixture
def camera(camera_id):
    with tessoral.Camera() as cam:
        yield cam


def run_tool(name, *args):
    """Runs a command-line tool on the virtual camera; returns its standard output."""
    path = os.path.join(TOOL_DIR, name)
    if not os.path.exists(path):
        pytest.skip("%s is not built" % name)
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)  # the tools are not built for a preloaded sanitizer runtime
    done = subprocess.run([path, *args], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout
