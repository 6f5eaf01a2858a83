#!/usr/bin/python3
"""Images through Python at 400 MB/s beside the library's own figure, measured in the same run.

    /usr/bin/python3 bench/PythonStreamBench.py [BUILD_DIR [SECONDS [ROUNDS]]]   (build/release, 10, 3)

Compares tessoral's Stream.get with copy=True against the library's U3V_GetImage loop and
the zero-copy Stream.get against its U3V_LockImage loop (StreamPacedBench, one case alone
in its own process). Both sides run the same camera (1920x1200 Mono8, paced at 400 MB/s,
the library's default 4 buffers) for the same time and count CPU the same way: the whole
process's user+system seconds (the virtual camera included) over the measuring window only,
after the first image, so start-up, imports and the final check stay out of it. The
machine is shared, so the two sides alternate in ROUNDS rounds (the order swapped each
round) and the medians are compared; the spread of the per-round ratios is printed too.

The Python loop's own floor is measured as well: the same loop with the same per-image
Python work (an Image from an array and its info, one native call) but no wait, as
microseconds per image, beside the measured extra per image.
Prints `name: value` lines.
"""

import os
import resource
import statistics
import subprocess
import sys
import time

WIDTH, HEIGHT, BYTES_PER_SECOND = 1920, 1200, 400_000_000
PAYLOAD = WIDTH * HEIGHT


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def page_faults():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_minflt + u.ru_majflt


def library_figures(build, seconds, case):
    out = subprocess.run([os.path.join(build, "bin", "StreamPacedBench"), str(seconds), case],
                         capture_output=True, text=True, check=True).stdout
    values = dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)
    prefix = "zerocopy_" if case == "zerocopy" else ""
    images = float(values[prefix + "images"])
    return {"images": images, "images_per_s": images / seconds, "cpu_s_per_gb": float(values[prefix + "cpu_s_per_gb"]),
            "lost": int(values[prefix + "lost"]), "exact": True}


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
            faults0, cpu0, t0 = page_faults(), cpu_seconds(), time.monotonic()
            while time.monotonic() - t0 < seconds:
                image = stream.get(2.0, copy=copy)
                gaps += image.block_id - previous - 1
                previous = image.block_id
                images += 1
            elapsed, cpu, faults = time.monotonic() - t0, cpu_seconds() - cpu0, page_faults() - faults0
            dropped = _vcamtest.stream_stats(camera_id)["dropped"] - dropped0
            exact = image.data.tobytes() == _vcamtest.expected_image(image.block_id, PAYLOAD)
    gb = images * PAYLOAD / 1e9
    return {"images": images, "images_per_s": images / elapsed, "cpu_s_per_gb": cpu / gb if gb else 0.0,
            "lost": gaps + dropped, "exact": exact, "faults": faults / images if images else 0.0}


def loop_floor_us(count):
    """CPU microseconds per image of the Python loop itself: the benchmark's loop with an
    Image made from an array and an info dict, and one call into the native module, as
    Stream.get does, but nothing to wait for."""
    import numpy as np
    import tessoral
    from tessoral import _native

    data = np.zeros(PAYLOAD, np.uint8)
    info = dict(block_id=0, timestamp=0, pixel_format=0x01080001, size_x=WIDTH, size_y=HEIGHT, offset_x=0,
                offset_y=0, padding_x=0, missing_transfers=0, status=0)
    previous = gaps = images = 0
    cpu0, t0 = cpu_seconds(), time.monotonic()
    while images < count and time.monotonic() - t0 < 1e9:
        info["block_id"] = images + 1
        _native.status_name(0)
        image = tessoral.Image(data[:], dict(info))
        gaps += image.block_id - previous - 1
        previous = image.block_id
        images += 1
    return (cpu_seconds() - cpu0) / count * 1e6


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build/release")
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10.0
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    if "TESSORAL_BENCH_CHILD" not in os.environ:
        # The virtual camera and the build tree's package, as the README describes.
        env = dict(os.environ, TESSORAL_BENCH_CHILD="1",
                   LD_LIBRARY_PATH=os.path.join(build, "emulator", "lib"),
                   PYTHONPATH=os.pathsep.join([os.path.join(build, "python"), os.path.join(build, "python-tests")]))
        os.execve(sys.executable, [sys.executable, *sys.argv], env)

    ok = True
    print("load_average_before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    # The copying loop against U3V_GetImage, the zero-copy one against U3V_LockImage.
    for mode, copy, case, peer in [("copy", True, "getimage", ""), ("zerocopy", False, "zerocopy", "zerocopy_")]:
        library, python = [], []
        for n in range(rounds):
            # Alternate which side goes first, so that a change of load hits both alike.
            if n % 2 == 0:
                library.append(library_figures(build, seconds, case))
                python.append(python_figures(seconds, copy))
            else:
                python.append(python_figures(seconds, copy))
                library.append(library_figures(build, seconds, case))
        lib_cpu = statistics.median(r["cpu_s_per_gb"] for r in library)
        py_cpu = statistics.median(r["cpu_s_per_gb"] for r in python)
        ratios = [p["cpu_s_per_gb"] / l["cpu_s_per_gb"] for p, l in zip(python, library)]
        lib_rate = statistics.median(r["images_per_s"] for r in library)
        py_rate = statistics.median(r["images_per_s"] for r in python)
        print("library_%simages_per_s: %.1f" % (peer, lib_rate))
        print("library_%scpu_s_per_gb: %.3f" % (peer, lib_cpu))
        print("library_%scpu_s_per_gb_rounds: %s" % (peer, " ".join("%.3f" % r["cpu_s_per_gb"] for r in library)))
        print("library_%slost: %d" % (peer, sum(r["lost"] for r in library)))
        print("python_%s_images_per_s: %.1f" % (mode, py_rate))
        print("python_%s_cpu_s_per_gb: %.3f" % (mode, py_cpu))
        print("python_%s_cpu_s_per_gb_rounds: %s" % (mode, " ".join("%.3f" % r["cpu_s_per_gb"] for r in python)))
        print("python_%s_lost: %d" % (mode, sum(r["lost"] for r in python)))
        print("python_%s_page_faults_per_image: %s" % (mode, " ".join("%.1f" % r["faults"] for r in python)))
        exact = all(r["exact"] for r in python)
        print("python_%s_images_exact: %s" % (mode, "yes" if exact else "NO"))
        print("python_%s_vs_library_cpu: %.2f" % (mode, py_cpu / lib_cpu))
        print("python_%s_vs_library_cpu_per_round: %s" % (mode, " ".join("%.2f" % r for r in ratios)))
        print("python_%s_vs_library_images: %.3f" % (mode, py_rate / lib_rate))
        # The extra as CPU time per image: what the Python loop costs beyond the library's.
        print("python_%s_extra_us_per_image: %.1f" % (mode, (py_cpu - lib_cpu) * PAYLOAD / 1e9 * 1e6))
        ok = ok and exact
    count = 20000
    print("python_loop_floor_us_per_image: %.2f" % loop_floor_us(count))
    print("load_average_after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
