"""Crash states from the write log of QEMU's blklogwrites driver (which writes a crash state keeps: docs/reliability.md,
section 8). By hand: write_log.py BASE LOG OUT POINT SEED rebuilds the crash state (POINT, SEED) of a report into OUT
(SEED -1: nothing in flight, -2: all of it)."""
import os
import random
import struct
import subprocess
import sys
from collections import namedtuple

MAGIC = 0x6A736677736872
FLUSH = 1
DISCARD = 4
NOTHING_IN_FLIGHT = -1  # the seed of a crash state that kept only what was flushed
IN_ORDER = -2  # the seed of a crash state that kept every write issued before it, as a disk that keeps order
END = 1 << 62  # the point after every entry: (END, IN_ORDER) is the disk after the whole log
Entry = namedtuple("Entry", "sector sectors flags data_at")  # in log sectors but data_at, its data's offset in the log


def copy_image(src, dst):
    subprocess.run(["cp", "--sparse=always", src, dst], check=True)


def read_log(path):
    """The entries and sector size of a log: sector 0 {magic, version, count, sector size}, then each entry a header
    sector {sector, nr_sectors, flags, data_len} (little-endian u64) and its data. ValueError on a bad log."""
    with open(path, "rb") as log:
        magic, version, count, sector_size = struct.unpack("<QQQI", log.read(28))
        if magic != MAGIC or version != 1:
            raise ValueError(f"{path}: not a blklogwrites log")
        entries, at = [], sector_size
        for _ in range(count):
            log.seek(at)
            sector, sectors, flags, _data_len = struct.unpack("<QQQQ", log.read(32))
            entries.append(Entry(sector, sectors, flags, at + sector_size))
            at += sector_size * (1 + (0 if flags & DISCARD else sectors))
    return entries, sector_size


def is_write(entry):
    return entry.sectors > 0 and not entry.flags & DISCARD


def last_flush_before(entries, point):
    """Entries before this index are durable in a crash at `point`."""
    return next((i for i in range(min(point, len(entries) - 1), -1, -1) if entries[i].flags & FLUSH), 0)


def apply(log, image, entries, sector_size):
    """Discards are left out: QEMU ignores them unless told, and a crash may keep a discarded range's old bytes."""
    for e in filter(is_write, entries):
        log.seek(e.data_at)
        image.seek(e.sector * sector_size)
        image.write(log.read(e.sectors * sector_size))


def in_flight_subset(entries, point, seed):
    """The writes since the last flush, up to `point`, this crash kept: each at even odds drawn from the seed."""
    if seed == NOTHING_IN_FLIGHT:
        return []
    rng, start = random.Random(seed), last_flush_before(entries, point)
    return [e for e in entries[start:point + 1] if is_write(e) and (seed == IN_ORDER or rng.random() < 0.5)]


def build_states(base, log_path, states, out_path):
    """The images out_path(i) of states [(point, seed)...]: the durable part grows in one copy, the log read once."""
    entries, sector_size = read_log(log_path)
    durable = out_path(0) + ".durable"
    copy_image(base, durable)
    done = 0
    with open(log_path, "rb") as log, open(durable, "r+b") as image:
        for i in sorted(range(len(states)), key=lambda i: states[i][0]):
            point, seed = states[i]
            flushed = last_flush_before(entries, point)
            apply(log, image, entries[done:flushed], sector_size)
            done = max(done, flushed)
            image.flush()
            copy_image(durable, out_path(i))
            with open(out_path(i), "r+b") as state:
                apply(log, state, in_flight_subset(entries, point, seed), sector_size)
    os.remove(durable)


if __name__ == "__main__":
    if len(sys.argv) != 6:
        sys.exit("usage: write_log.py BASE LOG OUT POINT SEED")
    base, log_path, out, point, seed = sys.argv[1:]
    build_states(base, log_path, [(int(point), int(seed))], lambda _: out)
