#!/usr/bin/python3
"""Grabs ten images from the first camera (or the one named) and saves them.

    python3 examples/grab_ten.py [--camera GUID_OR_SERIAL] [--output DIR] [--numpy]

Each image is saved as image-<block id>.png with OpenCV when it is installed
(python3-opencv), otherwise (or with --numpy) as image-<block id>.npy with numpy.
"""

import argparse
import os
import sys

import numpy as np

import tessoral

try:
    import cv2
except ImportError:
    cv2 = None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--camera", help="GUID or serial number (default: the first camera)")
    parser.add_argument("--output", default=".", help="directory for the images")
    parser.add_argument("--numpy", action="store_true", help="save .npy files even when OpenCV is there")
    args = parser.parse_args()
    os.makedirs(args.output, exist_ok=True)
    use_cv2 = cv2 is not None and not args.numpy

    try:
        with tessoral.Camera(args.camera) as camera:
            # Free-running, so that images come without a trigger.
            for name, entry in (("AcquisitionMode", "Continuous"), ("TriggerMode", "Off")):
                if name in camera.features:
                    camera.features[name] = entry
            with camera.stream(buffers=16) as stream:
                for image in stream.images(count=10, timeout=5.0):
                    base = os.path.join(args.output, "image-%08d" % image.block_id)
                    if use_cv2 and image.array.ndim >= 2:
                        cv2.imwrite(base + ".png", image.array)
                    else:
                        np.save(base + ".npy", image.array)
                    print("%s: %dx%d %s, status 0x%04X" % (
                        base, image.width, image.height, image.pixel_format_name, image.status))
    except tessoral.Error as e:
        print("grab_ten: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
