"""The example program runs as a user runs it, in a process of its own."""

import os
import subprocess
import sys

import numpy as np

import _vcamtest

EXAMPLES = os.environ.get("TESSORAL_EXAMPLES_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "examples"))


def test_grab_ten_saves_ten_exact_images(tmp_path):
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, "grab_ten.py"), "--numpy", "--output", str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    files = sorted(os.listdir(tmp_path))
    assert files == ["image-%08d.npy" % n for n in range(1, 11)]
    for n, name in enumerate(files, start=1):
        a = np.load(tmp_path / name)
        assert a.shape == (480, 640) and a.dtype == np.uint8
        assert a.tobytes() == _vcamtest.expected_image(n, 640 * 480)


def test_a_camera_that_is_not_there_is_one_line_and_status_1(tmp_path):
    done = subprocess.run([sys.executable, os.path.join(EXAMPLES, "grab_ten.py"), "--camera", "nobody",
                           "--output", str(tmp_path)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert done.stderr.startswith("grab_ten: 0xC01C U3V_ERR_DEVICE_NOT_FOUND")
    assert os.listdir(tmp_path) == []
