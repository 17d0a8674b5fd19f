"""Digests: SHA-256 of bytes, files, folders and texts, and the one compact JSON text
that identity and digests are computed from (sorted keys, no blanks). The bottom of
the package: imports nothing of tolva but its compatibility names.
"""

import json
import os

from tolva._compat import sha256

__all__ = ["bytes_hash", "compact", "file_hash", "sha256", "text_hash", "tree_hash"]

# From this size on, OpenSSL's SHA-256 (several times faster where the processor has
# SHA instructions) is worth loading: a value of hundreds of MB hashes in a tenth of a
# second instead of half a second.
LARGE = 4 << 20


def compact(value):
    """The canonical text of a JSON value: keys sorted, no blanks, text as it is."""
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, sort_keys=True)


def _sha256_for(size):
    if size < LARGE:
        return sha256()
    import hashlib

    return hashlib.sha256()


def text_hash(text):
    return bytes_hash(text.encode("utf-8", "surrogatepass"))


def bytes_hash(data):
    digest = _sha256_for(len(data))
    digest.update(data)
    return digest.hexdigest()


def file_hash(path, follow_links=True):
    """The content hash of a file; None when it cannot be read (or, unless
    follow_links, when the path is a link)."""
    try:
        with open(os.open(path, os.O_RDONLY | os.O_CLOEXEC | (0 if follow_links else os.O_NOFOLLOW)), "rb") as f:
            digest = _sha256_for(os.fstat(f.fileno()).st_size)
            while chunk := f.read(1 << 20):
                digest.update(chunk)
            return digest.hexdigest()
    except OSError:
        return None


def tree_hash(folder):
    """The content hash of a folder: every entry's path under it, kind, and content
    (a file's hash, a link's target), in sorted order; None when it cannot be read."""
    lines = []
    try:
        for parent, dirs, files in os.walk(folder, onerror=_raise):
            dirs.sort()
            relative = os.path.relpath(parent, folder)
            for name in sorted(dirs + files):
                path = os.path.join(parent, name)
                shown = os.path.normpath(os.path.join(relative, name))
                if os.path.islink(path):
                    lines.append(f"l {shown} {os.readlink(path)}")
                elif name in dirs:
                    lines.append(f"d {shown}")
                else:
                    digest = file_hash(path, follow_links=False)
                    if digest is None:
                        return None
                    lines.append(f"f {shown} {digest}")
    except OSError:
        return None
    return text_hash("\n".join(lines))


def _raise(exc):
    raise exc
