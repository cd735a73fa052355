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
import struct
import subprocess
import sys
import time
import zipfile
import zlib

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
                # Made on Unix, a name stands for its bytes: code page 437 says it was made elsewhere.
                info.create_system = 0 if info_class is Cp437Info else 3
                info.external_attr = mode << 16 | (0x10 if kind == 'folder' else 0)
                info.compress_type = compression
                if kind == 'folder':
                    z.writestr(info, b'')
                else:
                    with z.open(info, 'w', force_zip64=zip64) as f:
                        f.write(content)
                corpus.expect(archive, name, kind, content, dos_ns, None if info_class is Cp437Info else mode)


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
        write_bsdtar_dot(corpus, src)
    # Streamed from standard input into a pipe: a data descriptor, Zip64 by default or
    # 32-bit with -fz-; the entry is named "-" and stamped with the time of writing. The
    # Zip64 one is large enough to be taken in pieces.
    for archive, options, size in [('infozip-stream64.zip', [], 9 << 20), ('infozip-stream.zip', ['-fz-'], 70_000)]:
        data = mixed_bytes(size, 3)
        zipped = run(['zip', '-q'] + options + ['-', '-'], src, input=data, stdout=subprocess.PIPE).stdout
        with open(os.path.join(corpus.folder, archive), 'wb') as out:
            out.write(zipped)
        corpus.expect(archive, '-', 'file', data, '*', None)


def write_bsdtar_dot(corpus, src):
    """`bsdtar --format zip -cf x.zip .`: every name starts with "./", and "./" is the folder itself."""
    dot = os.path.join(src, 'dot')
    os.makedirs(os.path.join(dot, 'sub'))
    for path, content in [('zeros.bin', bytes(100_000)), ('sub/a.txt', b'in a folder\n')]:
        with open(os.path.join(dot, path), 'wb') as f:
            f.write(content)
    for path in ['zeros.bin', 'sub/a.txt', 'sub']:
        os.utime(os.path.join(dot, path), (UNIX_TIME, UNIX_TIME))
    run(['bsdtar', '-c', '--format', 'zip', '-f', '../../bsdtar-dot.zip', '.'], dot)
    for info in zipfile.ZipFile(os.path.join(corpus.folder, 'bsdtar-dot.zip')).infolist():
        path = os.path.join(dot, info.filename)
        st = os.lstat(path)
        if info.filename == './':  # the destination itself: nothing of it is restored
            corpus.expect('bsdtar-dot.zip', info.filename, 'folder', b'', '*', None)
        elif info.filename.endswith('/'):
            corpus.expect('bsdtar-dot.zip', info.filename, 'folder', b'', st.st_mtime_ns, st.st_mode)
        else:
            corpus.expect('bsdtar-dot.zip', info.filename, 'file', open(path, 'rb').read(), st.st_mtime_ns, st.st_mode)


def unicode_path(raw, name):
    """Info-ZIP's Unicode Path field: version 1, the CRC-32 of the raw name it stands for, the UTF-8 name."""
    field = b'\x01' + struct.pack('<I', zlib.crc32(raw)) + name.encode()
    return struct.pack('<HH', 0x7075, len(field)) + field


def write_handmade(corpus, archive, made_by, entries):
    """Stored entries whose local header says some things otherwise than the central one:
    (local name, local flags, local extra, central name, central flags, central extra, name, content)."""
    local, central = b'', b''
    for lname, lflags, lextra, cname, cflags, cextra, name, content in entries:
        crc, offset = zlib.crc32(content), len(local)
        local += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, lflags, 0, 0, 0x21, crc, len(content), len(content),
                             len(lname), len(lextra)) + lname + lextra + content
        central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, made_by << 8 | 20, 20, cflags, 0, 0, 0x21, crc,
                               len(content), len(content), len(cname), len(cextra), 0, 0, 0, 0o100644 << 16,
                               offset) + cname + cextra
        corpus.expect(archive, name, 'file', content, int(time.mktime((1980, 1, 1, 0, 0, 0, 0, 0, -1))) * 10**9,
                      0o100644 if made_by == 3 else None)
    end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(entries), len(entries), len(central), len(local), 0)
    with open(os.path.join(corpus.folder, archive), 'wb') as f:
        f.write(local + central + end)


def write_disagreeing_headers(corpus):
    # The descriptor flag in the central directory alone, no descriptor written (libarchive's test archive).
    write_handmade(corpus, 'descriptor-flag-central-only.zip', 3, [
        (b'plain.txt', 0, b'', b'plain.txt', 8, b'', 'plain.txt', b'sizes in the local header\n')])
    # The same names in other bytes: UTF-8 flagged locally, or a Unicode Path field for another raw name.
    write_handmade(corpus, 'unicode-path-local-differs.zip', 0, [
        ('caf\u00e9.txt'.encode(), 0x800, b'', b'caf\x82.txt', 0, unicode_path(b'caf\x82.txt', 'caf\u00e9.txt'),
         'caf\u00e9.txt', b'one\n'),
        (b'naive.txt', 0, unicode_path(b'naive.txt', 'na\u00efve.txt'), b'na\x8bve.txt', 0,
         unicode_path(b'na\x8bve.txt', 'na\u00efve.txt'), 'na\u00efve.txt', b'two\n')])


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
    write_disagreeing_headers(corpus)
    corpus.write_manifest()


if __name__ == '__main__':
    main()
