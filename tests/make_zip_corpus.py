#!/usr/bin/env python3
"""Makes zip archives with tools other than ours, for tests/zip_format_test.cc.

Usage: make_zip_corpus.py FOLDER

Writes FOLDER/*.zip, the bytes each entry must decode to (FOLDER/content/N),
and FOLDER/manifest.tsv, one line per entry in central directory order:
  archive  name (UTF-8, hex)  kind  size  mtime_ns or *  unix mode (octal) or *  content or -
A time or mode of * is not checked (a streamed entry is stamped when written).
"""
import io
import os
import random
import shutil
import subprocess
import sys
import time
import zipfile

DOS_TIME = (2021, 3, 4, 5, 6, 8)
UNIX_TIME = 1_600_000_000


def mixed_bytes(length, seed):
    """Text-like runs and noise, so deflate makes several blocks of each kind."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < length:
        if rng.random() < 0.5:
            out += bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 3000)))
        else:
            out += (b'the quick brown fox %d ' % rng.randrange(50)) * rng.randrange(1, 400)
    return bytes(out[:length])


class Corpus:
    def __init__(self, folder):
        self.folder = folder
        self.lines = []
        os.makedirs(os.path.join(folder, 'content'), exist_ok=True)

    def expect(self, archive, name, kind, content, mtime_ns, mode):
        path = '-'
        if kind != 'folder':
            path = 'content/%d' % len(self.lines)
            with open(os.path.join(self.folder, path), 'wb') as f:
                f.write(content)
        mode_text = '*' if mode is None else '%o' % mode
        self.lines.append('\t'.join([archive, name.encode().hex(), kind, str(len(content)), str(mtime_ns),
                                     mode_text, path]))

    def write_manifest(self):
        with open(os.path.join(self.folder, 'manifest.tsv'), 'w') as f:
            f.write('\n'.join(self.lines) + '\n')


class Cp437Info(zipfile.ZipInfo):
    """Python writes non-ASCII names as UTF-8; older writers used code page 437."""

    def _encodeFilenameFlags(self):
        return self.filename.encode('cp437'), self.flag_bits


class Unseekable(io.RawIOBase):
    """A pipe-like sink: zipfile then writes data descriptors."""

    def __init__(self, sink):
        self.sink = sink

    def writable(self):
        return True

    def write(self, b):
        return self.sink.write(b)


def python_entries():
    dos_ns = int(time.mktime(DOS_TIME + (0, 0, -1))) * 1_000_000_000
    return [
        # name, kind, content, mode, info class
        ('a.txt', 'file', b'hello, zip\n', 0o100644, zipfile.ZipInfo),
        ('dir/', 'folder', b'', 0o40755, zipfile.ZipInfo),
        ('dir/mixed.bin', 'file', mixed_bytes(300_000, 1), 0o100600, zipfile.ZipInfo),
        ('empty', 'file', b'', 0o100644, zipfile.ZipInfo),
        ('caf\u00e9/\u20ac \U0001F600.txt', 'file', b'utf-8 name\n', 0o100644, zipfile.ZipInfo),
        ('\u00c7a \u00e9t\u00e9 \u2591.txt', 'file', b'cp437 name\n', 0o100644, Cp437Info),
    ], dos_ns


def write_python(corpus, archive, compression, streamed=False, zip64=False):
    entries, dos_ns = python_entries()
    with open(os.path.join(corpus.folder, archive), 'wb') as raw:
        sink = Unseekable(raw) if streamed else raw
        with zipfile.ZipFile(sink, 'w', compression) as z:
            for name, kind, content, mode, info_class in entries:
                info = info_class(name, DOS_TIME)
                info.create_system = 3
                info.external_attr = mode << 16 | (0x10 if kind == 'folder' else 0)
                info.compress_type = compression
                if kind == 'folder':
                    z.writestr(info, b'')
                else:
                    with z.open(info, 'w', force_zip64=zip64) as f:
                        f.write(content)
                corpus.expect(archive, name, kind, content, dos_ns, mode)


def make_tree(src):
    """A small tree with a folder, a UTF-8 name and a symbolic link, at fixed times and modes."""
    tree = os.path.join(src, 'tree')
    os.makedirs(os.path.join(tree, 'sub'))
    files = {'tree/readme.txt': (b'read me\n' * 3, 0o640), 'tree/sub/data.bin': (mixed_bytes(200_000, 2), 0o775),
             'tree/sub/na\u00efve.txt': (b'unicode path\n', 0o600)}
    for path, (content, mode) in files.items():
        with open(os.path.join(src, path), 'wb') as f:
            f.write(content)
        os.chmod(os.path.join(src, path), mode)
    os.symlink('readme.txt', os.path.join(tree, 'link'))
    os.chmod(os.path.join(tree, 'sub'), 0o750)
    members = ['tree/', 'tree/readme.txt', 'tree/sub/', 'tree/sub/data.bin', 'tree/sub/na\u00efve.txt', 'tree/link']
    for i, member in enumerate(members):
        os.utime(os.path.join(src, member), (UNIX_TIME, UNIX_TIME + 2 * i), follow_symlinks=False)
    return members


def expect_tree(corpus, archive, src, members):
    for member in members:
        path = os.path.join(src, member)
        st = os.lstat(path)
        if member.endswith('/'):
            kind, content = 'folder', b''
        elif os.path.islink(path):
            kind, content = 'link', os.readlink(path).encode()
        else:
            kind, content = 'file', open(path, 'rb').read()
        corpus.expect(archive, member, kind, content, st.st_mtime_ns, st.st_mode)


def run(command, cwd, **kwargs):
    env = dict(os.environ, LC_ALL='C.UTF-8')
    return subprocess.run(command, cwd=cwd, env=env, check=True, **kwargs)


def write_tools(corpus):
    src = os.path.join(corpus.folder, 'src')
    shutil.rmtree(src, ignore_errors=True)
    os.makedirs(src)
    members = make_tree(src)
    run(['zip', '-q', '-y', '../infozip.zip'] + members, src)
    expect_tree(corpus, 'infozip.zip', src, members)
    if shutil.which('bsdtar'):
        run(['bsdtar', '-c', '-n', '--format', 'zip', '-f', '../bsdtar.zip'] + members, src)
        expect_tree(corpus, 'bsdtar.zip', src, members)
    # Streamed from standard input into a pipe: a data descriptor, Zip64 by default or
    # 32-bit with -fz-; the entry is named "-" and stamped with the time of writing.
    data = mixed_bytes(70_000, 3)
    for archive, options in [('infozip-stream64.zip', []), ('infozip-stream.zip', ['-fz-'])]:
        zipped = run(['zip', '-q'] + options + ['-', '-'], src, input=data, stdout=subprocess.PIPE).stdout
        with open(os.path.join(corpus.folder, archive), 'wb') as out:
            out.write(zipped)
        corpus.expect(archive, '-', 'file', data, '*', None)


def main():
    folder = sys.argv[1]
    shutil.rmtree(folder, ignore_errors=True)
    corpus = Corpus(folder)
    write_python(corpus, 'python-stored.zip', zipfile.ZIP_STORED)
    write_python(corpus, 'python-deflated.zip', zipfile.ZIP_DEFLATED)
    write_python(corpus, 'python-streamed.zip', zipfile.ZIP_DEFLATED, streamed=True)
    write_python(corpus, 'python-zip64.zip', zipfile.ZIP_DEFLATED, zip64=True)
    write_python(corpus, 'python-zip64-streamed.zip', zipfile.ZIP_STORED, streamed=True, zip64=True)
    write_tools(corpus)
    corpus.write_manifest()


if __name__ == '__main__':
    main()
