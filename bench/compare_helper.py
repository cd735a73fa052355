#!/usr/bin/env python3
"""Helpers for bench/compare.sh and bench/plot_space.sh: test tree,
durable-write reference, disk samplers, archive table size and the result
table. Standard library only."""
import os
import signal
import statistics
import struct
import subprocess
import sys
import time


def tree(dest, megabytes, sources):
    """Copies whole entries of `sources` (in order, names sorted) with
    `cp -a --parents` until their regular files add up to `megabytes` MiB,
    descending into a folder only when it does not fit whole. Then removes
    what only one side would store as content: symbolic links (tar keeps the
    link, zarvik would store the target's bytes), special files, names that
    are not UTF-8, and extra hard links (tar stores a link once)."""
    budget = megabytes << 20
    sizes = {}
    first_link = {}

    def size_of(path):
        if path in sizes:
            return sizes[path]
        st = os.lstat(path)
        total = st.st_size if os.path.isfile(path) and not os.path.islink(path) else 0
        if total and st.st_nlink > 1 and first_link.setdefault((st.st_dev, st.st_ino), path) != path:
            total = 0  # another name of a file already counted
        if os.path.isdir(path) and not os.path.islink(path):
            try:
                names = os.listdir(path)
            except OSError:
                names = []
            total = sum(size_of(os.path.join(path, n)) for n in names)
        sizes[path] = total
        return total

    chosen = []

    def pick(path):
        nonlocal budget
        try:
            names = sorted(os.listdir(path))
        except OSError:
            return
        for name in names:
            if budget <= 0:
                return
            full = os.path.join(path, name)
            if os.path.islink(full):
                continue
            s = size_of(full)
            if s == 0:
                continue
            if s <= budget:
                chosen.append(full)
                budget -= s
            elif os.path.isdir(full):
                pick(full)

    for src in sources:
        if budget <= 0:
            break
        if not os.path.isdir(src):
            continue
        s = size_of(src)
        if s <= budget:
            chosen.append(src)
            budget -= s
        else:
            pick(src)
    dest = os.path.abspath(dest)
    os.makedirs(dest, exist_ok=True)
    relative = [os.path.relpath(p, "/") for p in chosen]  # --parents wants them relative to the cwd
    for i in range(0, len(relative), 200):
        subprocess.run(["cp", "-a", "--parents", *relative[i:i + 200], dest], check=True, cwd="/")

    inodes = set()
    files = total = removed = 0
    for root, dirs, names in os.walk(dest):
        for name in names + [d for d in dirs if os.path.islink(os.path.join(root, d))]:
            full = os.path.join(root, name)
            st = os.lstat(full)
            bad = False
            try:
                name.encode("utf-8")
            except UnicodeEncodeError:
                bad = True
            if bad or "\\" in name or not (os.path.isfile(full) and not os.path.islink(full)):
                os.unlink(full)
                removed += 1
                continue
            if st.st_nlink > 1:
                if st.st_ino in inodes:
                    os.unlink(full)
                    removed += 1
                    continue
                inodes.add(st.st_ino)
            files += 1
            total += st.st_size
    print(f"{files} {total} {removed}")


def dwrite(path, total, block):
    """The disk's durable-write rate: `total` bytes to a new file in `block`
    pieces, each write followed by fdatasync, the way an extraction makes a
    block durable. Prints the seconds taken."""
    data = os.urandom(block)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    start = time.perf_counter()
    done = 0
    while done < total:
        n = min(block, total - done)
        os.write(fd, data[:n])
        os.fdatasync(fd)
        done += n
    elapsed = time.perf_counter() - start
    os.close(fd)
    print(f"{elapsed:.6f}")


def sample(path, out, interval, watch=None):
    """Samples the file system's used bytes (statvfs) every `interval`
    seconds until SIGTERM, then writes "peak samples mean_interval" to out,
    followed by the largest size `watch` had if given (0 if never there)."""
    stop = False

    def on_term(*_):
        nonlocal stop
        stop = True

    signal.signal(signal.SIGTERM, on_term)
    peak = 0
    watched = 0
    count = 0
    start = time.perf_counter()
    while not stop:
        st = os.statvfs(path)
        peak = max(peak, (st.f_blocks - st.f_bfree) * st.f_frsize)
        if watch:
            try:
                watched = max(watched, os.stat(watch).st_size)
            except OSError:
                pass
        count += 1
        time.sleep(interval)
    elapsed = time.perf_counter() - start
    with open(out, "w") as f:
        f.write(f"{peak} {count} {elapsed / max(count, 1):.6f}{f' {watched}' if watch else ''}\n")


def trace(path, out, interval, base, command):
    """Runs `command` and samples the used bytes of the file system holding
    `path` (statvfs) every `interval` seconds from its start until it exits,
    one last sample after. Writes "seconds bytes" lines to out, bytes counted
    above `base` (the used bytes of the empty file system). Returns the
    command's exit status."""
    samples = []
    start = time.perf_counter()

    def take():
        st = os.statvfs(path)
        samples.append((time.perf_counter() - start, (st.f_blocks - st.f_bfree) * st.f_frsize - base))

    take()
    child = subprocess.Popen(command)
    due = start
    while child.poll() is None:
        due += interval  # on a schedule, so that the time a sample takes does not stretch the interval
        time.sleep(max(0.0, due - time.perf_counter()))
        take()
    take()
    with open(out, "w") as f:
        f.write(f"# seconds, bytes in use above the empty file system: {' '.join(command)}\n")
        for t, b in samples:
            f.write(f"{t:.4f} {b}\n")
    return child.returncode


def used(path):
    st = os.statvfs(path)
    print((st.f_blocks - st.f_bfree) * st.f_frsize)


def tables(archive):
    """Bytes in front of the data area: header, path, file and block tables."""
    with open(archive, "rb") as f:
        header = f.read(56)
    print(int.from_bytes(header[44:52], "little"), int.from_bytes(header[32:36], "little"))


def median(values):
    return statistics.median(values) if values else float("nan")


def report(results, byte_count, one_file_bytes, other_sizes=()):
    """results: lines "name seconds" (one per repetition). Prints a table of
    medians: seconds, MB/s of the input (10^6 bytes/s: the tree's bytes, the
    single file's for "one-file" rows, or BYTES for rows whose name starts
    with PREFIX, given as "PREFIX=BYTES" in other_sizes), each repetition."""
    prefixes = [(p, int(b)) for p, b in (item.split("=", 1) for item in other_sizes)]
    runs = {}
    order = []
    for line in open(results):
        name, value = line.split()
        if name not in runs:
            order.append(name)
        runs.setdefault(name, []).append(float(value))
    print(f"{'measure':<34} {'median s':>9} {'MB/s':>8}  repetitions (s)")
    for name in order:
        m = median(runs[name])
        size = one_file_bytes if name.startswith("one-file") else byte_count
        size = next((b for p, b in prefixes if name.startswith(p)), size)
        rate = size / m / 1e6 if m > 0 else float("nan")
        reps = " ".join(f"{v:.2f}" for v in runs[name])
        print(f"{name:<34} {m:9.2f} {rate:8.1f}  {reps}")


def zip_directory(archive):
    """Prints the bytes of a zip's central directory and its entry count, from
    the end record (its Zip64 form where the plain one is saturated)."""
    with open(archive, "rb") as f:
        f.seek(0, 2)
        size = f.tell()
        f.seek(max(0, size - 65557))  # the end record (22 bytes) and at most a 65535-byte comment
        tail = f.read()
        at = tail.rindex(b"PK\x05\x06")
        entries, length = struct.unpack_from("<HI", tail, at + 10)
        if entries == 0xFFFF or length == 0xFFFFFFFF:
            locator = tail.rindex(b"PK\x06\x07", 0, at)
            f.seek(struct.unpack_from("<Q", tail, locator + 8)[0])
            entries, length = struct.unpack_from("<QQ", f.read(56), 32)
    print(length, entries)


def table(results, subject):
    """results: lines "ROW/COLUMN seconds". Prints a Markdown table, a row
    per ROW: the median of each COLUMN, then how fast `subject` is against
    every other column (their median over its)."""
    runs = {}
    rows, columns = [], []
    for line in open(results):
        name, value = line.split()
        row, column = name.split("/", 1)
        rows += [row] if row not in rows else []
        columns += [column] if column not in columns else []
        runs.setdefault((row, column), []).append(float(value))
    others = [c for c in columns if c != subject]
    print("| archive | " + " | ".join(columns) + " | " + " | ".join(f"{subject} vs {c}" for c in others) + " |")
    print("|---" * (1 + len(columns) + len(others)) + "|")
    for row in rows:
        m = {c: median(runs.get((row, c), [])) for c in columns}
        print(f"| {row} | " + " | ".join(f"{m[c]:.2f} s" for c in columns) + " | "
              + " | ".join(f"{m[c] / m[subject]:.2f}×" for c in others) + " |")


def ratio(results, a, b):
    """Median of `b` over median of `a`: how fast a is relative to b."""
    runs = {}
    for line in open(results):
        name, value = line.split()
        runs.setdefault(name, []).append(float(value))
    print(f"{median(runs[b]) / median(runs[a]):.3f}")


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "tree":
        tree(args[0], int(args[1]), args[2:])
    elif cmd == "dwrite":
        dwrite(args[0], int(args[1]), int(args[2]))
    elif cmd == "sample":  # sample PATH OUT INTERVAL [WATCH]
        sample(args[0], args[1], float(args[2]), args[3] if len(args) > 3 else None)
    elif cmd == "trace":  # trace PATH OUT INTERVAL BASE -- COMMAND...
        sys.exit(trace(args[0], args[1], float(args[2]), int(args[3]), args[5:] if args[4] == "--" else args[4:]))
    elif cmd == "used":
        used(args[0])
    elif cmd == "tables":
        tables(args[0])
    elif cmd == "report":
        report(args[0], int(args[1]), int(args[2]), args[3:])
    elif cmd == "zipdir":
        zip_directory(args[0])
    elif cmd == "table":
        table(args[0], args[1])
    elif cmd == "ratio":
        ratio(args[0], args[1], args[2])
    else:
        sys.exit(f"unknown command {cmd}")
