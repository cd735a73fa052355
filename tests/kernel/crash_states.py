#!/usr/bin/env python3
"""Crash states of real file systems under a real kernel (docs/reliability.md, section 8: the method, the records
and the ZARVIK_CRASH_* settings). Usage: crash_states.py ZARVIK_STATIC CACHE_DIR"""
import glob
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import write_log

HERE = os.path.dirname(os.path.abspath(__file__))
BLOCK_SIZE = "64K"
DISKS_PER_BOOT = 20  # a guest has that many PCI slots to spare: crash states, records
GUEST_MODULES = ["virtio_blk", "virtio_pci", "xfs", "btrfs", "vfat", "exfat", "nls_cp437", "nls_utf8"]
# mkfs, image MiB (xfs needs 300), and whether it orders its own writes (FAT and exFAT do not: docs/reliability.md).
FILE_SYSTEMS = {
    "ext4": (["mkfs.ext4", "-q", "-F"], 64, True),
    "xfs": (["mkfs.xfs", "-q", "-f"], 300, True),
    "btrfs": (["mkfs.btrfs", "-q", "-f"], 128, True),
    "vfat": (["mkfs.vfat"], 64, False),
    "exfat": (["mkfs.exfat"], 64, False),
}
# Creation and the squeezes on the file systems whose renames are the least ordered.
CREATE_FILE_SYSTEMS = SQUEEZE_FILE_SYSTEMS = ("vfat", "exfat")
BATCHES = {"one-block": ["--batch", "1"], "a-few-blocks": ["--batch", "192K"], "default-bound": []}
FORMATS = ("zvka", "zip", "tar", "tar.gz", "tar.zst", "tar.gz.001", "zvka.001")  # NAME.001: a set of NAME's parts
# The bounded set: why each row, in docs/reliability.md.
BOUNDED_EXTRACTIONS = [row.split() for row in """zvka ext4 small one-block, zvka xfs large a-few-blocks,
  zvka btrfs small default-bound, zvka vfat large one-block, zvka exfat small a-few-blocks,
  zip ext4 small a-few-blocks, zip ext4 large one-block, zip xfs small a-few-blocks, zip vfat small one-block,
  zip vfat large a-few-blocks, tar ext4 small a-few-blocks, tar vfat large one-block, tar.gz ext4 large one-block,
  tar.gz vfat large a-few-blocks, tar.zst ext4 large a-few-blocks, tar.zst vfat large one-block,
  tar.gz.001 ext4 large a-few-blocks, zvka.001 vfat large one-block""".split(",")]
UNIT_BYTES = 4 << 20  # zarvik takes a zip's entry, and a tar.gz's stream, in units of at most this
GZIP_MEMBER = 5 << 20  # decoded bytes of each gzip member of the tars: the large tree's in two
ZSTD_WINDOW_LOG = 17  # the tar.zst is one frame whose small window puts points inside it every UNIT_BYTES
ARCHIVE_PIECE = 4096
SET_PART_BYTES = {"small": 64 << 10, "large": 1 << 20}  # a set of each tree's archive in four or more parts


@dataclass
class Record:
    name: str
    fs: str
    kind: str  # "extract" or "create" (which makes a .zvka)
    format: str
    tree: str  # "small" (many small files) or "large" (a few large files)
    batch: str  # a key of BATCHES (extraction only)
    image: str = ""
    created_sha: str = ""
    states: list = field(default_factory=list)  # (point, seed)

    base = property(lambda self: self.image + ".base")
    log = property(lambda self: self.image + ".log")
    archive = property(lambda self: f"{self.tree}.{self.format}")
    whole = property(lambda self: self.archive.removesuffix(".001"))  # a set's archive before it was split
    operation = property(lambda self: self.kind if self.format == "zvka" else f"{self.kind} {self.format}")
    on_disk = property(lambda self: f"archive=/mnt/a.{self.format};")  # the guest's name of the archive


def die(message):
    sys.exit(f"kernel crash states: {message}")


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def sha256(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def first_line(lines, prefix):
    return next((line for line in lines if line.startswith(prefix)), None)


def fetch_kernel(cache):
    root = os.path.join(cache, "root")

    def package_names():
        depends = subprocess.run(["apt-cache", "depends", "linux-image-cloud-amd64"], capture_output=True, text=True)
        return [w for w in depends.stdout.split() if w.startswith("linux-image-") and w[12:13].isdigit()]

    if not glob.glob(os.path.join(root, "boot", "vmlinuz-*")):
        names = package_names()
        if not names:
            run(["apt-get", "update", "-qq"], stdout=subprocess.DEVNULL)
            names = package_names() or die("apt-cache names no versioned package behind linux-image-cloud-amd64")
        os.makedirs(cache, exist_ok=True)
        run(["apt-get", "download", names[0]], cwd=cache, stdout=subprocess.DEVNULL)
        run(["dpkg-deb", "-x", glob.glob(os.path.join(cache, names[0] + "_*.deb"))[0], root])
    return (glob.glob(os.path.join(root, "boot", "vmlinuz-*"))[0],
            glob.glob(os.path.join(root, "lib", "modules", "*", "kernel"))[0])


def module_order(module_dir, wanted):
    """The wanted modules and, before each, what it depends on (named in the .ko: the package has no modules.dep)."""
    paths = {os.path.basename(p)[:-3]: p for p in glob.glob(os.path.join(module_dir, "**", "*.ko"), recursive=True)}
    order = []

    def visit(name):
        if name in order:
            return
        data = Path(paths[name]).read_bytes()
        at = data.find(b"\0depends=")
        for need in filter(None, (data[at + 9:data.index(b"\0", at + 1)].decode() if at >= 0 else "").split(",")):
            visit(need)
        order.append(name)

    for name in wanted:
        visit(name)
    return [(name, paths[name]) for name in order]


def build_initramfs(work, zarvik, module_dir):
    root = os.path.join(work, "initramfs")
    for sub in ["bin", "modules", "proc", "sys", "dev", "tmp"]:
        os.makedirs(os.path.join(root, sub))
    for source, target in [(shutil.which("busybox"), "bin/busybox"), (zarvik, "bin/zarvik"),
                           (os.path.join(HERE, "init.sh"), "init")]:
        shutil.copy(source, os.path.join(root, target))
    modules = module_order(module_dir, GUEST_MODULES)
    for name, path in modules:
        shutil.copy(path, os.path.join(root, "modules", name + ".ko"))
    Path(root, "modules", "order").write_text("\n".join(name for name, _ in modules) + "\n")
    initrd = os.path.join(work, "initrd.cpio")
    run(f"find . | busybox cpio -o -H newc >'{initrd}' 2>/dev/null", shell=True, cwd=root)
    return initrd


def make_trees(work):
    """The large text is half its tree (the squeezes tell 3/5 from 2/5) and a deflated zip entry past one unit."""
    rng, files = random.Random(7), {}
    for i in range(240):
        size = rng.randint(0, 6000)
        files[f"small/d{i % 12}/e{i % 5}/f{i}.dat"] = \
            rng.randbytes(size) if i % 2 else (b"line %d of a text file\n" % i) * (size // 24)
    files["large/a.bin"], files["large/sub/b.bin"] = rng.randbytes(2500000), rng.randbytes(1900000)
    files["large/c.txt"] = text(rng, 4400000)
    for name, data in files.items():
        Path(work, "trees", name).parent.mkdir(parents=True, exist_ok=True)
        Path(work, "trees", name).write_bytes(data)
    return {tree: os.path.join(work, "trees", tree) for tree in ("small", "large")}


def text(rng, size):
    words = [b"archive", b"block", b"crash", b"disk", b"entry", b"file", b"journal", b"sector", b"tree", b"zip"]
    lines, length = [], 0
    while length < size:
        lines.append(b" ".join(rng.choice(words) for _ in range(rng.randint(3, 12))) + b" %d\n" % rng.randrange(100000))
        length += len(lines[-1])
    return b"".join(lines)[:size]


def manifest(work, tree):
    """By the guest's own function, under busybox here too."""
    bb = os.path.join(work, "busybox-bin")
    if not os.path.isdir(bb):
        os.makedirs(bb)
        run(["busybox", "--install", "-s", bb])
    return run([os.path.join(bb, "sh"), "-c", f'. "{HERE}/guest.sh"; manifest "$0"', tree], capture_output=True,
               env={"PATH": bb, "LC_ALL": "C"}).stdout


def disk_name(index):
    return "/dev/vd" + chr(ord("b") + index)


class Guest:
    def __init__(self, work, kernel, initrd):
        self.work, self.kernel, self.initrd = work, kernel, initrd
        self.boots = 0

    def boot(self, files, steps, disks, timeout):
        """The job (guest.sh, steps, files) on vda, then the disks, each an image or an (image, log) pair."""
        self.boots += 1
        job_dir = os.path.join(self.work, f"job{self.boots}")
        os.makedirs(job_dir)
        for f in files + [os.path.join(HERE, "guest.sh")]:
            shutil.copy(f, job_dir)
        Path(job_dir, "steps").write_text("\n".join(steps) + "\n")
        run(["tar", "-cf", job_dir + ".tar", "-C", job_dir, "."])
        serial = job_dir + ".serial"
        cmd = ["qemu-system-x86_64", "-nodefaults", "-display", "none", "-no-reboot", "-m", "512",
               "-kernel", self.kernel, "-initrd", self.initrd, "-serial", f"file:{serial}",
               "-append", "console=ttyS0 quiet loglevel=3 panic=-1",
               "-blockdev", f"driver=file,filename={job_dir}.tar,node-name=job,read-only=on",
               "-device", "virtio-blk-pci,drive=job"]
        for i, disk in enumerate(disks):
            image, log = disk if isinstance(disk, tuple) else (disk, None)
            cmd += ["-blockdev", f"driver=file,filename={image},node-name=d{i}"]
            if log:
                cmd += ["-blockdev", f"driver=file,filename={log},node-name=l{i}",
                        "-blockdev", f"driver=blklogwrites,file=d{i},log=l{i},node-name=w{i}"]
            cmd += ["-device", f"virtio-blk-pci,drive={'w' if log else 'd'}{i}"]
        try:
            subprocess.run(cmd, check=True, timeout=timeout, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            print(f"  boot {self.boots} timed out after {timeout} s", file=sys.stderr)
        with open(serial, errors="replace") as f:
            lines = [line.strip() for line in f]
        if "GUEST done" not in lines:
            print("  the guest did not finish; its console:\n    " + "\n    ".join(lines[-30:]), file=sys.stderr)
        return lines

    def results(self, files, steps, disks, timeout, ids):
        lines = self.boot(files, steps, disks, timeout)
        found = {id: first_line(lines, f"RESULT {id} ") for id in ids}
        return {id: (bool(line) and line.split()[2] == "ok", line or "no result (the guest stopped)")
                for id, line in found.items()}


def choose_records(fs_names, extract_fs, formats, full):
    if full:
        plan = [(form, fs, tree, batch) for form in formats for fs in extract_fs for tree in ["small", "large"]
                for batch in BATCHES]
    else:
        plan = [row for row in BOUNDED_EXTRACTIONS if row[0] in formats and row[1] in extract_fs]
    records = [Record(f"{fs}-extract-{'' if form == 'zvka' else form + '-'}{tree}-{batch}", fs,
                      "extract", form, tree, batch) for form, fs, tree, batch in plan if fs in fs_names]
    if "zvka" in formats:
        records += [Record(f"{fs}-create-small", fs, "create", "zvka", "small", "")
                    for fs in fs_names if full or fs not in extract_fs or fs in CREATE_FILE_SYSTEMS]
    return records


def pick_states(record, count, rng, archive):
    """Thirds: flush points, random points, every write up to a point (docs/reliability.md, section 8, step 2)."""
    entries, sector_size = write_log.read_log(record.log)
    flushes = [i for i, e in enumerate(entries) if e.flags & write_log.FLUSH] + [len(entries)]
    stretch_ends = [nxt - 1 for flush, nxt in zip(flushes, flushes[1:])
                    if any(write_log.is_write(e) for e in entries[flush + 1:nxt])]
    states = spread(stretch_ends, (count + 2) // 3, rng, lambda: rng.randrange(1 << 30))
    in_order = (count - len(states)) // 2
    zeroing = []
    if record.kind == "extract":
        held, zeroing = archive_zeroing(record.base, archive, record.log, entries, sector_size)
        print(f"  {record.name}: the archive found on {held} sectors; {len(zeroing)} writes zero some of them"
              + ("" if zeroing else ": in-order states at random points"))
    points = zeroing or sorted(rng.randrange(len(entries)) for _ in range(in_order))
    states += spread(points, in_order, rng, lambda: write_log.IN_ORDER)
    states += [(rng.randrange(len(entries)), rng.randrange(1 << 30)) for _ in range(count - len(states))]
    if not FILE_SYSTEMS[record.fs][2]:
        states = [(point, write_log.NOTHING_IN_FLIGHT) for point, _ in states]
    return states


def spread(points, count, rng, seed):
    count = min(count, len(points))
    step = len(points) / max(count, 1)
    offset = rng.random() * step
    return [(points[int(k * step + offset)], seed()) for k in range(count)]


def archive_zeroing(base, archive, log, entries, sector_size):
    """How many sectors held the archive's bytes (its unique, varied 4 KiB pieces), and the writes zeroing any."""
    data = Path(archive).read_bytes()
    seen = Counter(data[at:at + ARCHIVE_PIECE] for at in range(0, len(data) - ARCHIVE_PIECE + 1, ARCHIVE_PIECE))
    pieces = {piece for piece, times in seen.items() if times == 1 and piece.count(piece[:1]) != ARCHIVE_PIECE}
    starts = {piece[:16] for piece in pieces}
    image = Path(base).read_bytes()
    sector = lambda data, s: data[s * sector_size:(s + 1) * sector_size]
    held = set()
    for at in range(0, len(image) - ARCHIVE_PIECE + 1, sector_size):
        if image[at:at + 16] in starts and image[at:at + ARCHIVE_PIECE] in pieces:
            held.update(s for s in range(at // sector_size, (at + ARCHIVE_PIECE) // sector_size)
                        if sector(image, s).strip(b"\0"))
    zeroing = []
    with open(log, "rb") as f:
        for i, e in enumerate(entries):
            hit = held.intersection(range(e.sector, e.sector + e.sectors)) if write_log.is_write(e) else ()
            if hit:
                f.seek(e.data_at)
                written = f.read(e.sectors * sector_size)
                if any(not sector(written, s - e.sector).strip(b"\0") for s in hit):
                    zeroing.append(i)
    return len(held), zeroing


def make_archives(work, zarvik, tree, path):
    archive = os.path.join(work, tree)
    run([zarvik, "create", "-q", "--block-size", BLOCK_SIZE, path, archive + ".zvka"], stdout=subprocess.DEVNULL)
    run(["zip", "-q", "-r", "-6", "-n", ".bin", archive + ".zip", "."], cwd=path)
    run(["tar", "--format=posix", "-cf", archive + ".tar", "."], cwd=path)
    with open(archive + ".tar", "rb") as tar, open(archive + ".tar.gz", "wb") as out:
        run(["split", "-b", str(GZIP_MEMBER), "--filter=gzip -6 -c"], stdin=tar, stdout=out)
    run(["zstd", "-q", "-f", f"--zstd=wlog={ZSTD_WINDOW_LOG}", archive + ".tar", "-o", archive + ".tar.zst"])
    Path(archive + ".manifest").write_bytes(manifest(work, path))
    made = [archive + suffix for suffix in [".zvka", ".zip", ".tar", ".tar.gz", ".tar.zst", ".manifest"]]
    return made + [part for form in FORMATS if form.endswith(".001") for part in split(archive + "." + form[:-4], tree)]


def split(archive, tree):
    """A volume set's parts, as a user makes them."""
    run(["split", "-b", str(SET_PART_BYTES[tree]), "--numeric-suffixes=1", "-a", "3", archive, archive + "."])
    parts = sorted(glob.glob(glob.escape(archive) + ".[0-9][0-9][0-9]"))
    if len(parts) < 4:
        die(f"{archive}: split in {len(parts)} parts: want four or more")
    return parts


def check_large_archives(work):
    entries = zipfile.ZipFile(os.path.join(work, "large.zip")).infolist()
    if not any(e.compress_type == zipfile.ZIP_STORED and e.file_size > 0 for e in entries) or \
            not any(e.compress_type == zipfile.ZIP_DEFLATED and e.file_size > UNIT_BYTES for e in entries):
        die(f"large.zip: zip made no stored entry, or no deflated one over {UNIT_BYTES} bytes")
    data = Path(work, "large.tar.gz").read_bytes()
    members, decoded = 0, 0
    while data:
        member = zlib.decompressobj(31)
        decoded += len(member.decompress(data))
        data, members = member.unused_data, members + 1
    if members < 2 or decoded <= 2 * UNIT_BYTES:
        die(f"large.tar.gz: {members} gzip members decoding to {decoded} bytes: want two or more, over {2 * UNIT_BYTES}")


def in_boots(items):
    return [items[start:start + DISKS_PER_BOOT] for start in range(0, len(items), DISKS_PER_BOOT)]


def make_image(path, fs, size):
    with open(path, "wb") as f:
        f.truncate(size)
    run(FILE_SYSTEMS[fs][0] + [path], stdout=subprocess.DEVNULL)


def prepare(work, guest, zarvik, records):
    files = [f for tree, path in make_trees(work).items() for f in make_archives(work, zarvik, tree, path)]
    check_large_archives(work)
    earlier = os.path.join(work, "earlier")
    Path(earlier).write_bytes(random.Random(3).randbytes(300000))
    files.append(earlier)
    for r in records:
        r.image = os.path.join(work, r.name + ".img")
        make_image(r.image, r.fs, FILE_SYSTEMS[r.fs][1] << 20)
    for group in in_boots(records):
        steps = [f"{r.on_disk} prepare_{r.kind} {disk_name(i)} {r.fs} /job/{r.archive}"
                 + ("" if r.kind == "extract" else " /job/earlier") for i, r in enumerate(group)]
        lines = guest.boot(files, steps, [r.image for r in group], timeout=600)
        if first_line(lines, "GUEST prepare failed") or "GUEST done" not in lines:
            die("preparing the images failed: " + "; ".join(l for l in lines if l.startswith("GUEST")))
    for group in in_boots(records):
        record_runs(guest, files, group)
    return files, sha256(earlier)


def record_runs(guest, files, records):
    """Each record's uninterrupted run, whose whole log must replay to the final image."""
    for r in records:
        write_log.copy_image(r.image, r.base)
        open(r.log, "wb").close()
    steps = [f"{r.on_disk} record {disk_name(i)} {r.fs} "
             + (f"extract -q {' '.join(BATCHES[r.batch])} $archive /mnt/out" if r.kind == "extract"
                else f"create -q --block-size {BLOCK_SIZE} /mnt/src $archive") for i, r in enumerate(records)]
    lines = guest.boot(files, steps, [(r.image, r.log) for r in records], timeout=1200)
    for i, r in enumerate(records):
        recorded = first_line(lines, f"RECORDED {disk_name(i)} ")
        if not recorded or recorded.split()[2] != "0":
            die(f"{r.name}: the uninterrupted run failed: {recorded or 'no report'}")
        created = first_line(lines, f"CREATED {disk_name(i)} ")
        r.created_sha = created.split()[2] if created else ""
        replayed = r.image + ".replayed"
        write_log.build_states(r.base, r.log, [(write_log.END, write_log.IN_ORDER)], lambda _: replayed)
        if subprocess.run(["cmp", "-s", replayed, r.image]).returncode != 0:
            die(f"{r.name}: replaying the whole log does not give the final image")
        os.remove(replayed)


def check_record(guest, r, files, earlier_sha):
    """The failures as (state, line)."""
    failures = []
    state_path = lambda i: f"{r.image}.state-{i}"
    for chunk in in_boots(list(range(len(r.states)))):
        write_log.build_states(r.base, r.log, [r.states[i] for i in chunk], lambda k: state_path(chunk[k]))
        steps = [f"{r.on_disk} check_extract {i} {disk_name(k)} {r.fs} /job/{r.tree}.manifest" if r.kind == "extract"
                 else f"{r.on_disk} check_create {i} {disk_name(k)} {r.fs} {earlier_sha} {r.created_sha}"
                 for k, i in enumerate(chunk)]
        results = guest.results(files, steps, [state_path(i) for i in chunk], 120 + 60 * len(chunk), chunk)
        for i, (ok, line) in results.items():
            if ok:
                os.remove(state_path(i))
            else:
                failures.append((i, line))
    return failures


def squeeze(work, guest, zarvik, files, file_systems):
    """One boot: room for 3/5 of the large tree (must finish), for 2/5 (refused); on FAT its 4 GiB limit."""
    archive = os.path.join(work, "large.zvka")
    tree_kib = sum(os.path.getsize(os.path.join(d, f)) for d, _, names in os.walk(os.path.join(work, "trees", "large"))
                   for f in names) // 1024 + 1
    cases = {"extract on a disk too small for both": (3, f"check_squeeze {{id}} {{disk}} {{fs}} /job/large.manifest {tree_kib}"),
             "refused where even that cannot fit": (2, f"check_refused {{id}} {{disk}} {{fs}} {sha256(archive)}")}
    images, steps, ids = [], [], {}
    for fs in file_systems:
        for case, (fifths, check) in cases.items():
            image, disk = os.path.join(work, f"{fs}-squeeze-{fifths}.img"), disk_name(len(images))
            make_image(image, fs, os.path.getsize(archive) + (tree_kib << 10) + (8 << 20))
            images.append(image)
            ids[(fs, case)] = f"squeeze-{fs}-{fifths}"
            steps += [f"prepare_squeeze {disk} {fs} /job/large.zvka {tree_kib * fifths // 5}",
                      check.format(id=ids[(fs, case)], disk=disk, fs=fs)]
    if "vfat" in file_systems:
        ids[("vfat", "refused past FAT32's 4 GiB")] = "fat-limit"
        steps.append(f"check_fat_limit fat-limit {disk_name(file_systems.index('vfat') * len(cases))} /job/huge.zvka")
        files = files + [huge_archive(work, zarvik)]
    results = guest.results(files, steps, images, 600, ids.values())
    return {key: results[id] for key, id in ids.items()}


def huge_archive(work, zarvik):
    """One 4.5 GiB file of zeros (72 MB: zeros code 65 to 1)."""
    source, archive = os.path.join(work, "trees", "huge"), os.path.join(work, "huge.zvka")
    os.makedirs(source)
    with open(os.path.join(source, "h.bin"), "wb") as f:
        f.truncate(4500 << 20)
    run([zarvik, "create", "-q", "--block-size", "64M", source, archive], stdout=subprocess.DEVNULL)
    shutil.rmtree(source)
    return archive


def run_all(work, zarvik, kernel, module_dir, fs_names, extract_fs, formats, full, total_states, rng):
    guest = Guest(work, kernel, build_initramfs(work, zarvik, module_dir))
    records = choose_records(fs_names, extract_fs, formats, full)
    started = time.monotonic()
    files, earlier_sha = prepare(work, guest, zarvik, records)
    print(f"kernel crash states: {len(records)} logged runs in {time.monotonic() - started:.0f} s")
    # An extraction's log is many times a creation's: it gets twice the states.
    weights = [2 if r.kind == "extract" else 1 for r in records]
    for r, weight in zip(records, weights):
        r.states = pick_states(r, max(1, total_states * weight // sum(weights)), rng, os.path.join(work, r.whole))

    table = {}  # (fs, operation): [states, recovered, seconds]
    started = time.monotonic()
    squeezed = [fs for fs in SQUEEZE_FILE_SYSTEMS if fs in fs_names and fs in extract_fs and "zvka" in formats]
    squeezes = squeeze(work, guest, zarvik, files, squeezed) if squeezed else {}
    for key, (ok, line) in squeezes.items():
        table[key] = [1, int(ok), (time.monotonic() - started) / len(squeezes)]
        if not ok:
            print(f"FAIL {key[0]}: {line}")
    for r in records:
        started = time.monotonic()
        failures = check_record(guest, r, files, earlier_sha)
        row = table.setdefault((r.fs, r.operation), [0, 0, 0.0])
        for k, add in enumerate((len(r.states), len(r.states) - len(failures), time.monotonic() - started)):
            row[k] += add
        entries, sector_size = write_log.read_log(r.log)
        for i, line in failures:
            point, state_seed = r.states[i]
            print(f"FAIL {r.name}: crash state at log entry {point} (log offset "
                  f"{entries[point].data_at - sector_size}), seed {state_seed}: {line}\n"
                  f"  rebuild: tests/kernel/write_log.py {r.base} {r.log} OUT {point} {state_seed}")
    print("| file system | operation | crash states | recovered | time |\n| --- | --- | --- | --- | --- |")
    for (fs, kind), (tried, recovered, seconds) in table.items():
        print(f"| {fs} | {kind} | {tried} | {recovered} | {seconds:.0f} s |")
    tried, recovered = (sum(row[k] for row in table.values()) for k in (0, 1))
    print(f"kernel_crash_states: {recovered} passed, {tried - recovered} failed")
    return recovered == tried


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: crash_states.py ZARVIK_STATIC CACHE_DIR")
    zarvik, cache = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    env = lambda name, default: os.environ.get("ZARVIK_CRASH_" + name, default)
    seed = int(env("SEED", str(random.randrange(1 << 30))))
    formats = env("FORMAT", " ".join(FORMATS)).split()
    if not formats or not set(formats) <= set(FORMATS):
        die(f"ZARVIK_CRASH_FORMAT names {formats}: give any of {', '.join(FORMATS)}")
    print(f"kernel crash states: seed {seed} (ZARVIK_CRASH_SEED={seed} chooses alike; each run logs anew)")
    kernel, module_dir = fetch_kernel(cache)
    work = tempfile.mkdtemp(prefix="zarvik-kernel.", dir=os.environ.get("TMPDIR", "/var/tmp"))
    ok = False
    try:
        ok = run_all(work, zarvik, kernel, module_dir, env("FS", " ".join(FILE_SYSTEMS)).split(),
                     env("EXTRACT_FS", " ".join(FILE_SYSTEMS)).split(), formats, env("FULL", "") == "1",
                     int(env("STATES", "120")), random.Random(seed))
    finally:
        if env("KEEP", "") == "1" or not ok:
            print(f"kernel crash states: work folder kept: {work}")
        else:
            shutil.rmtree(work)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
