#!/usr/bin/env python3
"""Makes tar archives with tools other than ours, for tests/tar_format_test.cc.

Usage: make_tar_corpus.py FOLDER

Writes FOLDER/*.tar and FOLDER/manifest.tsv, one line per member:
  archive  path  kind  size  mtime_ns  mode (octal) or *  CRC-32 of its data (hex) or -  link target or -  sparse
where sparse is 1 when the member must come with data ranges. No path holds a blank.
"""
import os
import random
import shutil
import subprocess
import sys
import zlib

TIME_NS = 1_600_000_000_123_456_789
LONG_DIR = 'long-folder-' + 'd' * 80
VERY_LONG = 'v' * 90 + '/' + 'w' * 109  # 200 bytes, no split fits ustar


def noise(length, seed):
    return random.Random(seed).randbytes(length)


# (path, kind, payload); the long ones only where the format holds them.
ENTRIES = [('a.txt', 'file', b'hello, tar\n'), ('dir', 'folder', None), ('dir/noise.bin', 'file', noise(3000, 1)),
           ('dir/empty', 'file', b''), ('dir/sub', 'folder', None), ('caf\u00e9-\u00fc.txt', 'file', b'non-ASCII name'),
           ('link', 'symlink', 'a.txt'), ('hard.txt', 'hardlink', 'a.txt'), (LONG_DIR, 'folder', None),
           (LONG_DIR + '/' + 'n' * 60 + '.txt', 'file', noise(700, 2))]  # over 100 bytes: a prefix, a long name or a pax path
LONG_ENTRIES = [(VERY_LONG.split('/')[0], 'folder', None), (VERY_LONG, 'file', b'two hundred bytes of path'),
                ('long-link', 'symlink', 'target-' + 't' * 120), ('fifo', 'fifo', None)]
LINES = []


def expect(archive, path, kind, mtime_ns, mode, data=None, target='-', sparse=False):
    LINES.append('\t'.join([archive, path, kind, str(len(data or b'')), str(mtime_ns),
                            '*' if mode is None else '%o' % mode, '-' if data is None else '%08x' % zlib.crc32(data),
                            target, '1' if sparse else '0']))


def archive(folder, tree, name, command, paths):
    subprocess.run(command + ['-cf', name] + paths, cwd=tree, check=True)
    shutil.move(os.path.join(tree, name), folder)


def mtime_in(fmt):
    return TIME_NS if fmt in ('posix', 'pax') else TIME_NS // 10**9 * 10**9


def mode_of(path, kind):
    return None if kind in ('symlink', 'fifo') else 0o755 if kind == 'folder' or path.endswith('.bin') else 0o644


def tree_archives(folder, work):
    for long_entries, formats in ((True, ['gnu', 'posix', 'bsdtar-gnutar', 'bsdtar-pax']),
                                  (False, ['ustar', 'v7', 'bsdtar-ustar'])):
        entries = ENTRIES + LONG_ENTRIES * long_entries
        tree = os.path.join(work, 'tree-%d' % long_entries)
        for path, kind, payload in entries:
            full = os.path.join(tree, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            if kind == 'folder':
                os.makedirs(full, exist_ok=True)
            elif kind == 'file':
                with open(full, 'wb') as f:
                    f.write(payload)
            elif kind == 'symlink':
                os.symlink(payload, full)
            elif kind == 'hardlink':
                os.link(os.path.join(tree, payload), full)
            else:
                os.mkfifo(full)
        for path, kind, _ in reversed(entries):
            if kind not in ('symlink', 'fifo'):
                os.chmod(os.path.join(tree, path), mode_of(path, kind))
            os.utime(os.path.join(tree, path), ns=(TIME_NS, TIME_NS), follow_symlinks=False)
        for fmt in formats:
            tool, fmt = fmt.split('-') if '-' in fmt else ('tar', fmt)
            chosen = [e for e in entries if fmt != 'v7' or not e[0].startswith(LONG_DIR)]  # v7 names stop at 99 bytes
            name = '%s-%s.tar' % ('gnu' if tool == 'tar' else tool, fmt)
            archive(folder, tree, name, [tool, '--format=' + fmt, '--no-recursion' if tool == 'tar' else '-n'],
                    [path for path, _, _ in chosen])
            for path, kind, payload in chosen:
                expect(name, path, 'special' if kind == 'fifo' else kind, mtime_in(fmt), mode_of(path, kind),
                       payload if kind == 'file' else None, payload if 'link' in kind else '-')


def sparse_archives(folder, work):
    """A sparse file with many data pieces (old GNU headers need extension blocks), and one all holes."""
    tree = os.path.join(work, 'sparse')
    os.makedirs(tree)
    content = bytearray(40 * 65536 + 1000)
    for i in range(0, 40, 3):
        content[i * 65536:i * 65536 + 4096] = noise(4096, 10 + i)
    content[-5:] = b'tail\n'
    files = {'sparse.img': bytes(content), 'holes.img': bytes(300000)}
    for name, data in files.items():
        with open(os.path.join(tree, name), 'wb') as f:
            for i in range(0, len(data), 4096):
                if any(data[i:i + 4096]):
                    f.seek(i)
                    f.write(data[i:i + 4096])
            f.truncate(len(data))
        os.chmod(os.path.join(tree, name), 0o640)
        os.utime(os.path.join(tree, name), ns=(TIME_NS, TIME_NS))
    for label, fmt, extra in [('gnu', 'gnu', [])] + [('posix-' + v, 'posix', ['--sparse-version=' + v])
                                                     for v in ['0.0', '0.1', '1.0']]:
        name = 'sparse-%s.tar' % label
        archive(folder, tree, name, ['tar', '--format=' + fmt, '--sparse'] + extra, list(files))
        for path, data in files.items():
            expect(name, path, 'file', mtime_in(fmt), 0o640, data, sparse=True)


def main():
    folder = sys.argv[1]
    shutil.rmtree(folder, ignore_errors=True)
    work = os.path.join(folder, 'work')
    tree_archives(folder, work)
    sparse_archives(folder, work)
    shutil.rmtree(work)
    with open(os.path.join(folder, 'manifest.tsv'), 'w') as f:
        f.write('\n'.join(LINES) + '\n')


if __name__ == '__main__':
    main()
