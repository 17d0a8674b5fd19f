"""Digests: SHA-256 of files and texts, and the one compact JSON text that identity
and digests are computed from (sorted keys, no blanks). The bottom of the package:
imports nothing of tolva but its compatibility names.
"""

import json
import os

from tolva._compat import sha256

__all__ = ["compact", "file_hash", "sha256", "text_hash"]


def compact(value):
    """The canonical text of a JSON value: keys sorted, no blanks, text as it is."""
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, sort_keys=True)


def text_hash(text):
    return sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def file_hash(path, follow_links=True):
    """The content hash of a file; None when it cannot be read (or, unless
    follow_links, when the path is a link)."""
    try:
        with open(os.open(path, os.O_RDONLY | os.O_CLOEXEC | (0 if follow_links else os.O_NOFOLLOW)), "rb") as f:
            digest = sha256()
            while chunk := f.read(1 << 20):
                digest.update(chunk)
            return digest.hexdigest()
    except OSError:
        return None
