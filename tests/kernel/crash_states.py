#!/usr/bin/env python3
"""Crash states of real file systems under a real kernel.

For each record (a file system, a tree, a group bound, extraction of a .zvka,
a zip, a tar or a tar.gz, or creation): a disk image is prepared with the
archive on it, one guest boot runs the operation uninterrupted with the disk
under QEMU's blklogwrites driver, and write_log.py turns the log into crash
states.
Guest boots then mount each crash state (the file system's own recovery
runs), recover it the way a user would, and compare the result with the
source.

Everything comes from Debian's packages at test time: qemu-system-x86 (plain
emulation), the cloud kernel and its modules (downloaded and unpacked, never
installed), busybox-static, Info-ZIP's zip, GNU tar and gzip (they make the
zips, tars and tar.gz: other programs', as users bring them) and the static
zarvik of the native build.

  crash_states.py ZARVIK_STATIC CACHE_DIR

ZARVIK_CRASH_STATES (crash states in all, default 120) and ZARVIK_CRASH_FULL=1
(every file system with every tree, group bound and archive format) make
longer runs; ZARVIK_CRASH_FORMAT picks the archives extracted ("zvka zip tar
tar.gz" by default; without zvka, creation and the squeezes, which take .zvka,
are left out);
ZARVIK_CRASH_SEED picks the states; ZARVIK_CRASH_FS limits the file systems
(e.g. "ext4 xfs"); ZARVIK_CRASH_EXTRACT_FS names those where extraction is
proven (default all five; the others prove creation only); ZARVIK_CRASH_KEEP=1
keeps the work folder.
"""
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
from dataclasses import dataclass, field

import write_log

HERE = os.path.dirname(os.path.abspath(__file__))
BLOCK_SIZE = "64K"
STATES_PER_BOOT = 20
DISKS_PER_BOOT = 20
GUEST_MODULES = ["virtio_blk", "virtio_pci", "xfs", "btrfs", "vfat", "exfat", "nls_cp437", "nls_utf8"]
# mkfs command and image size (MiB) of each file system (xfs is refused below
# 300 MiB), and whether it orders its own writes (a journal or copy-on-write).
# FAT and exFAT issue a rename's directory entry and its allocation table
# updates as one unordered batch, so a subset of that batch breaks a name
# whatever a program does: there the crash states are what the flushes made
# durable, with nothing in flight.
FILE_SYSTEMS = {
    "ext4": (["mkfs.ext4", "-q", "-F"], 64, True),
    "xfs": (["mkfs.xfs", "-q", "-f"], 300, True),
    "btrfs": (["mkfs.btrfs", "-q", "-f"], 128, True),
    "vfat": (["mkfs.vfat"], 64, False),
    "exfat": (["mkfs.exfat"], 64, False),
}
# Where extraction is proven; on FAT and exFAT, which keep no holes, it
# releases by cutting the archive from its end. Creation is proven on FAT and
# exFAT too, since their renames are the least ordered.
EXTRACT_FILE_SYSTEMS = "ext4 xfs btrfs vfat exfat"
CREATE_FILE_SYSTEMS = ("vfat", "exfat")
BATCHES = {"one block": ["--batch", "1"], "a few blocks": ["--batch", "192K"], "default bound": []}
FORMATS = ("zvka", "zip", "tar", "tar.gz")


@dataclass
class Record:
    name: str
    fs: str
    kind: str  # "extract" or "create"
    format: str  # the archive's: "zvka", "zip", "tar" or "tar.gz" (creation makes a .zvka)
    tree: str  # "small" (many small files) or "large" (a few large files)
    batch: str  # a key of BATCHES (extraction only)
    image: str = ""
    base: str = ""
    log: str = ""
    created_sha: str = ""
    states: list = field(default_factory=list)  # (point, seed)

    @property
    def archive(self):
        """The archive's name in the job: small.zvka, large.tar.gz."""
        return f"{self.tree}.{self.format}"

    @property
    def operation(self):
        return self.kind if self.format == "zvka" else f"{self.kind} {self.format}"


def die(message):
    print(f"kernel crash states: {message}", file=sys.stderr)
    sys.exit(1)


def run(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def require_machine():
    if os.geteuid() != 0:
        die("needs root (it installs Debian packages and downloads the kernel package); run it as root")
    for tool in ["qemu-system-x86_64", "busybox", "zip", "tar", "gzip", "split", "dpkg-deb", "apt-get"] + [c[0][0] for c in FILE_SYSTEMS.values()]:
        if not shutil.which(tool):
            die(f"{tool} not found: install the packages of KERNEL_PACKAGES in scripts/ensure-packages.sh")


def kernel_package_names():
    """The versioned package behind linux-image-cloud-amd64."""
    depends = subprocess.run(["apt-cache", "depends", "linux-image-cloud-amd64"], capture_output=True, text=True).stdout
    return [w for w in depends.split() if w.startswith("linux-image-") and w[12:13].isdigit()]


def fetch_kernel(cache):
    """The cloud kernel and its modules, unpacked from the package into the cache."""
    root = os.path.join(cache, "root")
    found = glob.glob(os.path.join(root, "boot", "vmlinuz-*"))
    if not found:
        names = kernel_package_names()
        if not names:
            run(["apt-get", "update", "-qq"], stdout=subprocess.DEVNULL)
            names = kernel_package_names()
        if not names:
            die("apt-cache names no versioned package behind linux-image-cloud-amd64")
        os.makedirs(cache, exist_ok=True)
        run(["apt-get", "download", names[0]], cwd=cache, stdout=subprocess.DEVNULL)
        deb = glob.glob(os.path.join(cache, names[0] + "_*.deb"))[0]
        run(["dpkg-deb", "-x", deb, root])
        found = glob.glob(os.path.join(root, "boot", "vmlinuz-*"))
    return found[0], glob.glob(os.path.join(root, "lib", "modules", "*", "kernel"))[0]


def module_order(module_dir, wanted):
    """The wanted modules and their dependencies, each after what it needs
    (the package has no modules.dep: the .ko files name their dependencies)."""
    paths = {os.path.basename(p)[:-3]: p for p in glob.glob(os.path.join(module_dir, "**", "*.ko"), recursive=True)}
    order = []

    def visit(name):
        if name in order:
            return
        with open(paths[name], "rb") as ko:
            data = ko.read()
        at = data.find(b"\0depends=")
        needs = data[at + 9:data.index(b"\0", at + 1)].decode() if at >= 0 else ""
        for need in filter(None, needs.split(",")):
            visit(need)
        order.append(name)

    for name in wanted:
        visit(name)
    return [(name, paths[name]) for name in order]


def build_initramfs(work, zarvik, module_dir):
    root = os.path.join(work, "initramfs")
    for sub in ["bin", "modules", "proc", "sys", "dev", "tmp"]:
        os.makedirs(os.path.join(root, sub), exist_ok=True)
    shutil.copy(shutil.which("busybox"), os.path.join(root, "bin", "busybox"))
    shutil.copy(zarvik, os.path.join(root, "bin", "zarvik"))
    shutil.copy(os.path.join(HERE, "init.sh"), os.path.join(root, "init"))
    modules = module_order(module_dir, GUEST_MODULES)
    for name, path in modules:
        shutil.copy(path, os.path.join(root, "modules", name + ".ko"))
    with open(os.path.join(root, "modules", "order"), "w") as f:
        f.write("\n".join(name for name, _ in modules) + "\n")
    initrd = os.path.join(work, "initrd.cpio")
    files = run(["find", "."], cwd=root, capture_output=True).stdout
    with open(initrd, "wb") as out:
        run(["busybox", "cpio", "-o", "-H", "newc"], cwd=root, input=files, stdout=out, stderr=subprocess.DEVNULL)
    return initrd


def make_trees(work):
    """Two source trees: many small files, and a few large ones. Half the
    small files and two of the large are random bytes, stored in a zip; the
    large text (half the tree, so that the squeezes tell a disk with room for
    3/5 of it from one with room for 2/5) is deflated there, past one piece."""
    rng = random.Random(7)
    small = os.path.join(work, "trees", "small")
    for i in range(240):
        folder = os.path.join(small, f"d{i % 12}", f"e{i % 5}")
        os.makedirs(folder, exist_ok=True)
        size = rng.randint(0, 6000)
        data = rng.randbytes(size) if i % 2 else (b"line %d of a text file\n" % i) * (size // 24)
        with open(os.path.join(folder, f"f{i}.dat"), "wb") as f:
            f.write(data)
    large = os.path.join(work, "trees", "large")
    os.makedirs(os.path.join(large, "sub"), exist_ok=True)
    for name, size in [("a.bin", 2500000), ("sub/b.bin", 1900000)]:
        with open(os.path.join(large, name), "wb") as f:
            f.write(rng.randbytes(size))
    with open(os.path.join(large, "c.txt"), "wb") as f:
        f.write(text(rng, 4400000))
    return {"small": small, "large": large}


def text(rng, size):
    """Lines of words drawn at random: compresses, but into many deflate blocks."""
    words = [b"archive", b"block", b"crash", b"disk", b"entry", b"file", b"journal", b"sector", b"tree", b"zip"]
    lines, length = [], 0
    while length < size:
        line = b" ".join(rng.choice(words) for _ in range(rng.randint(3, 12))) + b" %d\n" % rng.randrange(100000)
        lines.append(line)
        length += len(line)
    return b"".join(lines)[:size]


def manifest(work, tree):
    """The tree's manifest by the guest's own function, under busybox here too."""
    bb = os.path.join(work, "busybox-bin")
    if not os.path.isdir(bb):
        os.makedirs(bb)
        run(["busybox", "--install", "-s", bb])
    script = f'. "{HERE}/guest.sh"; manifest "$0"'
    return run([os.path.join(bb, "sh"), "-c", script, tree], capture_output=True,
               env={"PATH": bb, "LC_ALL": "C"}).stdout


def disk_name(index):
    """The guest's name of the virtio disk at this position (vda is the job)."""
    letters = ""
    index += 2
    while index > 0:
        index, rest = divmod(index - 1, 26)
        letters = chr(ord("a") + rest) + letters
    return "/dev/vd" + letters


class Guest:
    def __init__(self, work, kernel, initrd):
        self.work, self.kernel, self.initrd = work, kernel, initrd
        self.boots = 0

    def boot(self, files, steps, disks, timeout):
        """Boots once: the job tar (guest.sh, steps, files) on vda, then the
        disks, each a plain image or an (image, log) pair under blklogwrites.
        Returns the lines the guest printed."""
        self.boots += 1
        job_dir = os.path.join(self.work, f"job{self.boots}")
        os.makedirs(job_dir)
        shutil.copy(os.path.join(HERE, "guest.sh"), job_dir)
        with open(os.path.join(job_dir, "steps"), "w") as f:
            f.write("\n".join(steps) + "\n")
        for f in files:
            shutil.copy(f, job_dir)
        job_tar = job_dir + ".tar"
        run(["tar", "-cf", job_tar, "-C", job_dir, "."])
        serial = job_dir + ".serial"
        cmd = ["qemu-system-x86_64", "-nodefaults", "-display", "none", "-no-reboot", "-m", "512",
               "-kernel", self.kernel, "-initrd", self.initrd, "-serial", f"file:{serial}",
               "-append", "console=ttyS0 quiet loglevel=3 panic=-1",
               "-blockdev", f"driver=file,filename={job_tar},node-name=job,read-only=on",
               "-device", "virtio-blk-pci,drive=job"]
        for i, disk in enumerate(disks):
            if isinstance(disk, tuple):
                image, log = disk
                cmd += ["-blockdev", f"driver=file,filename={image},node-name=d{i}",
                        "-blockdev", f"driver=file,filename={log},node-name=l{i}",
                        "-blockdev", f"driver=blklogwrites,file=d{i},log=l{i},node-name=w{i}",
                        "-device", f"virtio-blk-pci,drive=w{i}"]
            else:
                cmd += ["-blockdev", f"driver=file,filename={disk},node-name=d{i}",
                        "-device", f"virtio-blk-pci,drive=d{i}"]
        try:
            subprocess.run(cmd, check=True, timeout=timeout, stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            print(f"  boot {self.boots} timed out after {timeout} s", file=sys.stderr)
        with open(serial, errors="replace") as f:
            lines = [line.strip() for line in f]
        if "GUEST done" not in lines:
            print("  the guest did not finish; its console:\n    " + "\n    ".join(lines[-30:]), file=sys.stderr)
        return lines


# The bounded set: each file system once, each tree and each group bound at least once.
# Zips: a file system that releases by holes and one that releases by cuts,
# each with both trees; tars likewise, once each; the large tree's tar.gz on
# both, since it alone decodes to several units.
BOUNDED_EXTRACTIONS = [("zvka", "ext4", "small", "one block"), ("zvka", "xfs", "large", "a few blocks"),
                       ("zvka", "btrfs", "small", "default bound"), ("zvka", "vfat", "large", "one block"),
                       ("zvka", "exfat", "small", "a few blocks"),
                       ("zip", "ext4", "small", "a few blocks"), ("zip", "ext4", "large", "one block"),
                       ("zip", "xfs", "small", "a few blocks"),
                       ("zip", "vfat", "small", "one block"), ("zip", "vfat", "large", "a few blocks"),
                       ("tar", "ext4", "small", "a few blocks"), ("tar", "vfat", "large", "one block"),
                       ("tar.gz", "ext4", "large", "one block"), ("tar.gz", "vfat", "large", "a few blocks")]


def choose_records(fs_names, extract_fs, formats, full):
    """The bounded set, or every file system with every tree, group bound and
    format. Creation makes a .zvka: it comes with that format."""
    if full:
        plan = [(form, fs, tree, batch) for form in formats for fs in extract_fs for tree in ["small", "large"]
                for batch in BATCHES]
    else:
        plan = [row for row in BOUNDED_EXTRACTIONS if row[0] in formats and row[1] in extract_fs]
    records = [Record(f"{fs}-extract-{'' if form == 'zvka' else form + '-'}{tree}-{batch.replace(' ', '-')}", fs,
                      "extract", form, tree, batch) for form, fs, tree, batch in plan if fs in fs_names]
    if "zvka" in formats:
        records += [Record(f"{fs}-create-small", fs, "create", "zvka", "small", "")
                    for fs in fs_names if full or fs not in extract_fs or fs in CREATE_FILE_SYSTEMS]
    return records


def pick_states(record, count, rng, archive):
    """A third of the crash states at flush points whose next stretch issues
    writes (all before the flush and a random subset of that stretch), a third
    at random points with a random subset of what was issued since the last
    flush, and a third with everything issued up to a point, as a disk that
    keeps order would leave it: a write the program should have flushed
    before the next one shows there at any point between the two. Those
    points are the writes that zero the archive's bytes where an extraction
    has them, since a release the journal has not recorded yet shows there;
    random points elsewhere."""
    entries, sector_size = write_log.read_log(record.log)
    flushes = write_log.flush_points(entries) + [len(entries)]
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
    """Up to `count` of the points, evenly spaced from a random start, each with a seed."""
    count = min(count, len(points))
    step = len(points) / max(count, 1)
    offset = rng.random() * step
    return [(points[int(k * step + offset)], seed()) for k in range(count)]


ARCHIVE_PIECE = 4096


def archive_zeroing(base, archive, log, entries, sector_size):
    """How many sectors held the archive's bytes before the run, and the
    writes that zero any of them: releases, where the file system writes them
    (a whole range, or the partial blocks at its ends, where the rest of the
    block still holds the archive). The archive is found in the image by
    content, whatever its format: its 4 KiB pieces that occur once in it and
    are not all one byte, less their sectors of zeros."""
    with open(archive, "rb") as f:
        data = f.read()
    seen = {}
    for at in range(0, len(data) - ARCHIVE_PIECE + 1, ARCHIVE_PIECE):
        piece = data[at:at + ARCHIVE_PIECE]
        if piece.count(piece[:1]) != ARCHIVE_PIECE:
            seen[piece] = seen.get(piece, 0) + 1
    pieces = {piece for piece, times in seen.items() if times == 1}
    starts = {piece[:16] for piece in pieces}
    with open(base, "rb") as f:
        image = f.read()
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


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: crash_states.py ZARVIK_STATIC CACHE_DIR")
    require_machine()
    zarvik, cache = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    total_states = int(os.environ.get("ZARVIK_CRASH_STATES", "120"))
    full = os.environ.get("ZARVIK_CRASH_FULL") == "1"
    seed = int(os.environ.get("ZARVIK_CRASH_SEED", str(random.randrange(1 << 30))))
    fs_names = os.environ.get("ZARVIK_CRASH_FS", " ".join(FILE_SYSTEMS)).split()
    extract_fs = os.environ.get("ZARVIK_CRASH_EXTRACT_FS", EXTRACT_FILE_SYSTEMS).split()
    formats = os.environ.get("ZARVIK_CRASH_FORMAT", " ".join(FORMATS)).split()
    if not formats or not set(formats) <= set(FORMATS):
        die(f"ZARVIK_CRASH_FORMAT names {formats}: give any of {', '.join(FORMATS)}")
    keep = os.environ.get("ZARVIK_CRASH_KEEP") == "1"
    print(f"kernel crash states: seed {seed} (ZARVIK_CRASH_SEED={seed} chooses alike; each run logs anew)")
    rng = random.Random(seed)

    kernel, module_dir = fetch_kernel(cache)
    work = tempfile.mkdtemp(prefix="zarvik-kernel.", dir=os.environ.get("TMPDIR", "/var/tmp"))
    ok = False
    try:
        ok = run_all(work, zarvik, kernel, module_dir, fs_names, extract_fs, formats, full, total_states, rng)
    finally:
        if keep or not ok:
            print(f"kernel crash states: work folder kept: {work}")
        else:
            shutil.rmtree(work)
    sys.exit(0 if ok else 1)


def prepare(work, guest, zarvik, records):
    """Trees, archives, images with the archive in place, then one logged run of each."""
    trees = make_trees(work)
    files = []
    for tree, path in trees.items():
        archive = os.path.join(work, f"{tree}.zvka")
        run([zarvik, "create", "-q", "--block-size", BLOCK_SIZE, path, archive], stdout=subprocess.DEVNULL)
        files.append(archive)
        archive = os.path.join(work, f"{tree}.zip")
        # zip stores small random files by itself, large ones when told.
        run(["zip", "-q", "-r", "-6", "-n", ".bin", archive, "."], cwd=path)
        files.append(archive)
        archive = os.path.join(work, f"{tree}.tar")
        run(["tar", "--format=posix", "-cf", archive, "."], cwd=path)
        files.append(archive)
        # Cut anywhere, members' data too, as split tools cut it.
        with open(archive, "rb") as tar, open(archive + ".gz", "wb") as out:
            run(["split", "-b", str(GZIP_MEMBER), "--filter=gzip -6 -c"], stdin=tar, stdout=out)
        files.append(archive + ".gz")
        with open(os.path.join(work, f"{tree}.manifest"), "wb") as f:
            f.write(manifest(work, path))
        files.append(os.path.join(work, f"{tree}.manifest"))
    check_large_zip(os.path.join(work, "large.zip"))
    check_large_targz(os.path.join(work, "large.tar.gz"))
    earlier = os.path.join(work, "earlier")
    with open(earlier, "wb") as f:
        f.write(random.Random(3).randbytes(300000))
    files.append(earlier)
    for r in records:
        mkfs, size, _ = FILE_SYSTEMS[r.fs]
        r.image = os.path.join(work, r.name + ".img")
        with open(r.image, "wb") as f:
            f.truncate(size << 20)
        run(mkfs + [r.image], stdout=subprocess.DEVNULL)
    for group in in_boots(records):
        steps = [f"{on_disk(r)} prepare_extract {disk_name(i)} {r.fs} /job/{r.archive}" if r.kind == "extract" else
                 f"{on_disk(r)} prepare_create {disk_name(i)} {r.fs} /job/{r.archive} /job/earlier"
                 for i, r in enumerate(group)]
        lines = guest.boot(files, steps, [r.image for r in group], timeout=600)
        if any(line.startswith("GUEST prepare failed") for line in lines) or "GUEST done" not in lines:
            die("preparing the images failed: " + "; ".join(l for l in lines if l.startswith("GUEST")))
    for group in in_boots(records):
        record_runs(guest, files, group)
    return files, hashlib.sha256(open(earlier, "rb").read()).hexdigest()


# zarvik takes a zip's entry, and a tar.gz's decoded stream, in units of at most
# this, each a point to resume from.
UNIT_BYTES = 4 << 20
# The tars are gzipped in members of this many decoded bytes: the large tree's in two.
GZIP_MEMBER = 5 << 20


def check_large_zip(path):
    """The large tree's zip has a stored entry, and a deflated one of more than one piece."""
    entries = zipfile.ZipFile(path).infolist()
    if not any(e.compress_type == zipfile.ZIP_STORED and e.file_size > 0 for e in entries) or \
            not any(e.compress_type == zipfile.ZIP_DEFLATED and e.file_size > UNIT_BYTES for e in entries):
        die(f"{path}: zip made no stored entry, or no deflated one over {UNIT_BYTES} bytes")


def check_large_targz(path):
    """The large tree's tar.gz has more than one gzip member, and decodes to more than two units."""
    with open(path, "rb") as f:
        data = f.read()
    members, decoded = 0, 0
    while data:
        member = zlib.decompressobj(31)
        decoded += len(member.decompress(data))
        data, members = member.unused_data, members + 1
    if members < 2 or decoded <= 2 * UNIT_BYTES:
        die(f"{path}: {members} gzip members decoding to {decoded} bytes: want two or more, over {2 * UNIT_BYTES}")


def on_disk(r):
    """The steps' prefix that names the archive on the record's disk for the guest's functions."""
    return f"archive=/mnt/a.{r.format};"


def in_boots(records):
    """The records in groups of at most DISKS_PER_BOOT, one disk each: a guest has that many PCI slots to spare."""
    return [records[start:start + DISKS_PER_BOOT] for start in range(0, len(records), DISKS_PER_BOOT)]


def record_runs(guest, files, records):
    """One boot: the uninterrupted run of each record, its disk under blklogwrites."""
    steps = []
    for i, r in enumerate(records):
        r.base, r.log = r.image + ".base", r.image + ".log"
        write_log.copy_image(r.image, r.base)
        open(r.log, "wb").close()
        if r.kind == "extract":
            steps.append(f"{on_disk(r)} record_extract {disk_name(i)} {r.fs} {' '.join(BATCHES[r.batch])}")
        else:
            steps.append(f"{on_disk(r)} record_create {disk_name(i)} {r.fs} {BLOCK_SIZE}")
    lines = guest.boot(files, steps, [(r.image, r.log) for r in records], timeout=1200)
    for i, r in enumerate(records):
        recorded = [l for l in lines if l.startswith(f"RECORDED {disk_name(i)} ")]
        if not recorded or recorded[0].split()[2] != "0":
            die(f"{r.name}: the uninterrupted run failed: {recorded[:1] or 'no report'}")
        created = [l.split()[2] for l in lines if l.startswith(f"CREATED {disk_name(i)} ")]
        r.created_sha = created[0] if created else ""
        # The log must say exactly what the disk got: replaying all of it gives the final image.
        replayed = r.image + ".replayed"
        write_log.replay_all(r.base, r.log, replayed)
        if subprocess.run(["cmp", "-s", replayed, r.image]).returncode != 0:
            die(f"{r.name}: replaying the whole log does not give the final image")
        os.remove(replayed)


def check_record(work, guest, r, files, earlier_sha):
    """Boots on the record's crash states, STATES_PER_BOOT at a time. Returns
    the failures as (state, line)."""
    failures = []
    for start in range(0, len(r.states), STATES_PER_BOOT):
        chunk = list(range(start, min(start + STATES_PER_BOOT, len(r.states))))
        state_path = lambda i: f"{r.image}.state-{i}"
        durable = write_log.build_states(r.base, r.log, [r.states[i] for i in chunk],
                                         lambda k: state_path("durable" if k == "durable" else chunk[k]))
        os.remove(durable)
        steps = []
        for k, i in enumerate(chunk):
            if r.kind == "extract":
                steps.append(f"{on_disk(r)} check_extract {i} {disk_name(k)} {r.fs} /job/{r.tree}.manifest")
            else:
                steps.append(f"{on_disk(r)} check_create {i} {disk_name(k)} {r.fs} {earlier_sha} {r.created_sha}")
        lines = guest.boot(files, steps, [state_path(i) for i in chunk], timeout=120 + 60 * len(chunk))
        for i in chunk:
            found = [l for l in lines if l.startswith(f"RESULT {i} ")]
            if not found or found[0].split()[2] != "ok":
                failures.append((i, found[0] if found else "no result (the guest stopped)"))
            else:
                os.remove(state_path(i))
    return failures


# Where extraction by cuts alone is proven on a disk too small for the archive and its tree side by side.
SQUEEZE_FILE_SYSTEMS = ("vfat", "exfat")


def squeeze(work, guest, zarvik, files, file_systems):
    """One boot: the large tree's archive on disks left with room for 3/5 and
    for 2/5 of its tree, extracted the way a user would: the first must
    finish, the second be refused before anything is written (where new files
    keep no holes, a file takes its whole length at its first block, and the
    largest is half the tree). On FAT, also the refusals at its 4 GiB file
    limit. Returns {(fs, case): (ok, line)}."""
    archive = os.path.join(work, "large.zvka")
    archive_sha = hashlib.sha256(open(archive, "rb").read()).hexdigest()
    tree_kib = sum(os.path.getsize(os.path.join(d, f)) for d, _, names in os.walk(os.path.join(work, "trees", "large"))
                   for f in names) // 1024 + 1
    cases = {"extract on a disk too small for both": (3, f"check_squeeze {{id}} {{disk}} {{fs}} /job/large.manifest {tree_kib}"),
             "refused where even that cannot fit": (2, f"check_refused {{id}} {{disk}} {{fs}} {archive_sha}")}
    images, steps, ids = [], [], {}
    for fs in file_systems:
        for case, (fifths, check) in cases.items():
            image, disk = os.path.join(work, f"{fs}-squeeze-{fifths}.img"), disk_name(len(images))
            with open(image, "wb") as f:
                f.truncate(os.path.getsize(archive) + (tree_kib << 10) + (8 << 20))
            run(FILE_SYSTEMS[fs][0] + [image], stdout=subprocess.DEVNULL)
            images.append(image)
            ids[(fs, case)] = f"squeeze-{fs}-{fifths}"
            steps += [f"prepare_squeeze {disk} {fs} /job/large.zvka {tree_kib * fifths // 5}",
                      check.format(id=ids[(fs, case)], disk=disk, fs=fs)]
    if "vfat" in file_systems:
        huge = huge_archive(work, zarvik)
        ids[("vfat", "refused past FAT32's 4 GiB")] = "fat-limit"
        steps.append(f"check_fat_limit fat-limit {disk_name(file_systems.index('vfat') * len(cases))} /job/huge.zvka")
        files = files + [huge]
    lines = guest.boot(files, steps, images, timeout=600)
    results = {}
    for key, id in ids.items():
        found = [l for l in lines if l.startswith(f"RESULT {id} ")]
        results[key] = (bool(found) and found[0].split()[2] == "ok", found[0] if found else "no result")
    return results


def huge_archive(work, zarvik):
    """An archive of one 4.5 GiB file of zeros (72 MB: zeros code 65 to 1)."""
    source, archive = os.path.join(work, "trees", "huge"), os.path.join(work, "huge.zvka")
    os.makedirs(source)
    with open(os.path.join(source, "h.bin"), "wb") as f:
        f.truncate(4500 << 20)
    run([zarvik, "create", "-q", "--block-size", "64M", source, archive], stdout=subprocess.DEVNULL)
    shutil.rmtree(source)
    return archive


def run_all(work, zarvik, kernel, module_dir, fs_names, extract_fs, formats, full, total_states, rng):
    initrd = build_initramfs(work, zarvik, module_dir)
    guest = Guest(work, kernel, initrd)
    records = choose_records(fs_names, extract_fs, formats, full)
    started = time.monotonic()
    files, earlier_sha = prepare(work, guest, zarvik, records)
    print(f"kernel crash states: {len(records)} logged runs in {time.monotonic() - started:.0f} s")
    # An extraction's log is many times a creation's: it gets twice the states.
    weights = [2 if r.kind == "extract" else 1 for r in records]
    for r, weight in zip(records, weights):
        r.states = pick_states(r, max(1, total_states * weight // sum(weights)), rng, os.path.join(work, r.archive))

    table, all_ok = {}, True
    started = time.monotonic()
    squeezed = [fs for fs in SQUEEZE_FILE_SYSTEMS if fs in fs_names and fs in extract_fs and "zvka" in formats]
    squeezes = squeeze(work, guest, zarvik, files, squeezed) if squeezed else {}
    for (fs, case), (ok, line) in squeezes.items():
        table[(fs, case)] = [1, int(ok), (time.monotonic() - started) / len(squeezes)]
        if not ok:
            all_ok = False
            print(f"FAIL {fs}: {line}")
    for r in records:
        started = time.monotonic()
        failures = check_record(work, guest, r, files, earlier_sha)
        row = table.setdefault((r.fs, r.operation), [0, 0, 0.0])
        row[0] += len(r.states)
        row[1] += len(r.states) - len(failures)
        row[2] += time.monotonic() - started
        entries, sector_size = write_log.read_log(r.log)
        for i, line in failures:
            all_ok = False
            point, state_seed = r.states[i]
            print(f"FAIL {r.name}: crash state at log entry {point} (log offset "
                  f"{entries[point].data_at - sector_size}), seed {state_seed}: {line}\n"
                  f"  rebuild: tests/kernel/write_log.py {r.base} {r.log} OUT {point} {state_seed}")
    print("| file system | operation | crash states | recovered | time |")
    print("| --- | --- | --- | --- | --- |")
    for (fs, kind), (tried, recovered, seconds) in table.items():
        print(f"| {fs} | {kind} | {tried} | {recovered} | {seconds:.0f} s |")
    tried = sum(row[0] for row in table.values())
    recovered = sum(row[1] for row in table.values())
    print(f"kernel_crash_states: {recovered} passed, {tried - recovered} failed")
    return all_ok


if __name__ == "__main__":
    main()
