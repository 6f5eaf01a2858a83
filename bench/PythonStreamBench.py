#!/usr/bin/python3
"""Images through Python at 400 MB/s beside the library's own figure, measured in the same run.

    /usr/bin/python3 bench/PythonStreamBench.py [BUILD_DIR [SECONDS]]   (default build/release, 10)

Runs StreamPacedBench (the library's U3V_GetImage loop in C++, one copy per image, and its
U3V_LockImage loop, zero-copy) and then the same camera (1920x1200 Mono8, paced at 400 MB/s,
the library's default 4 buffers) through tessoral's Stream.get for as long, once with
copy=True and once viewing the lent buffers. CPU seconds are the whole process's (the virtual camera
included), as in StreamPacedBench. Prints `name: value` lines.
"""

import os
import resource
import subprocess
import sys
import time

WIDTH, HEIGHT, BYTES_PER_SECOND = 1920, 1200, 400_000_000


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def library_figures(build, seconds):
    out = subprocess.run([os.path.join(build, "bin", "StreamPacedBench"), str(seconds)], capture_output=True,
                         text=True, check=True).stdout
    values = dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)
    return {k: float(v) for k, v in values.items() if not k.startswith("plain_")}


def python_figures(seconds, copy):
    import _vcamtest
    import tessoral

    camera_id = _vcamtest.reset(bytes_per_second=BYTES_PER_SECOND)
    with tessoral.Camera() as camera:
        camera.features["Width"] = WIDTH
        camera.features["Height"] = HEIGHT
        with camera.stream() as stream:
            previous = stream.get(2.0).block_id  # the first image starts the count
            dropped0 = _vcamtest.stream_stats(camera_id)["dropped"]
            images = gaps = 0
            cpu0, t0 = cpu_seconds(), time.monotonic()
            while time.monotonic() - t0 < seconds:
                image = stream.get(2.0, copy=copy)
                gaps += image.block_id - previous - 1
                previous = image.block_id
                images += 1
            elapsed, cpu = time.monotonic() - t0, cpu_seconds() - cpu0
            dropped = _vcamtest.stream_stats(camera_id)["dropped"] - dropped0
            exact = image.data.tobytes() == _vcamtest.expected_image(image.block_id, WIDTH * HEIGHT)
    gb = images * WIDTH * HEIGHT / 1e9
    return {"images": images, "images_per_s": images / elapsed, "cpu_s_per_gb": cpu / gb if gb else 0.0,
            "lost": gaps + dropped, "exact": exact}


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/release")
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    if "TESSORAL_BENCH_CHILD" not in os.environ:
        # The virtual camera and the build tree's package, as the README describes.
        env = dict(os.environ, TESSORAL_BENCH_CHILD="1",
                   LD_LIBRARY_PATH=os.path.join(build, "emulator", "lib"),
                   PYTHONPATH=os.pathsep.join([os.path.join(build, "python"), os.path.join(build, "python-tests")]))
        os.execve(sys.executable, [sys.executable, *sys.argv], env)

    library = library_figures(build, seconds)
    ok = True
    # The copying loop against U3V_GetImage, the zero-copy one against U3V_LockImage.
    for mode, copy, peer in [("copy", True, ""), ("zerocopy", False, "zerocopy_")]:
        python = python_figures(seconds, copy)
        library_rate = library[peer + "images"] / seconds
        print("library_%simages_per_s: %.1f" % (peer, library_rate))
        print("library_%scpu_s_per_gb: %.3f" % (peer, library[peer + "cpu_s_per_gb"]))
        print("library_%slost: %d" % (peer, library[peer + "lost"]))
        print("python_%s_images_per_s: %.1f" % (mode, python["images_per_s"]))
        print("python_%s_cpu_s_per_gb: %.3f" % (mode, python["cpu_s_per_gb"]))
        print("python_%s_lost: %d" % (mode, python["lost"]))
        print("python_%s_images_exact: %s" % (mode, "yes" if python["exact"] else "NO"))
        print("python_%s_vs_library_cpu: %.2f" % (mode, python["cpu_s_per_gb"] / library[peer + "cpu_s_per_gb"]))
        print("python_%s_vs_library_images: %.3f" % (mode, python["images_per_s"] / library_rate))
        ok = ok and python["exact"]
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
