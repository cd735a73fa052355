#!/usr/bin/env python3
"""Makes tar archives with tools other than ours, for tests/tar_format_test.cc.

Usage: make_tar_corpus.py FOLDER

Writes FOLDER/*.tar, the bytes each file member must read back as
(FOLDER/content/...), and FOLDER/manifest.tsv, one line per member:
  archive  path (UTF-8, hex)  kind  size  mtime_ns or *  mode (octal) or *  content or -  link target (hex) or -  sparse
where sparse is 1 when the member must come with data ranges.
"""
import os
import random
import shutil
import subprocess
import sys
import tarfile

TIME_NS = 1_600_000_000_123_456_789
PAX_TIME = '1500000000.987654321'
LONG_DIR = 'long-folder-' + 'd' * 80
LONG_NAME = LONG_DIR + '/' + 'n' * 60 + '.txt'  # over 100 bytes: a prefix, a long name or a pax path
VERY_LONG = 'v' * 90 + '/' + 'w' * 109  # 200 bytes, no split fits ustar
LONG_TARGET = 'target-' + 't' * 120


def deterministic_bytes(length, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(length))


class Corpus:
    def __init__(self, folder):
        self.folder = folder
        self.lines = []
        self.contents = {}  # tree-relative path -> content file

    def tool(self, archive, command, cwd):
        subprocess.run(command, cwd=cwd, check=True)
        shutil.move(os.path.join(cwd, archive), os.path.join(self.folder, archive))

    def expect(self, archive, path, kind, size, mtime_ns, mode, content='-', target='-', sparse=False):
        self.lines.append('\t'.join([archive, path.encode().hex(), kind, str(size), str(mtime_ns),
                                     '*' if mode is None else '%o' % mode, content,
                                     target if target == '-' else target.encode().hex(), '1' if sparse else '0']))

    def write_manifest(self):
        with open(os.path.join(self.folder, 'manifest.tsv'), 'w') as f:
            f.write('\n'.join(self.lines) + '\n')


def make_tree(root, entries):
    """entries: (path, kind, payload); kinds file, folder, symlink, hardlink, fifo."""
    for path, kind, payload in entries:
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if kind == 'folder':
            os.makedirs(full, exist_ok=True)
        elif kind == 'file':
            with open(full, 'wb') as f:
                f.write(payload)
            os.chmod(full, 0o755 if path.endswith('.bin') else 0o644)
        elif kind == 'symlink':
            os.symlink(payload, full)
        elif kind == 'hardlink':
            os.link(os.path.join(root, payload), full)
        elif kind == 'fifo':
            os.mkfifo(full)
    for path, kind, _ in reversed(entries):
        os.utime(os.path.join(root, path), ns=(TIME_NS, TIME_NS), follow_symlinks=False)
        if kind == 'folder':
            os.chmod(os.path.join(root, path), 0o755)


def tree_entries(long_entries):
    entries = [
        ('a.txt', 'file', b'hello, tar\n'),
        ('dir', 'folder', None),
        ('dir/noise.bin', 'file', deterministic_bytes(3000, 1)),
        ('dir/empty', 'file', b''),
        ('dir/sub', 'folder', None),
        ('caf\u00e9-\u00fc.txt', 'file', b'non-ASCII name'),
        ('link', 'symlink', 'a.txt'),
        ('hard.txt', 'hardlink', 'a.txt'),
        (LONG_DIR, 'folder', None),
        (LONG_NAME, 'file', deterministic_bytes(700, 2)),
    ]
    if long_entries:
        entries += [(VERY_LONG.split('/')[0], 'folder', None), (VERY_LONG, 'file', b'two hundred bytes of path'),
                    ('long-link', 'symlink', LONG_TARGET), ('fifo', 'fifo', None)]
    return entries


def expect_tree(corpus, archive, entries, seconds_only):
    mtime = TIME_NS // 10**9 * 10**9 if seconds_only else TIME_NS
    for path, kind, payload in entries:
        if kind == 'file':
            corpus.expect(archive, path, 'file', len(payload), mtime, 0o755 if path.endswith('.bin') else 0o644,
                          corpus.contents[path])
        elif kind == 'folder':
            corpus.expect(archive, path, 'folder', 0, mtime, 0o755)
        elif kind == 'symlink':
            corpus.expect(archive, path, 'symlink', 0, mtime, None, target=payload)
        elif kind == 'hardlink':
            corpus.expect(archive, path, 'hardlink', 0, mtime, 0o644, target=payload)
        elif kind == 'fifo':
            corpus.expect(archive, path, 'special', 0, mtime, None)


def save_contents(corpus, entries):
    os.makedirs(os.path.join(corpus.folder, 'content'), exist_ok=True)
    for path, kind, payload in entries:
        if kind == 'file' and path not in corpus.contents:
            name = 'content/%d' % len(corpus.contents)
            with open(os.path.join(corpus.folder, name), 'wb') as f:
                f.write(payload)
            corpus.contents[path] = name


def gnu_tar_archives(corpus, work):
    for long_entries, formats in ((True, ['gnu', 'posix']), (False, ['ustar', 'v7'])):
        all_entries = tree_entries(long_entries)
        tree = os.path.join(work, 'tree-%d' % long_entries)
        make_tree(tree, all_entries)
        save_contents(corpus, all_entries)
        for fmt in formats:
            # v7 names stop at 99 bytes
            entries = [e for e in all_entries if fmt != 'v7' or not e[0].startswith(LONG_DIR)]
            archive = 'gnu-%s.tar' % fmt
            corpus.tool(archive, ['tar', '--format=' + fmt, '--no-recursion', '-cf', archive] +
                        [e[0] for e in entries], tree)
            expect_tree(corpus, archive, entries, fmt != 'posix')
        entries = all_entries
        for fmt in ['gnutar', 'pax'] if long_entries else ['ustar']:
            archive = 'bsdtar-%s.tar' % fmt
            corpus.tool(archive, ['bsdtar', '--format=' + fmt, '-n', '-cf', archive] + [e[0] for e in entries], tree)
            expect_tree(corpus, archive, entries, fmt != 'pax')


def sparse_archives(corpus, work):
    """A sparse file with many data pieces (old GNU headers need extension blocks)."""
    tree = os.path.join(work, 'sparse')
    os.makedirs(tree)
    size = 40 * 65536 + 1000
    content = bytearray(size)
    for i in range(0, 40, 3):
        content[i * 65536:i * 65536 + 4096] = deterministic_bytes(4096, 10 + i)
    content[-5:] = b'tail\n'
    path = os.path.join(tree, 'sparse.img')
    with open(path, 'wb') as f:
        for i in range(0, size, 4096):
            piece = content[i:i + 4096]
            if any(piece):
                f.seek(i)
                f.write(piece)
        f.truncate(size)
    os.chmod(path, 0o640)
    os.utime(path, ns=(TIME_NS, TIME_NS))
    name = 'content/sparse'
    with open(os.path.join(corpus.folder, name), 'wb') as f:
        f.write(content)
    holes = os.path.join(tree, 'holes.img')  # all holes: a map with no data
    with open(holes, 'wb') as f:
        f.truncate(300000)
    os.utime(holes, ns=(TIME_NS, TIME_NS))
    with open(os.path.join(corpus.folder, 'content/holes'), 'wb') as f:
        f.write(bytes(300000))
    variants = [('gnu', 'gnu', [])] + [('posix-' + v, 'posix', ['--sparse-version=' + v]) for v in ['0.0', '0.1', '1.0']]
    for label, fmt, extra in variants:
        archive = 'sparse-%s.tar' % label
        corpus.tool(archive, ['tar', '--format=' + fmt, '--sparse'] + extra + ['-cf', archive, 'sparse.img', 'holes.img'],
                    tree)
        mtime = TIME_NS if fmt == 'posix' else TIME_NS // 10**9 * 10**9
        corpus.expect(archive, 'sparse.img', 'file', size, mtime, 0o640, name, sparse=True)
        corpus.expect(archive, 'holes.img', 'file', 300000, mtime, None, 'content/holes', sparse=True)


def python_archives(corpus):
    data = deterministic_bytes(1500, 3)
    name = 'content/python'
    with open(os.path.join(corpus.folder, name), 'wb') as f:
        f.write(data)
    for label, fmt in (('gnu', tarfile.GNU_FORMAT), ('pax', tarfile.PAX_FORMAT)):
        archive = 'python-%s.tar' % label
        with tarfile.open(os.path.join(corpus.folder, archive), 'w', format=fmt) as tar:
            def add(path, kind, size=0, payload=None, target=''):
                info = tarfile.TarInfo(path)
                info.type, info.size, info.mtime, info.mode, info.linkname = kind, size, 1_500_000_000, 0o600, target
                if fmt == tarfile.PAX_FORMAT and path.startswith('\u00fc'):
                    info.pax_headers = {'mtime': PAX_TIME}
                tar.addfile(info, None if payload is None else __import__('io').BytesIO(payload))
            add('\u00fcber/\u65e5\u672c.bin', tarfile.REGTYPE, len(data), data)
            add(VERY_LONG, tarfile.REGTYPE, 3, b'abc')
            add('to-long', tarfile.SYMTYPE, target=LONG_TARGET)
            add('folder', tarfile.DIRTYPE)
        with open(os.path.join(corpus.folder, 'content/abc'), 'wb') as f:
            f.write(b'abc')
        pax_ns = 1_500_000_000_987_654_321 if fmt == tarfile.PAX_FORMAT else 1_500_000_000 * 10**9
        corpus.expect(archive, '\u00fcber/\u65e5\u672c.bin', 'file', len(data), pax_ns, 0o600, name)
        corpus.expect(archive, VERY_LONG, 'file', 3, 1_500_000_000 * 10**9, 0o600, 'content/abc')
        corpus.expect(archive, 'to-long', 'symlink', 0, 1_500_000_000 * 10**9, 0o600, target=LONG_TARGET)
        corpus.expect(archive, 'folder', 'folder', 0, 1_500_000_000 * 10**9, 0o600)


def v7_header(info):
    """A pre-POSIX header: no ustar magic, owner names or prefix."""
    block = bytearray(info.tobuf(tarfile.USTAR_FORMAT, 'utf-8', 'strict'))
    block[257:512] = bytes(255)
    block[148:156] = b' ' * 8
    block[148:156] = b'%06o\0 ' % sum(block)
    return bytes(block)


def no_data_archives(corpus):
    """Members whose size fields say more than they hold: a folder with a size
    followed by a hard link (as CPython's ustar/dirtype-with-size), and a
    pre-POSIX hard link carrying its target's size."""
    data = b'regular file\n'
    with open(os.path.join(corpus.folder, 'content/regtype'), 'wb') as f:
        f.write(data)
    pad = lambda b: b + bytes(-len(b) % 512)
    def info(path, kind, size, target=''):
        member = tarfile.TarInfo(path)
        member.type, member.size, member.linkname, member.mtime, member.mode = kind, size, target, 1_500_000_000, 0o644
        return member
    mtime = 1_500_000_000 * 10**9
    with open(os.path.join(corpus.folder, 'dirtype-with-size.tar'), 'wb') as f:
        f.write(info('ustar/regtype', tarfile.REGTYPE, len(data)).tobuf(tarfile.USTAR_FORMAT) + pad(data) +
                info('ustar/dirtype-with-size', tarfile.DIRTYPE, 255).tobuf(tarfile.USTAR_FORMAT) +
                info('ustar/lnktype', tarfile.LNKTYPE, 0, 'ustar/regtype').tobuf(tarfile.USTAR_FORMAT) + bytes(1024))
    corpus.expect('dirtype-with-size.tar', 'ustar/regtype', 'file', len(data), mtime, 0o644, 'content/regtype')
    corpus.expect('dirtype-with-size.tar', 'ustar/dirtype-with-size', 'folder', 0, mtime, 0o644)
    corpus.expect('dirtype-with-size.tar', 'ustar/lnktype', 'hardlink', 0, mtime, 0o644, target='ustar/regtype')
    with open(os.path.join(corpus.folder, 'pre-posix-hardlink.tar'), 'wb') as f:
        f.write(v7_header(info('regtype', tarfile.REGTYPE, len(data))) + pad(data) +
                v7_header(info('lnktype', tarfile.LNKTYPE, len(data), 'regtype')) +
                v7_header(info('after', tarfile.REGTYPE, len(data))) + pad(data) + bytes(1024))
    corpus.expect('pre-posix-hardlink.tar', 'regtype', 'file', len(data), mtime, 0o644, 'content/regtype')
    corpus.expect('pre-posix-hardlink.tar', 'lnktype', 'hardlink', 0, mtime, 0o644, target='regtype')
    corpus.expect('pre-posix-hardlink.tar', 'after', 'file', len(data), mtime, 0o644, 'content/regtype')


def updated_archive(corpus, work):
    """`tar -u`: a hard link to a file, then a newer version of that file."""
    tree = os.path.join(work, 'updated')
    os.makedirs(tree)
    versions = [(b'first version\n', TIME_NS), (b'second, newer version\n', TIME_NS + 3600 * 10**9)]
    for i, (data, _) in enumerate(versions):
        with open(os.path.join(corpus.folder, 'content/updated-%d' % i), 'wb') as f:
            f.write(data)
    def write_a(i):
        path = os.path.join(tree, 'a')
        if os.path.exists(path):
            os.remove(path)
        with open(path, 'wb') as f:
            f.write(versions[i][0])
        os.chmod(path, 0o644)
        os.utime(path, ns=(versions[i][1], versions[i][1]))
    write_a(0)
    os.link(os.path.join(tree, 'a'), os.path.join(tree, 'h'))
    subprocess.run(['tar', '--format=gnu', '-cf', 'updated.tar', 'a', 'h'], cwd=tree, check=True)
    write_a(1)
    subprocess.run(['tar', '--format=gnu', '-uf', 'updated.tar', 'a'], cwd=tree, check=True)
    shutil.move(os.path.join(tree, 'updated.tar'), os.path.join(corpus.folder, 'updated.tar'))
    seconds = lambda ns: ns // 10**9 * 10**9
    corpus.expect('updated.tar', 'a', 'file', len(versions[0][0]), seconds(versions[0][1]), 0o644, 'content/updated-0')
    corpus.expect('updated.tar', 'h', 'hardlink', 0, seconds(versions[0][1]), 0o644, target='a')
    corpus.expect('updated.tar', 'a', 'file', len(versions[1][0]), seconds(versions[1][1]), 0o644, 'content/updated-1')


def main():
    folder = sys.argv[1]
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, 'content'))
    corpus = Corpus(folder)
    work = os.path.join(folder, 'work')
    gnu_tar_archives(corpus, work)
    sparse_archives(corpus, work)
    python_archives(corpus)
    no_data_archives(corpus)
    updated_archive(corpus, work)
    shutil.rmtree(work)
    corpus.write_manifest()


if __name__ == '__main__':
    main()
