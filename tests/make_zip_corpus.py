#!/usr/bin/env python3
"""make_zip_corpus.py FOLDER: zip archives made with tools other than ours, for tests/zip_cli_test.sh.

Writes FOLDER/*.zip, the bytes each entry must decode to (FOLDER/content/N), and FOLDER/manifest.tsv, one line per
entry: archive, name (UTF-8, hex), kind, size, mtime_ns or *, unix mode (octal) or *, content or -. A time or mode
of * is not checked (a streamed entry is stamped when written).
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
    members = make_tree(src)
    tools = [('infozip.zip', src, ['zip', '-q', '-y', '../infozip.zip'] + members)]
    if shutil.which('bsdtar'):
        tools.append(('bsdtar.zip', src, ['bsdtar', '-c', '-n', '--format', 'zip', '-f', '../bsdtar.zip'] + members))
    for archive, cwd, command in tools:
        run(command, cwd)
        for info in zipfile.ZipFile(os.path.join(corpus.folder, archive)).infolist():
            # zipfile reads a name not flagged UTF-8 as code page 437; these tools wrote the file system's bytes.
            name = info.filename if info.flag_bits & 0x800 else info.filename.encode('cp437').decode()
            path = os.path.join(cwd, name)
            st = os.lstat(path)
            if name.endswith('/'):
                corpus.expect(archive, name, 'folder', b'', st.st_mtime_ns, st.st_mode)
            elif os.path.islink(path):
                corpus.expect(archive, name, 'link', os.readlink(path).encode(), st.st_mtime_ns, st.st_mode)
            else:
                corpus.expect(archive, name, 'file', open(path, 'rb').read(), st.st_mtime_ns, st.st_mode)
    # Streamed from standard input into a pipe: a data descriptor, Zip64, the entry named "-", stamped with the time
    # of writing, large enough to be taken in pieces.
    data = mixed_bytes(9 << 20, 3)
    with open(os.path.join(corpus.folder, 'infozip-stream64.zip'), 'wb') as out:
        out.write(run(['zip', '-q', '-', '-'], src, input=data, stdout=subprocess.PIPE).stdout)
    corpus.expect('infozip-stream64.zip', '-', 'file', data, '*', None)


def main():
    shutil.rmtree(sys.argv[1], ignore_errors=True)
    corpus = Corpus(sys.argv[1])
    write_python(corpus, 'python-stored.zip', zipfile.ZIP_STORED)
    write_python(corpus, 'python-deflated.zip', zipfile.ZIP_DEFLATED)
    write_python(corpus, 'python-streamed.zip', zipfile.ZIP_DEFLATED, streamed=True)
    write_python(corpus, 'python-zip64.zip', zipfile.ZIP_DEFLATED, zip64=True)
    write_python(corpus, 'python-zip64-streamed.zip', zipfile.ZIP_STORED, streamed=True, zip64=True)
    write_tools(corpus)
    with open(os.path.join(corpus.folder, 'manifest.tsv'), 'w') as f:
        f.write('\n'.join(corpus.lines) + '\n')


if __name__ == '__main__':
    main()
