"""A job's value in its folder: stored through its format (the JSON default by the
core, the others here, replaced atomically), read back for the jobs that read it and
for tolva.load, with its identity, the content hash of what is stored, and a small
preview beside it. Knows nothing of plans or runs.
"""

import json
import os
import time

from tolva import digests, formats, layout


class NotReady(Exception):
    """A job has no value to give: it failed, or its files are missing or unreadable."""


class Refused(Exception):
    """A value its format cannot store, or a format that cannot work here: one line
    in the user's terms; error_type is how the job's record names it."""

    def __init__(self, message, error_type="TypeError"):
        super().__init__(message)
        self.error_type = error_type


# --- where a value lies ------------------------------------------------------------


def stored_path(output_dir, fmt):
    """The value's file (or, for the file format, the one file or folder the asset
    returned, in the job's `value` folder)."""
    path = layout.value_path(output_dir, fmt.suffix)
    if fmt.name != "file":
        return path
    if os.path.islink(path):
        raise OSError(f"{path} is a symbolic link, which tolva never follows; remove it")
    entries = os.listdir(path)
    if len(entries) != 1:
        raise OSError(f"{path} holds {len(entries)} entries, not the one the asset returned")
    return os.path.join(path, entries[0])


def digest_of(path):
    """A stored value's identity: the content hash of its file, or of a folder's tree."""
    if os.path.isdir(path) and not os.path.islink(path):
        return digests.tree_hash(path)
    return layout.file_hash(path)


class Stored:
    """One job's value as its folder holds it: its format, where it lies, its digest,
    and (for JSON) its text, read once. record: the job's own record, whose digest is
    taken without reading the file when the file is as it was when hashed."""

    def __init__(self, job_id, output_dir, record=None):
        try:
            result = layout.read_json(layout.result_path(output_dir))
        except (OSError, ValueError) as exc:
            raise NotReady(f"upstream job '{job_id}' has no value: {exc}") from None
        if not isinstance(result, dict) or result.get("ok") is not True:
            raise NotReady(f"upstream job '{job_id}' failed")
        try:
            self.format = formats.named(result.get("artifact_format"), result.get("module_path"))
        except KeyError:
            raise NotReady(f"upstream job '{job_id}' stored its value as '{result.get('artifact_format')}', a "
                           "format this process does not know: register it in a module the pipeline imports") \
                from None
        self.job_id, self.text = job_id, None
        try:
            self.path = stored_path(output_dir, self.format)
            if self.format.name == formats.DEFAULT:
                self.text = layout.read_text(self.path)
                self.digest = digests.text_hash(self.text)
            else:
                self.facts = _facts(self.path)
                self.digest = trusted_digest(self.path, record, self.facts) or digest_of(self.path)
        except (OSError, ValueError) as exc:
            raise NotReady(f"upstream job '{job_id}' has no value: {exc}") from None
        if self.digest is None:
            raise NotReady(f"upstream job '{job_id}' has no value: {self.path} cannot be read")

    def load(self):
        """The value as the asset returned it (a copy of it, for JSON). What is loaded
        is what the digest names: the file is the one hashed (or vouched for by its
        job's record) and must not change while it is read; a pickle, which runs code as
        it loads, is loaded from that file only."""
        if self.text is not None:
            text, self.text = self.text, None  # decoded once; the text is not kept beside the value
            return json.loads(text)
        try:
            value = self.format.load(self.path)
        except formats.FormatError as exc:
            raise NotReady(f"upstream job '{self.job_id}': {exc}") from None
        if _facts(self.path) != self.facts:
            raise NotReady(f"upstream job '{self.job_id}': {self.path} changed while it was read")
        return value


def _facts(path):
    """What changes when a file or folder is written again (a folder's own facts change
    when an entry comes or goes; its files are hashed)."""
    info = os.lstat(path)
    return [info.st_size, info.st_mtime_ns, info.st_ctime_ns, info.st_ino]


# A file changed again within its file system's timestamp granularity of when it was
# hashed could keep its facts: such a "racily clean" record is not trusted, and the
# file is hashed again (git treats its index the same way). Timestamps that are whole
# seconds mean a coarse file system.
FINE_GRANULARITY_NS = 20_000_000
COARSE_GRANULARITY_NS = 2_500_000_000


def trusted_digest(path, record, facts=None):
    """The value's digest as its job's record gives it, when the file (or folder) has
    the facts recorded when it was hashed and was hashed well after it was last
    written; None otherwise, and the caller hashes it."""
    if not isinstance(record, dict) or not isinstance(record.get("value_hash"), str):
        return None
    recorded = record.get("value_facts")
    if not isinstance(recorded, list) or len(recorded) != 5:
        return None
    try:
        facts = facts if facts is not None else _facts(path)
    except OSError:
        return None
    *kept, checked = recorded
    if facts != kept or not isinstance(checked, int):
        return None
    coarse = facts[1] % 1_000_000_000 == 0 and facts[2] % 1_000_000_000 == 0
    if checked - facts[2] < (COARSE_GRANULARITY_NS if coarse else FINE_GRANULARITY_NS):
        return None
    return record["value_hash"]


class Hashed:
    """The digest of a stored value and the facts it was taken with, [size, mtime,
    ctime, inode, when it was taken]; a large value is hashed on a thread of its own
    while the job goes on (its preview), and result() waits for it. keep: a file of at
    most this many bytes is kept as it was hashed (data), so that its preview is made
    of the same bytes without reading it again."""

    def __init__(self, path, keep=-1):
        self.path, self.value, self.data = path, None, None
        folder = os.path.isdir(path)
        size = os.lstat(path).st_size if not folder else 0
        self.keep = size <= keep and not folder
        if size < digests.LARGE:
            self._hash()
            self.thread = None
        else:
            import threading

            self.thread = threading.Thread(target=self._hash, name="tolva value hash", daemon=True)
            self.thread.start()

    def _hash(self):
        try:
            before = _facts(self.path)
            if self.keep:
                self.data = layout.read_bytes(self.path)
                digest = digests.bytes_hash(self.data)
            else:
                digest = digest_of(self.path)
            facts = before + [time.time_ns()] if _facts(self.path) == before else None
        except OSError:
            digest = facts = None
        self.value = (digest, facts)

    def result(self):
        if self.thread is not None:
            self.thread.join()
        return self.value


# --- storing one -------------------------------------------------------------------


def store(asset_name, value, output_dir, fmt):
    """Writes the value through its format, replacing what was there at once; returns
    the value's path as result.json names it, its preview, and its Hashed digest.
    Refused for a value the format cannot store or a format whose library is missing;
    the format's own errors as they come."""
    refused = refusal(asset_name, value, fmt)
    if refused:
        raise Refused(refused)
    preview = preview_of(fmt, value) if fmt.name == "file" else None  # it is moved next
    final = layout.value_path(output_dir, fmt.suffix)
    temp = layout.temporary(final)
    try:
        if fmt.name == formats.DEFAULT:
            text = json.dumps(value, default=_unstorable)
            with layout.open_new(temp) as f:
                f.write(text.encode("utf-8"))
        else:
            fmt.dump(value, temp)
        layout.replace(temp, final)
    except _Unstorable as unstorable:
        layout.remove_tree(temp)
        raise Refused(unstorable_message(asset_name, unstorable.args[0], fmt.name, unstorable.where())) from None
    except formats.FormatError as exc:
        layout.remove_tree(temp)
        raise Refused(f"asset '{asset_name}': {exc}", "ModuleNotFoundError") from None
    except BaseException:
        layout.remove_tree(temp)
        raise
    stored = stored_path(output_dir, fmt)
    hashed = Hashed(stored)  # while the preview is made
    return stored, preview or preview_of(fmt, value), hashed


def refusal(asset_name, value, fmt):
    """Why the format cannot store the value, in the user's terms, or None."""
    wants = fmt.refuses(value)
    if wants is None:
        return None
    better = formats.better_format(value)
    hint = f"; declare @asset(serializer=\"{better}\")" if better and better != fmt.name else ""
    return (f"asset '{asset_name}' returned a {formats.type_name(value)}, which cannot be stored as "
            f"{formats.shown(fmt.name)} (it stores {wants}){hint}")


class _Unstorable(TypeError):
    """What json's encoder met that it cannot write (args[0]), with its notes."""

    def where(self):
        notes = getattr(self, "__notes__", None) or []
        return notes[-1] if notes else None


def _unstorable(value):
    raise _Unstorable(value)


def unstorable_message(asset_name, value_or_type, format_name, where=None):
    """"asset 'f' returned a pandas.DataFrame, which cannot be stored as JSON; declare
    @asset(serializer="parquet")": the type by its usual name, where in the value it
    sits when it is inside one, and the built-in format that would store it."""
    name = formats.type_name(value_or_type)
    if where:
        returned = f"a value holding a {name} ({where})"
        better = "pickle"
    else:
        returned = f"a {name}"
        better = formats.better_format(value_or_type)
    hint = f"; declare @asset(serializer=\"{better}\")" if better and better != format_name else ""
    return f"asset '{asset_name}' returned {returned}, which cannot be stored as {formats.shown(format_name)}{hint}"


# --- previews ----------------------------------------------------------------------

PREVIEW_BYTES = 4096


def previewed_file(output_dir, preview):
    """The value file of a job whose record holds this preview (its format's suffix)."""
    return layout.value_path(output_dir, formats.suffix_of(preview.get("format")))


def preview_of(fmt, value):
    """A small view of the value for people, kept in the job's record: its format and
    type, and what the format shows (rows and columns, shape and range, the start of a
    text); never more than a few KB, and never a reason for the job to fail."""
    facts = {"format": fmt.name, "type": formats.type_name(value)}
    try:
        shown = fmt.preview(value)
        if isinstance(shown, dict):
            facts.update(shown)
    except Exception as exc:  # noqa: BLE001 - a preview is a view
        facts["preview_error"] = formats.cut(f"{type(exc).__name__}: {exc}")
    text = _sound(json.dumps(facts, ensure_ascii=False, default=str))
    while len(text.encode("utf-8")) > PREVIEW_BYTES and facts.get("head"):
        facts["head"] = facts["head"][: len(facts["head"]) // 2]
        text = _sound(json.dumps(facts, ensure_ascii=False, default=str))
    if len(text.encode("utf-8")) > PREVIEW_BYTES:
        return {"format": fmt.name, "type": facts["type"], "preview_error": "too large to show"}
    return json.loads(text)


def _sound(text):
    # A lone surrogate (a str the asset built from bytes, say) shows as U+FFFD: the
    # preview is kept in a UTF-8 record.
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


# A JSON value up to this size is parsed for its preview.
PARSED = 1 << 20


def json_preview(output_dir, data=None):
    """The preview of a value the core wrote as JSON: parsed and shown pretty when it is
    small, its first 2 KB as they are otherwise. data: the file's bytes, when they were
    read already."""
    path = layout.value_path(output_dir)
    try:
        size = len(data) if data is not None else os.path.getsize(path)
        if size <= PARSED:
            text = data.decode("utf-8") if data is not None else layout.read_text(path)
            return preview_of(formats.named(formats.DEFAULT), json.loads(text))
        with layout.open_for_reading(path) as f:
            head = f.read(2048)
    except (OSError, ValueError):
        return None
    return {"format": formats.DEFAULT, "type": "?", "size": size, "text": head + "…"}
