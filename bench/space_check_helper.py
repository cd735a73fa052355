#!/usr/bin/env python3
"""Helpers for bench/space_check.sh: test trees, the space an extraction
needs as `zarvik info` predicts it, the peak it takes, and a file system
filled to a given free space. Standard library only."""
import json
import os
import random
import subprocess
import sys
import time

# name: (files, smallest, largest, files per folder)
SHAPES = {
    "tiny": (15000, 100, 100, 1000),
    "mixed": (3000, 1, 12000, 100),
    "large": (20, 1000000, 1000000, 20),
    "big": (3, 24000000, 24000000, 3),
}


def tree(dest, shape):
    """Random (incompressible) files of the shape's sizes, a fixed
    number to a folder."""
    count, smallest, largest, per_folder = SHAPES[shape]
    rng = random.Random(shape)
    for i in range(count):
        folder = os.path.join(dest, "d%03d" % (i // per_folder))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
            f.write(os.urandom(rng.randint(smallest, largest)))


def free(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def info(zarvik, archive, dest):
    """Prints "free ablative keep" as `zarvik info --json` reports them."""
    out = subprocess.run([zarvik, "info", "--json", archive, dest], check=True, capture_output=True, text=True)
    o = json.loads(out.stdout)
    print(o["freeAtDestination"], o["neededToExtract"], o["neededWithKeep"])


def peak(path, command, hold=0.001):
    """Runs `command` and prints "HELD MOMENTARY RC": how far the free space
    of `path` fell below its figure at the start while it ran, at the lowest
    it stayed for `hold` seconds and at the lowest any sample saw (statvfs
    polled in a tight loop), and the command's exit code. Its error output
    goes to stderr. Only changes are kept: (time first seen, bytes used)."""
    start = free(path)
    changes = [(time.monotonic(), 0)]
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    while child.poll() is None:
        for _ in range(64):
            used = start - free(path)
            if used != changes[-1][1]:
                changes.append((time.monotonic(), used))
    changes.append((time.monotonic(), start - free(path)))
    held = 0
    for i, (since, used) in enumerate(changes[:-1]):
        lowest = used
        for until, later in changes[i + 1:]:
            if until - since >= hold:
                held = max(held, lowest)
                break
            lowest = min(lowest, later)
        else:  # the window runs past the end, where the last level stays
            held = max(held, lowest)
    print(held, max(used for _, used in changes), child.returncode)


def leave_free(path, filler, target):
    """Grows or cuts `filler` until the free space at `path` is at least
    `target` and less than two allocation units above it."""
    unit = os.statvfs(path).f_frsize
    with open(filler, "ab") as f:
        for _ in range(20):
            now = free(path)
            if target <= now < target + 2 * unit:
                return
            size = os.fstat(f.fileno()).st_size
            if now < target:
                os.ftruncate(f.fileno(), max(0, size - (target - now)))
            else:
                os.posix_fallocate(f.fileno(), size, now - target)
    sys.exit("could not leave %d bytes free at %s (%d are)" % (target, path, free(path)))


if __name__ == "__main__":
    what, args = sys.argv[1], sys.argv[2:]
    if what == "tree":
        tree(args[0], args[1])
    elif what == "free":
        print(free(args[0]))
    elif what == "info":
        info(*args)
    elif what == "peak":
        peak(args[0], args[1:])
    elif what == "leave-free":
        leave_free(args[0], args[1], int(args[2]))
    else:
        sys.exit("unknown: " + what)
