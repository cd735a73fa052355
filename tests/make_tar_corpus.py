#!/usr/bin/env python3
"""Makes tar archives with tools other than ours, for tests/tar_format_test.cc.

Usage: make_tar_corpus.py FOLDER

Writes FOLDER/*.tar, the bytes each file member must read back as
(FOLDER/content/...), and FOLDER/manifest.tsv, one line per member:
  archive  path  kind  size  mtime_ns  mode (octal) or *  content or -  link target or -  sparse
where sparse is 1 when the member must come with data ranges. No path holds a blank.
"""
import os
import random
import shutil
import subprocess
import sys

TIME_NS = 1_600_000_000_123_456_789
LONG_DIR = 'long-folder-' + 'd' * 80
LONG_NAME = LONG_DIR + '/' + 'n' * 60 + '.txt'  # over 100 bytes: a prefix, a long name or a pax path
VERY_LONG = 'v' * 90 + '/' + 'w' * 109  # 200 bytes, no split fits ustar


def noise(length, seed):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(length))


# (path, kind, payload); the long ones only where the format holds them.
ENTRIES = [('a.txt', 'file', b'hello, tar\n'), ('dir', 'folder', None), ('dir/noise.bin', 'file', noise(3000, 1)),
           ('dir/empty', 'file', b''), ('dir/sub', 'folder', None), ('caf\u00e9-\u00fc.txt', 'file', b'non-ASCII name'),
           ('link', 'symlink', 'a.txt'), ('hard.txt', 'hardlink', 'a.txt'), (LONG_DIR, 'folder', None),
           (LONG_NAME, 'file', noise(700, 2))]
LONG_ENTRIES = [(VERY_LONG.split('/')[0], 'folder', None), (VERY_LONG, 'file', b'two hundred bytes of path'),
                ('long-link', 'symlink', 'target-' + 't' * 120), ('fifo', 'fifo', None)]


class Corpus:
    def __init__(self, folder):
        self.folder, self.lines = folder, []
        os.makedirs(os.path.join(folder, 'content'))

    def content(self, name, data):
        with open(os.path.join(self.folder, 'content', name), 'wb') as f:
            f.write(data)
        return 'content/' + name

    def tool(self, archive, command, cwd):
        subprocess.run(command, cwd=cwd, check=True)
        shutil.move(os.path.join(cwd, archive), self.folder)

    def expect(self, archive, path, kind, size, mtime_ns, mode, content='-', target='-', sparse=False):
        self.lines.append('\t'.join([archive, path, kind, str(size), str(mtime_ns), '*' if mode is None else '%o' % mode,
                                     content, target, '1' if sparse else '0']))


def mode_of(path, kind):
    return None if kind in ('symlink', 'fifo') else 0o755 if kind == 'folder' or path.endswith('.bin') else 0o644


def tree_archives(corpus, work):
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
            archive = '%s-%s.tar' % ('gnu' if tool == 'tar' else tool, fmt)
            corpus.tool(archive, [tool, '--format=' + fmt, '--no-recursion' if tool == 'tar' else '-n', '-cf', archive] +
                        [e[0] for e in chosen], tree)
            mtime = TIME_NS if fmt in ('posix', 'pax') else TIME_NS // 10**9 * 10**9
            for i, (path, kind, payload) in enumerate(chosen):
                file = kind == 'file'
                corpus.expect(archive, path, 'special' if kind == 'fifo' else kind, len(payload) if file else 0, mtime,
                              mode_of(path, kind), corpus.content('%s-%d' % (archive, i), payload) if file else '-',
                              payload if 'link' in kind else '-')


def sparse_archives(corpus, work):
    """A sparse file with many data pieces (old GNU headers need extension blocks), and one all holes."""
    tree = os.path.join(work, 'sparse')
    os.makedirs(tree)
    size = 40 * 65536 + 1000
    content = bytearray(size)
    for i in range(0, 40, 3):
        content[i * 65536:i * 65536 + 4096] = noise(4096, 10 + i)
    content[-5:] = b'tail\n'
    for name, data in (('sparse.img', content), ('holes.img', bytes(300000))):
        with open(os.path.join(tree, name), 'wb') as f:
            for i in range(0, len(data), 4096):
                if any(data[i:i + 4096]):
                    f.seek(i)
                    f.write(data[i:i + 4096])
            f.truncate(len(data))
        os.chmod(os.path.join(tree, name), 0o640)
        os.utime(os.path.join(tree, name), ns=(TIME_NS, TIME_NS))
        corpus.content(name, data)
    for label, fmt, extra in [('gnu', 'gnu', [])] + [('posix-' + v, 'posix', ['--sparse-version=' + v])
                                                     for v in ['0.0', '0.1', '1.0']]:
        archive = 'sparse-%s.tar' % label
        corpus.tool(archive, ['tar', '--format=' + fmt, '--sparse'] + extra + ['-cf', archive, 'sparse.img', 'holes.img'], tree)
        mtime = TIME_NS if fmt == 'posix' else TIME_NS // 10**9 * 10**9
        corpus.expect(archive, 'sparse.img', 'file', size, mtime, 0o640, 'content/sparse.img', sparse=True)
        corpus.expect(archive, 'holes.img', 'file', 300000, mtime, 0o640, 'content/holes.img', sparse=True)


def updated_archive(corpus, work):
    """`tar -u`: a hard link to a file, then a newer version of that file."""
    tree = os.path.join(work, 'updated')
    os.makedirs(tree)
    for i, data in enumerate([b'first version\n', b'second, newer version\n']):
        path = os.path.join(tree, 'a')
        if i:
            os.remove(path)
        with open(path, 'wb') as f:
            f.write(data)
        os.chmod(path, 0o644)
        os.utime(path, ns=(TIME_NS + i * 3600 * 10**9,) * 2)
        if i:
            corpus.tool('updated.tar', ['tar', '--format=gnu', '-uf', 'updated.tar', 'a'], tree)
        else:
            os.link(path, os.path.join(tree, 'h'))
            subprocess.run(['tar', '--format=gnu', '-cf', 'updated.tar', 'a', 'h'], cwd=tree, check=True)
        mtime = (TIME_NS + i * 3600 * 10**9) // 10**9 * 10**9
        corpus.expect('updated.tar', 'a', 'file', len(data), mtime, 0o644, corpus.content('updated-%d' % i, data))
        if not i:
            corpus.expect('updated.tar', 'h', 'hardlink', 0, mtime, 0o644, target='a')


def main():
    folder = sys.argv[1]
    shutil.rmtree(folder, ignore_errors=True)
    corpus = Corpus(folder)
    work = os.path.join(folder, 'work')
    tree_archives(corpus, work)
    sparse_archives(corpus, work)
    updated_archive(corpus, work)
    shutil.rmtree(work)
    with open(os.path.join(folder, 'manifest.tsv'), 'w') as f:
        f.write('\n'.join(corpus.lines) + '\n')


if __name__ == '__main__':
    main()
