#!/usr/bin/env python3
"""Makes zip archives with tools other than ours, for tests/zip_format_test.cc and tests/zip_cli_test.sh.

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
DEFAULT_MODE = 0o100644  # an entry made elsewhere than on Unix: a new file's, under the tests' umask


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


class Cp437Info(zipfile.ZipInfo):
    """Python writes non-ASCII names as UTF-8; older writers used code page 437."""

    def _encodeFilenameFlags(self):
        return self.filename.encode('cp437'), self.flag_bits


class Unseekable(io.RawIOBase):
    """A pipe-like sink: zipfile then writes data descriptors."""

    def __init__(self, sink):
        self.writable, self.write = lambda: True, sink.write


def write_python(corpus, archive, compression, streamed=False, zip64=False):
    dos_ns = int(time.mktime(DOS_TIME + (0, 0, -1))) * 1_000_000_000
    entries = [  # name, kind, content, mode, info class
        ('a.txt', 'file', b'hello, zip\n', 0o100644, zipfile.ZipInfo),
        ('dir/', 'folder', b'', 0o40755, zipfile.ZipInfo),
        ('dir/mixed.bin', 'file', mixed_bytes(300_000, 1), 0o100600, zipfile.ZipInfo),
        ('empty', 'file', b'', 0o100644, zipfile.ZipInfo),
        ('empty-dir/', 'folder', b'', 0o40700, zipfile.ZipInfo),
        ('caf\u00e9/\u20ac \U0001F600.txt', 'file', b'utf-8 name\n', 0o100644, zipfile.ZipInfo),
        ('\u00c7a \u00e9t\u00e9 \u2591.txt', 'file', b'cp437 name\n', 0o100755, Cp437Info)]
    with open(os.path.join(corpus.folder, archive), 'wb') as raw, \
            zipfile.ZipFile(Unseekable(raw) if streamed else raw, 'w', compression) as z:
        for name, kind, content, mode, info_class in entries:
            info = info_class(name, DOS_TIME)
            # Made on Unix, a name stands for its bytes: code page 437 says it was made elsewhere, its mode unknown.
            info.create_system = 0 if info_class is Cp437Info else 3
            info.external_attr = mode << 16 | (0x10 if kind == 'folder' else 0)
            info.compress_type = compression
            if kind == 'folder':
                z.writestr(info, b'')
            else:
                with z.open(info, 'w', force_zip64=zip64) as f:
                    f.write(content)
            corpus.expect(archive, name, kind, content, dos_ns, DEFAULT_MODE if info_class is Cp437Info else mode)


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


def run(command, cwd, **kwargs):
    return subprocess.run(command, cwd=cwd, env=dict(os.environ, LC_ALL='C.UTF-8'), check=True, **kwargs)


def write_tools(corpus):
    src = os.path.join(corpus.folder, 'src')
    tree = os.path.join(src, 'tree')
    members = make_tree(src)
    tools = [('infozip.zip', src, ['zip', '-q', '-y', '../infozip.zip'] + members)]
    if shutil.which('bsdtar'):
        # Of the tree's folder itself, every name starts with "./", and "./" is the destination: nothing of it is
        # restored. Its link left out: cut, it is the last entry's no longer, and a local header keeps no mode.
        tools += [('bsdtar.zip', src, ['bsdtar', '-c', '-n', '--format', 'zip', '-f', '../bsdtar.zip'] + members),
                  ('bsdtar-dot.zip', tree, ['bsdtar', '-c', '--format', 'zip', '--exclude', 'link', '-f',
                                            '../../bsdtar-dot.zip', '.'])]
    for archive, cwd, command in tools:
        run(command, cwd)
        for info in zipfile.ZipFile(os.path.join(corpus.folder, archive)).infolist():
            # zipfile reads a name not flagged UTF-8 as code page 437; these tools wrote the file system's bytes.
            name = info.filename if info.flag_bits & 0x800 else info.filename.encode('cp437').decode()
            path = os.path.join(cwd, name)
            st = os.lstat(path)
            if name == './':
                corpus.expect(archive, name, 'folder', b'', '*', None)
            elif name.endswith('/'):
                corpus.expect(archive, name, 'folder', b'', st.st_mtime_ns, st.st_mode)
            elif os.path.islink(path):
                corpus.expect(archive, name, 'link', os.readlink(path).encode(), st.st_mtime_ns, st.st_mode)
            else:
                corpus.expect(archive, name, 'file', open(path, 'rb').read(), st.st_mtime_ns, st.st_mode)
    # Streamed from standard input into a pipe: a data descriptor, Zip64 by default or
    # 32-bit with -fz-; the entry is named "-" and stamped with the time of writing. The
    # Zip64 one is large enough to be taken in pieces.
    for archive, options, size in [('infozip-stream64.zip', [], 9 << 20), ('infozip-stream.zip', ['-fz-'], 70_000)]:
        data = mixed_bytes(size, 3)
        zipped = run(['zip', '-q'] + options + ['-', '-'], src, input=data, stdout=subprocess.PIPE).stdout
        with open(os.path.join(corpus.folder, archive), 'wb') as out:
            out.write(zipped)
        corpus.expect(archive, '-', 'file', data, '*', None)


def unicode_path(raw, name):
    """Info-ZIP's Unicode Path field: version 1, the CRC-32 of the raw name it stands for, the UTF-8 name."""
    field = b'\x01' + struct.pack('<I', zlib.crc32(raw)) + name.encode()
    return struct.pack('<HH', 0x7075, len(field)) + field


def write_unicode_paths(corpus, archive):
    """Names made elsewhere than on Unix, stored entries whose local header spells their name in other bytes than
    the central one does: flagged UTF-8 there, or a Unicode Path field for another raw name."""
    local, central = b'', b''
    for lname, lflags, lextra, cname, cextra, name, content in [
            ('caf\u00e9.txt'.encode(), 0x800, b'', b'caf\x82.txt', unicode_path(b'caf\x82.txt', 'caf\u00e9.txt'),
             'caf\u00e9.txt', b'one\n'),
            (b'naive.txt', 0, unicode_path(b'naive.txt', 'na\u00efve.txt'), b'na\x8bve.txt',
             unicode_path(b'na\x8bve.txt', 'na\u00efve.txt'), 'na\u00efve.txt', b'two\n')]:
        crc, offset = zlib.crc32(content), len(local)
        local += struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, lflags, 0, 0, 0x21, crc, len(content), len(content),
                             len(lname), len(lextra)) + lname + lextra + content
        central += struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 20, 20, 0, 0, 0, 0x21, crc, len(content),
                               len(content), len(cname), len(cextra), 0, 0, 0, 0, offset) + cname + cextra
        corpus.expect(archive, name, 'file', content, int(time.mktime((1980, 1, 1, 0, 0, 0, 0, 0, -1))) * 10**9,
                      DEFAULT_MODE)
    end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 2, 2, len(central), len(local), 0)
    with open(os.path.join(corpus.folder, archive), 'wb') as f:
        f.write(local + central + end)


def main():
    shutil.rmtree(sys.argv[1], ignore_errors=True)
    corpus = Corpus(sys.argv[1])
    write_python(corpus, 'python-stored.zip', zipfile.ZIP_STORED)
    write_python(corpus, 'python-deflated.zip', zipfile.ZIP_DEFLATED)
    write_python(corpus, 'python-streamed.zip', zipfile.ZIP_DEFLATED, streamed=True)
    write_python(corpus, 'python-zip64.zip', zipfile.ZIP_DEFLATED, zip64=True)
    write_python(corpus, 'python-zip64-streamed.zip', zipfile.ZIP_STORED, streamed=True, zip64=True)
    write_tools(corpus)
    write_unicode_paths(corpus, 'unicode-path-local-differs.zip')
    with open(os.path.join(corpus.folder, 'manifest.tsv'), 'w') as f:
        f.write('\n'.join(corpus.lines) + '\n')


if __name__ == '__main__':
    main()
