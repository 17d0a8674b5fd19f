"""Pipelines as plans: the asset graph, one job per partition combination, and the
inputs each job receives. Scheduler-neutral: a plan is plain JSON, and each job is one
command that any engine can run on a machine that sees the same files.
"""

import importlib
import inspect as pyinspect
import itertools
import json
import os
import pathlib
import re
import sys
import time

from tolva import _cli, checks, fingerprint, formats
from tolva.digests import compact, sha256
from tolva.planfile import PLAN_VERSION


class GraphError(Exception):
    """The modules declare a pipeline that cannot run (unknown input, cycle, ...); one
    line per problem."""


class Problems(list):
    """The graph errors of every asset, gathered so that all are reported at once."""

    def gather(self, check, *args):
        try:
            return check(*args)
        except GraphError as exc:
            self.extend(str(exc).splitlines())
            return None

    def raise_any(self):
        if self:
            raise GraphError("\n".join(self))


# --- path components -------------------------------------------------------------

# Printable ASCII that is safe in a file name on every common system; everything
# else is percent-encoded as UTF-8 bytes. "%" and "~" are always encoded, so the
# hashed form of an overlong component ("~" and a digest) cannot be forged.
_SAFE = re.compile(r"[A-Za-z0-9 !#$&'()+,\-.;=@\[\]^_`{}]")
_MAX_COMPONENT = 120
_RESERVED = {"CON", "PRN", "AUX", "NUL"} | {f"{port}{n}" for port in ("COM", "LPT") for n in range(1, 10)}


def escape_component(text):
    """A file name for user text: no separators, no "." or "..", nothing hidden,
    nothing unportable, at most 120 bytes, and distinct texts give distinct names."""
    out = []
    for ch in text:
        if _SAFE.fullmatch(ch):
            out.append(ch)
        else:
            out.extend(f"%{b:02X}" for b in ch.encode("utf-8", "surrogatepass"))
    name = "".join(out)
    # A leading dot would hide the entry (and make "." or ".."); a trailing dot or
    # blank is dropped by some systems.
    if name.startswith("."):
        name = "%2E" + name[1:]
    if name.endswith((".", " ")):
        name = name[:-1] + f"%{ord(name[-1]):02X}"
    if name == "":
        name = "%"  # only the empty text maps here: "%" alone is never an escape
    if name.split(".")[0].upper() in _RESERVED:
        name = f"%{ord(name[0]):02X}" + name[1:]  # Windows refuses CON, NUL, COM1, ... even with a suffix
    if len(name) > _MAX_COMPONENT:
        digest = sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:16]
        head = name[: _MAX_COMPONENT - 18]
        head = head[: head.rfind("%")] if "%" in head[-2:] else head  # never cut an escape
        name = f"{head}~{digest}"
    return name


def key_text(key):
    """How a partition key reads in a path: strings as themselves unless they would
    read as another JSON value; everything else as compact JSON."""
    if isinstance(key, str):
        try:
            json.loads(key)
        except ValueError:
            if not key.startswith('"'):
                return key
        return json.dumps(key, ensure_ascii=False)
    return compact(key)


def asset_component(label):
    """An asset's directory name; never the name of the runner's own files."""
    name = escape_component(label)
    if name.endswith(".json"):
        name = name[: -len(".json")] + "%2Ejson"
    return name


# --- the asset graph -------------------------------------------------------------


class Asset:
    def __init__(self, record):
        self.record = record
        self.ref = f"{record['file_path']}:{record['function_name']}"
        self.function_name = record["function_name"]
        self.module = record["module_path"]
        meta = record["decorator_metadata"] if isinstance(record["decorator_metadata"], dict) else {}
        self.display_name = meta.get("name")
        self.inputs = dict(meta.get("inputs") or {})
        self.periods = {}  # parameter -> (kind "previous" or "window", dimension, offset or size)
        specs = meta.get("partitions") or {}
        self.dimensions = {dim: json.loads(specs[dim]["values_json"]) for dim in sorted(specs)}
        self.serializer = meta.get("serializer")
        self.label = self.display_name or self.function_name
        self.component = None  # the label's folder name, set with the label by name_assets
        self.components = {}  # dimension -> the folder name of each key, in key order
        self.function = None  # the user's function, found by check_signatures
        self.fingerprint = {}  # set by add_fingerprints
        self.code, self.parts = None, {}
        self.attribute = self.function_name
        self.parameters = None  # name -> inspect.Parameter, filled by check_signatures
        self.format = None  # its value format, found by check_serializer

    def __repr__(self):
        return f"Asset({self.label!r})"


def assets_from_document(document, problems):
    """One Asset per reference string; the first listed module that shows it wins."""
    by_ref = {}
    for record in json.loads(document)["assets"]:
        asset = Asset(record)
        by_ref.setdefault(asset.ref, asset)
    assets = list(by_ref.values())
    name_assets(assets)
    for asset in assets:
        problems.gather(check_keys, asset)
        problems.gather(check_serializer, asset)
        asset.components = {dim: key_components(dim, keys) for dim, keys in asset.dimensions.items()}
    return assets


def check_serializer(asset):
    """The asset's value format is one that is registered (built in, or by a module the
    pipeline imports)."""
    try:
        asset.format = formats.named(asset.serializer)
    except KeyError:
        raise GraphError(f"asset '{asset.label}': {formats.unknown_message(asset.serializer)}") from None


def _clashes(assets):
    """Groups of assets whose folder names are equal where letter case does not count
    (macOS and Windows file systems)."""
    groups = {}
    for asset in assets:
        groups.setdefault(asset_component(asset.label).casefold(), []).append(asset)
    return [group for group in groups.values() if len(group) > 1]


def name_assets(assets):
    """Labels name folders, jobs, summary rows and graph nodes, one name each. Assets of
    different modules that share a name show their module (pkg.mod.raw); names that
    still meet only in letter case get a hash of their reference, after the folder
    name's escaping, so the folder shows the label as it is."""
    for group in _clashes(assets):
        shared = [a for a in group if any(o.label == a.label and o.module != a.module for o in group)]
        for asset in shared:
            asset.label = f"{asset.module}.{asset.label}"
    for asset in assets:
        asset.component = asset_component(asset.label)
    for group in _clashes(assets):
        for asset in group:
            digest = _digest(asset.ref)
            asset.label, asset.component = f"{asset.label}~{digest}", f"{asset.component}~{digest}"


def _digest(text):
    return sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:8]


def check_keys(asset):
    """The runner owns job identity: two keys of one dimension that are the same JSON
    value (integers beyond 64 bits that became one double, dicts in another member
    order, plain repeats) would make two jobs with one id and one folder."""
    for dim, keys in asset.dimensions.items():
        seen, repeated = set(), []
        for key in keys:
            text = compact(key)
            if text in seen and text not in repeated:
                repeated.append(text)
            seen.add(text)
        if repeated:
            raise GraphError(f"asset '{asset.label}': dimension '{dim}' lists the same key more than once: "
                             f"{', '.join(repeated)} (each key names one job and one folder)")
        if not keys:
            raise GraphError(f"asset '{asset.label}': dimension '{dim}' has no keys, so the asset would have no "
                             "job; give partitions([...]) at least one value")


def key_components(dim, keys):
    """Folder names of one dimension's keys; names that differ only in letter case get
    the key's hash, so they stay apart on case-insensitive file systems."""
    names = [escape_component(f"{dim}={key_text(key)}") for key in keys]
    folds = {}
    for name in names:
        folds[name.casefold()] = folds.get(name.casefold(), 0) + 1
    return [f"{name}~{_digest(compact(key))}" if folds[name.casefold()] > 1 else name
            for name, key in zip(names, keys)]


def did_you_mean(name, known):
    """"; did you mean 'x'?" for the closest known name (difflib), or nothing."""
    import difflib  # only for a name that is not known

    close = difflib.get_close_matches(name, list(known), n=1)
    return f"; did you mean '{close[0]}'?" if close else ""


def suggestion(name, known):
    """The closest known asset name, and the known names when they are few."""
    text = did_you_mean(name, known)
    if len(known) <= 12:
        text += f" (known assets: {', '.join(sorted(known))})"
    return text


def typed_names(assets):
    return sorted({a.label for a in assets} | {a.function_name for a in assets})


def find_asset(assets, by_ref, name):
    """The asset a typed name means: an exact reference string, then a display or
    function name, then module:function. None when nothing matches; GraphError when
    several do."""
    if name in by_ref:
        return by_ref[name]
    for matches in ([a for a in assets if name in (a.label, a.display_name, a.function_name)],
                    [a for a in assets if name == f"{a.module}:{a.function_name}"]):
        if len(matches) == 1:
            return matches[0]
        if matches:
            candidates = ", ".join(f"{a.module}:{a.function_name}" for a in matches)
            raise GraphError(f"'{name}' names several assets: {candidates}; use one of these")
    return None


def resolve_inputs(assets, problems):
    """Maps each input to its upstream Asset, refusing unknown references and cycles;
    the assets in dependency order."""
    by_ref = {a.ref: a for a in assets}
    for asset in assets:
        asset.upstream = {}
        problems.gather(_resolve, asset, assets, by_ref)
    order = problems.gather(topological_order, assets) or assets
    for asset in order:
        problems.gather(check_mapping, asset)
    return order


_PERIOD = re.compile(r"\|(previous|window)\((.+), (-?\d+)\)$")


def period_input(ref):
    """(the upstream's reference, (kind, dimension, offset or size) or None) of an
    input's reference string: tolva.previous and tolva.window add their part."""
    match = _PERIOD.search(ref)
    if match is None:
        return ref, None
    return ref[:match.start()], (match.group(1), match.group(2), int(match.group(3)))


def _resolve(asset, assets, by_ref):
    for parameter, ref in sorted(asset.inputs.items()):
        ref, period = period_input(ref)
        if period is not None:
            asset.periods[parameter] = period
        try:
            upstream = find_asset(assets, by_ref, ref)
        except GraphError as exc:
            raise GraphError(f"asset '{asset.label}': input '{parameter}': {exc}") from None
        if upstream is None:
            raise GraphError(
                f"asset '{asset.label}': input '{parameter}' refers to '{ref}', "
                "which is not an asset of the inspected modules" + suggestion(ref, typed_names(assets))
            )
        asset.upstream[parameter] = upstream
    clash = sorted(set(asset.upstream) & set(asset.dimensions))
    if clash:
        raise GraphError(f"asset '{asset.label}': '{clash[0]}' is both an input and a partition dimension")


def shared_dimensions(asset, upstream):
    """The dimensions on which a downstream job and the upstream jobs it reads agree."""
    return [dim for dim in upstream.dimensions if dim in asset.dimensions]


def reads_one_job(asset, upstream):
    """Whether each job of the asset reads one upstream job (every dimension of the
    upstream is the asset's too), rather than a list of them."""
    return all(dim in asset.dimensions for dim in upstream.dimensions)


def shortened(texts, most=8, width=40):
    """A list of keys for a message: the first few, each cut to a readable width."""
    shown = [text if len(text) <= width else text[: width - 3] + "..." for text in texts[:most]]
    more = f", ... ({len(texts) - most} more)" if len(texts) > most else ""
    return ", ".join(shown) + more


def check_mapping(asset):
    """Every key of the asset on a dimension it shares with an upstream asset must be a
    key of the upstream too: otherwise a job would read upstream jobs that do not
    exist. Keys compare as compact JSON, as job identity does."""
    for parameter, (kind, dim, count) in sorted(asset.periods.items()):
        _check_period(asset, parameter, asset.upstream[parameter], kind, dim, count)
    for parameter, upstream in sorted(asset.upstream.items()):
        for dim in shared_dimensions(asset, upstream):
            known = {compact(key) for key in upstream.dimensions[dim]}
            for key in asset.dimensions[dim]:
                if compact(key) not in known:
                    keys = shortened([compact(k) for k in upstream.dimensions[dim]])
                    raise GraphError(
                        f"asset '{asset.label}': input '{parameter}': key {compact(key)} of dimension '{dim}' is "
                        f"not a key of upstream '{upstream.label}' (its keys: {keys})")


def _check_period(asset, parameter, upstream, kind, dim, count):
    where = f"asset '{asset.label}': input '{parameter}' ({kind} of '{upstream.label}' by '{dim}')"
    for owner in (upstream, asset):
        if dim not in owner.dimensions:
            raise GraphError(f"{where}: '{owner.label}' has no dimension '{dim}'")
    if not reads_one_job(asset, upstream):
        extra = [d for d in upstream.dimensions if d not in asset.dimensions]
        raise GraphError(f"{where}: '{upstream.label}' has dimensions '{asset.label}' does not: {', '.join(extra)}")
    if kind == "window" and count < 1:
        raise GraphError(f"{where}: a window holds at least one period, not {count}")
    keys = upstream.dimensions[dim]
    numbers = all(isinstance(k, (int, float)) and not isinstance(k, bool) for k in keys)
    if not (numbers or all(isinstance(k, str) for k in keys)) or any(a >= b for a, b in zip(keys, keys[1:])):
        raise GraphError(f"{where}: dimension '{dim}' of '{upstream.label}' is not ordered (its keys must be numbers "
                         "or text in increasing order, as daily() and the other period helpers give)")


def topological_order(assets):
    order, state = [], {}

    def visit(asset, path):
        if state.get(asset.ref) == "done":
            return
        if state.get(asset.ref) == "open":
            cycle = path[path.index(asset):] + [asset]
            names = " -> ".join(a.label for a in cycle)
            raise GraphError(f"assets form a cycle: {names}")
        state[asset.ref] = "open"
        for parameter in sorted(asset.upstream):
            visit(asset.upstream[parameter], path + [asset])
        state[asset.ref] = "done"
        order.append(asset)

    for asset in assets:
        visit(asset, [])
    return order


def select_jobs(assets, plan, names):
    """The plan cut to the jobs that the names ask for and every job they need, in plan
    order; and the ids of the jobs asked for. A name is an asset, a job id as the
    summary and run.json show it, or asset/dim=key/... with the dimensions in any
    order and keys as written (strings as they are, other keys as JSON), a range
    first..last or a glob; naming some of an asset's dimensions selects every job of
    the asset with those keys. NAME+ adds every job downstream of those, NAME+N the
    jobs up to N levels down; +NAME says what is always so, that the jobs they need
    upstream run too."""
    by_ref = {a.ref: a for a in assets}
    jobs = {job["id"]: job for job in plan["jobs"]}
    jobs_of = {}
    for job in plan["jobs"]:
        jobs_of.setdefault(job["asset"], []).append(job)
    checks_of = {}  # an asset's job -> its checks' jobs, which a selection takes along
    for job in plan["jobs"]:
        if "check" in job:
            checks_of.setdefault(job["dependencies"][0], []).append(job["id"])
    wanted, queue = set(), []
    for name in names:
        chosen, levels = _selection(assets, by_ref, jobs, jobs_of, name)
        chosen = chosen + _downstream(plan["jobs"], chosen, levels)
        queue.extend(chosen + [c for job_id in chosen for c in checks_of.get(job_id, ())])
    selected = set(queue)
    while queue:
        job_id = queue.pop()
        if job_id not in wanted:
            wanted.add(job_id)
            queue.extend(jobs[job_id]["dependencies"])
    return dict(plan, jobs=[job for job in plan["jobs"] if job["id"] in wanted]), selected


_DOWNSTREAM = re.compile(r"\+(\d*)$")


def _selection(assets, by_ref, jobs, jobs_of, name):
    """(the job ids a name chooses, how many levels downstream to add: 0, N, or None
    for all). A name that is a selection as written is one, whatever + it holds."""
    try:
        return _chosen(assets, by_ref, jobs, jobs_of, name), 0
    except GraphError:
        bare = name[1:] if name.startswith("+") else name
        match = _DOWNSTREAM.search(bare)
        if match is not None and match.start() > 0:
            levels = int(match.group(1)) if match.group(1) else None
            return _chosen(assets, by_ref, jobs, jobs_of, bare[:match.start()]), levels
        if bare != name:
            return _chosen(assets, by_ref, jobs, jobs_of, bare), 0
        raise


def _chosen(assets, by_ref, jobs, jobs_of, name):
    if name in jobs:
        return [name]
    asset, keys = parse_selection(assets, by_ref, name)
    return [job["id"] for job in jobs_of.get(asset.label, ())
            if all(compact(job["partition"][dim]) in texts for dim, texts in keys.items())]


def _downstream(jobs, chosen, levels):
    """The jobs that read the chosen ones, directly or not, up to levels deep (None: all)."""
    readers = {}
    for job in jobs:
        for upstream in job["dependencies"]:
            readers.setdefault(upstream, []).append(job["id"])
    found, frontier, depth = [], list(chosen), 0
    seen = set(chosen)
    while frontier and (levels is None or depth < levels):
        depth += 1
        frontier = [r for job_id in frontier for r in readers.get(job_id, ()) if not (r in seen or seen.add(r))]
        found += frontier
    return found


def parse_selection(assets, by_ref, name):
    """(asset, {dimension: the compact texts of the keys chosen}) for a --select name;
    GraphError with a suggestion for an unknown asset, dimension or key."""
    asset = find_asset(assets, by_ref, name)
    if asset is not None:
        return asset, {}
    slashes = [i for i, ch in enumerate(name) if ch == "/"]
    for i in slashes:
        asset = find_asset(assets, by_ref, name[:i])
        if asset is not None:
            return asset, _selected_keys(asset, name, name[i + 1:])
    head = name[: slashes[0]] if slashes else name
    raise GraphError(f"--select: no asset or job named '{name}'" + suggestion(head, typed_names(assets)))


def key_as_written(key):
    return key if isinstance(key, str) else compact(key)


def _selected_keys(asset, name, rest):
    """The dim=key parts after the asset's name. A key may hold "/": a part that does
    not start with one of the asset's dimensions continues the key before it."""
    parts = []
    for piece in rest.split("/"):
        dim = piece.split("=", 1)[0]
        if ("=" in piece and dim in asset.dimensions) or not parts:
            parts.append(piece)
        else:
            parts[-1] += "/" + piece
    chosen = {}
    for part in parts:
        dim, sep, text = part.partition("=")
        if dim not in asset.dimensions:
            known = f" (its dimensions: {', '.join(asset.dimensions)})" if asset.dimensions else \
                " (it is not partitioned)"
            if not sep:
                raise GraphError(f"--select '{name}': '{part}' after the asset's name is not DIMENSION=KEY{known}")
            hint = did_you_mean(dim, asset.dimensions)
            raise GraphError(f"--select '{name}': asset '{asset.label}' has no dimension '{dim}'{hint}{known}")
        if dim in chosen:
            raise GraphError(f"--select '{name}': dimension '{dim}' is given twice")
        chosen[dim] = {compact(asset.dimensions[dim][i]) for i in _matching_keys(asset, dim, text)}
        if not chosen[dim]:
            written = [key_as_written(k) for k in asset.dimensions[dim]]
            hint = did_you_mean(text, written)
            raise GraphError(f"--select '{name}': dimension '{dim}' of asset '{asset.label}' has no key '{text}'"
                             f"{hint} (its keys: {shortened(written)})")
    return chosen


def _matching_keys(asset, dim, text):
    """Indexes of the keys the text names: a string key as it is, then any key as
    JSON, then the key's escaped folder name as a job id shows it; failing those, an
    inclusive range first..last of an ordered dimension, or a glob."""
    keys = asset.dimensions[dim]
    found = [i for i, key in enumerate(keys) if isinstance(key, str) and key == text]
    if found:
        return found
    found = _named_keys(asset, dim, text)
    if found:
        return found
    if ".." in text:
        return _keys_in_range(asset, dim, text)
    if any(ch in text for ch in "*?["):
        import fnmatch

        return [i for i, key in enumerate(keys) if fnmatch.fnmatchcase(key_as_written(key), text)]
    return []


def _keys_in_range(asset, dim, text):
    """Indexes of the keys from first to last, both included: numbers compare as numbers,
    times with an offset as instants, other text as text (ISO dates in date order)."""
    first, _, last = text.partition("..")
    keys = asset.dimensions[dim]
    numbers = all(isinstance(k, (int, float)) and not isinstance(k, bool) for k in keys)
    texts = all(isinstance(k, str) for k in keys)
    if not (numbers or texts):
        raise GraphError(f"--select: dimension '{dim}' of asset '{asset.label}' is not ordered (its keys are not all "
                         "numbers or all text): it takes no range")

    def ordered(value):
        if numbers:
            return json.loads(value) if isinstance(value, str) else value
        return _instant(value)

    try:
        low = ordered(first) if first else None
        high = ordered(last) if last else None
        return [i for i, key in enumerate(keys)
                if (low is None or low <= ordered(key)) and (high is None or ordered(key) <= high)]
    except (ValueError, TypeError):
        raise GraphError(f"--select: '{text}' is not a range of dimension '{dim}' of asset '{asset.label}' "
                         f"(FIRST..LAST, {'numbers' if numbers else 'keys as written'})") from None


def _instant(text):
    """An ISO time with an offset as the instant it names, to compare across offsets;
    any other text as itself."""
    if "T" in text and text[-6:-5] in ("+", "-") or text.endswith("Z"):
        import datetime

        try:
            return (0, datetime.datetime.fromisoformat(text).timestamp())
        except ValueError:
            pass
    return (1, text)


def _named_keys(asset, dim, text):
    keys = asset.dimensions[dim]
    try:
        wanted = compact(json.loads(text))
    except ValueError:
        wanted = None
    found = [i for i, key in enumerate(keys) if compact(key) == wanted]
    return found or [i for i, component in enumerate(asset.components[dim]) if component == f"{dim}={text}"]


def load_assets(modules, warn=_cli.warn):
    """The assets the imported modules declare, their inputs resolved and their
    signatures checked, in dependency order; GraphError with every problem."""
    from _tolva import inspect_modules

    try:
        document = inspect_modules(modules)
    except Exception as exc:
        raise GraphError(f"cannot describe the modules {', '.join(modules)}: {_cli.describe(exc)}") from None
    problems = Problems()
    assets = resolve_inputs(assets_from_document(document, problems), problems)
    check_signatures(assets, warn, problems)
    find_checks(modules, assets, problems)
    problems.raise_any()
    return assets


# --- checks ----------------------------------------------------------------------


class Check:
    """A check of an asset: one job after each of the asset's jobs."""

    def __init__(self, module, attribute, function, declaration, asset):
        self.module, self.attribute, self.function = module, attribute, function
        self.name, self.blocking = declaration["name"], declaration["blocking"]
        self.asset = asset
        # A folder inside the asset job's own: no partition of the asset has a part there.
        self.component = "check=" + escape_component(self.name)
        self.value_parameter, self.keys = None, []
        self.fingerprint, self.code, self.parts = {}, None, {}

    def declaration(self):
        """What its value depends on in how it is declared (blocking is not: it decides
        what happens after, not what the check says)."""
        return {"check": self.name, "asset": f"{self.asset.module}:{self.asset.function_name}", "keys": self.keys}


def find_checks(modules, assets, problems):
    """Attaches to each asset the checks that the pipeline's modules (those named,
    those declaring assets, and the project's modules they imported) declare of it."""
    by_ref = {a.ref: a for a in assets}
    for asset in assets:
        asset.checks = []
    names = dict.fromkeys(list(modules) + [asset.module for asset in assets])
    project = fingerprint.Project(fingerprint.project_roots())
    names.update(dict.fromkeys(sorted(name for name, module in list(sys.modules.items())
                                      if name not in names and module is not None and project.owns_module(module))))
    loaded = [sys.modules[name] for name in names if name in sys.modules]
    for module, attribute, fn, declaration in checks.declared_in(loaded):
        problems.gather(_add_check, assets, by_ref, module, attribute, fn, declaration)


def _add_check(assets, by_ref, module, attribute, fn, declaration):
    name, target = declaration["name"], declaration["asset"]
    where = f"check '{name}' ({module}.{attribute})"
    if isinstance(target, dict):
        raise GraphError(f"{where} is of {target['not_an_asset']}, which is not an asset")
    try:
        asset = find_asset(assets, by_ref, target)
    except GraphError as exc:
        raise GraphError(f"{where}: {exc}") from None
    if asset is None:
        raise GraphError(f"{where} is of '{target}', which is not an asset of the inspected modules"
                         + suggestion(target, typed_names(assets)))
    twin = next((c for c in asset.checks if c.name == name), None)
    if twin is not None:
        raise GraphError(f"asset '{asset.label}' has two checks named '{name}': {twin.module}.{twin.attribute} "
                         f"and {module}.{attribute}")
    check = Check(module, attribute, fn, declaration, asset)
    try:
        check.value_parameter, check.keys = checks.receivers(fn, list(asset.dimensions))
    except ValueError as exc:
        raise GraphError(f"check '{name}' of '{asset.label}' cannot receive the value: {exc}") from None
    asset.checks.append(check)


def to_dot(assets):
    """The asset graph as Graphviz DOT: each asset with its partitions, each input an
    edge labelled with its parameter, each check a note on its asset (dashed when it
    does not block)."""
    def quote(text):
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

    lines = ["digraph tolva {", "  rankdir=LR;", '  node [shape=box, style=rounded, fontname="Helvetica"];',
             '  edge [fontname="Helvetica", fontsize=10];']
    for asset in assets:
        count = sum(1 for _ in partitions_of(asset))
        detail = ", ".join(f"{d}: {len(v)}" for d, v in asset.dimensions.items())
        label = asset.label + (f"\\n{count} partitions ({detail})" if asset.dimensions else "")
        lines.append(f"  {quote(asset.label)} [label={quote(label).replace(chr(92) * 2 + 'n', chr(92) + 'n')}];")
    for asset in assets:
        for parameter, upstream in sorted(asset.upstream.items()):
            period = asset.periods.get(parameter)
            label = parameter if period is None else f"{parameter} ({period[0]} {period[1]} {period[2]})"
            lines.append(f"  {quote(upstream.label)} -> {quote(asset.label)} [label={quote(label)}];")
    for asset in assets:
        for check in getattr(asset, "checks", ()):
            node = f"{asset.label} [check {check.name}]"
            kind = "blocking" if check.blocking else "not blocking"
            lines.append(f"  {quote(node)} [label={quote(f'check {check.name}')}, shape=note, tooltip={quote(kind)}];")
            lines.append(f"  {quote(asset.label)} -> {quote(node)} [style={'solid' if check.blocking else 'dashed'}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


def _annotation_text(annotation):
    if annotation is pyinspect.Parameter.empty:
        return None
    return annotation.__name__ if isinstance(annotation, type) else str(annotation)


def _list_element(annotation):
    """The element annotation of list[X] (as an object or a postponed string), or None
    for a bare list; NotImplemented when the annotation is not a list at all."""
    if annotation is list or annotation == "list":
        return None
    if getattr(annotation, "__origin__", None) is list and getattr(annotation, "__args__", None):
        return annotation.__args__[0]
    if isinstance(annotation, str) and annotation.startswith("list[") and annotation.endswith("]"):
        return annotation[5:-1]
    return NotImplemented


def annotation_mismatch(asset, upstream, annotation, parameter=None):
    """Why the parameter's annotation disagrees with what the upstream returns, or
    None. An input that reads several upstream jobs receives a list of them, so
    list[X] is compared by X, and a bare list always fits."""
    upstream_type = upstream.record["return_type"]
    wanted = _annotation_text(annotation)
    if not upstream_type or not wanted or asset.periods.get(parameter, ("",))[0] == "previous":
        return None  # a previous period's value may be None
    if not reads_one_job(asset, upstream) or asset.periods.get(parameter, ("",))[0] == "window":
        element = _list_element(annotation)
        if element is NotImplemented:
            shared = shared_dimensions(asset, upstream)
            which = f"the partitions of upstream '{upstream.label}' with its own {', '.join(shared)}" if shared \
                else f"every partition of upstream '{upstream.label}'"
            return f"is annotated {wanted} but gathers a list of {which}"
        element_text = None if element is None else _annotation_text(element)
        if element_text and element_text != upstream_type:
            return f"is annotated {wanted} but upstream '{upstream.label}' returns {upstream_type}"
        return None
    if upstream_type != wanted:
        return f"is annotated {wanted} but upstream '{upstream.label}' returns {upstream_type}"
    return None


def signature_of(fn):
    """inspect.signature(fn), or, when an annotation does not evaluate (it names a type
    imported only for type checkers), the signature with annotations as written."""
    try:
        return pyinspect.signature(fn)
    except Exception as exc:
        import annotationlib

        try:
            return pyinspect.signature(fn, annotation_format=annotationlib.Format.STRING)
        except Exception:
            raise exc from None


def check_signatures(assets, warn, problems):
    """Parameters without a default must be inputs or dimensions; an upstream's return
    annotation that differs from the parameter's annotation is worth a warning."""
    for asset in assets:
        problems.gather(_check_signature, asset, warn)


def _check_signature(asset, warn):
    fn, attribute = _find_function(asset)
    asset.attribute = attribute
    asset.function = fn
    stores = asset.format and formats.annotation_problem(asset.format, asset.record["return_type"])
    if stores:
        warn(f"asset '{asset.label}' {stores}")
    try:
        parameters = signature_of(fn).parameters
    except (TypeError, ValueError):
        return
    if not any(p.kind is p.VAR_KEYWORD for p in parameters.values()):
        for name in asset.inputs:
            if name not in parameters:
                free = [p for p in parameters if p not in asset.inputs and p not in asset.dimensions]
                raise GraphError(f"input '{name}' of '{asset.label}' is not a parameter" + did_you_mean(name, free))
        for name in asset.dimensions:
            if name not in parameters:
                raise GraphError(f"asset '{asset.label}': function has no parameter '{name}' to receive it")
    for name, parameter in parameters.items():
        if parameter.kind in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD):
            continue
        if parameter.kind is parameter.POSITIONAL_ONLY and (name in asset.upstream or name in asset.dimensions):
            raise GraphError(f"asset '{asset.label}': parameter '{name}' is positional-only and cannot be passed")
        if name in asset.upstream:
            mismatch = annotation_mismatch(asset, asset.upstream[name], parameter.annotation, name)
            if mismatch:
                warn(f"asset '{asset.label}': parameter '{name}' {mismatch}")
        elif name not in asset.dimensions and parameter.default is parameter.empty and name not in asset.inputs:
            raise GraphError(
                f"asset '{asset.label}': parameter '{name}' has no default and is neither an input "
                "nor a partition dimension"
            )


def _find_function(asset):
    """The user function and the module attribute that holds the asset: the worker
    looks the asset up by that attribute."""
    module = importlib.import_module(asset.module)
    candidates = [(asset.function_name, getattr(module, asset.function_name, None))]
    candidates += sorted(vars(module).items())
    for attribute, obj in candidates:
        if obj is None or getattr(obj, "__tolva_kind__", None) != "asset":
            continue
        fn = getattr(obj, "__tolva_original__", obj)
        if getattr(fn, "__name__", None) != asset.function_name:
            continue
        try:
            path = str(pathlib.Path(pyinspect.getsourcefile(fn)).resolve())
        except TypeError:
            path = ""
        if f"{path}:{asset.function_name}" == asset.ref:
            return fn, attribute
    raise GraphError(f"asset '{asset.label}' is not reachable as an attribute of module '{asset.module}'")


def declaration_of(asset):
    """The declaration as far as one job depends on it: every dimension's name, but not
    the other keys of the dimension (the job's own key is part of its inputs), so a new
    partition value leaves the existing jobs up to date. Inputs name their upstream
    assets relative to the project roots, so a moved checkout declares the same."""
    metadata = asset.record["decorator_metadata"]
    if not isinstance(metadata, dict):
        return metadata
    inputs = {parameter: upstream.module + ":" + upstream.function_name + period_suffix(asset.periods.get(parameter))
              for parameter, upstream in sorted(getattr(asset, "upstream", {}).items())}
    return dict(metadata, inputs=inputs or metadata.get("inputs"),
                partitions=sorted(metadata.get("partitions") or {}) or metadata.get("partitions"))


def period_suffix(period):
    return "" if period is None else f"|{period[0]}({period[1]}, {period[2]})"


def add_fingerprints(assets, project, warn):
    """Each asset's code fingerprint (over the project's code as imported here) and its
    declaration's digest; the job adds its inputs and what it was seen to use. A
    global an asset reads that has no stable description is named once per asset."""
    codes = fingerprint.CodeFingerprints(project)
    for asset in assets:
        asset.code, asset.parts, unstable = codes.of(asset.function)
        asset.fingerprint = {"code": asset.code,
                             "declaration": sha256(compact(declaration_of(asset)).encode(
                                 "utf-8", "surrogatepass")).hexdigest()}
        _warn_unstable(warn, f"asset '{asset.label}'", unstable)
        for check in getattr(asset, "checks", ()):
            check.code, check.parts, unstable = codes.of(check.function)
            check.fingerprint = {"code": check.code, "declaration": sha256(compact(check.declaration()).encode(
                "utf-8", "surrogatepass")).hexdigest()}
            _warn_unstable(warn, f"check '{check.name}' of '{asset.label}'", unstable)
    return codes


def _warn_unstable(warn, who, unstable):
    for name, type_name in unstable:
        warn(f"{who} reads '{name}', a {type_name} with no stable description: a change to it is not seen; run "
             "with --force after changing it")


# --- jobs ------------------------------------------------------------------------


def check_job(check, job, python, plan_file):
    """The job of a check of one of its asset's jobs: it reads that job's value."""
    job_id = f"{job['id']}/{check.component}"
    entry = {
        "id": job_id,
        "asset": job["asset"],
        "check": {"name": check.name, "blocking": check.blocking, "keys": check.keys},
        "module": check.module,
        "function": check.attribute,
        "partition": job["partition"],
        "dependencies": [job["id"]],
        "inputs": [{"parameter": check.value_parameter, "mode": "value", "from": [job["id"]]}],
        "output_dir": os.path.join(job["output_dir"], check.component),
        "fingerprint": check.fingerprint,
        "argv": [python, "-m", "tolva.run", "--from-plan", plan_file, "--job", job_id],
    }
    declared = getattr(check.function, "__tolva_policy__", None)
    if declared:
        entry["policy"] = declared  # @policy on a check: its retries and timeout
    return entry




def partitions_of(asset):
    dims = list(asset.dimensions)
    for keys in itertools.product(*(asset.dimensions[d] for d in dims)):
        yield dict(zip(dims, keys))


def partition_components(asset):
    """The folder names of each job's partition, in the order of partitions_of."""
    return itertools.product(*(asset.components[d] for d in asset.dimensions))


class _UpstreamIndex:
    """The jobs of each upstream asset grouped by their keys on the dimensions that a
    downstream asset shares with it, built once per pair, so planning stays linear."""

    def __init__(self):
        self.jobs_of = {}  # asset ref -> its jobs, in job order
        self.groups = {}  # (asset ref, shared dimensions) -> {shared keys: [jobs]}
        self.positions = {}  # (asset ref, dimension) -> {key as compact JSON: its index}

    def add(self, asset, job):
        self.jobs_of.setdefault(asset.ref, []).append(job)

    def read_by_period(self, asset, upstream, partition, period):
        """The upstream jobs of other periods the job reads: the one offset from its own
        (none before the first), or the window of size ending at its own, oldest first."""
        kind, dim, count = period
        keys = upstream.dimensions[dim]
        positions = self.positions.get((upstream.ref, dim))
        if positions is None:
            positions = self.positions[upstream.ref, dim] = {compact(k): i for i, k in enumerate(keys)}
        at = positions[compact(partition[dim])]
        chosen = [at + count] if kind == "previous" else range(max(0, at - count + 1), at + 1)
        found = []
        for index in chosen:
            if 0 <= index < len(keys):
                wanted = dict(partition, **{dim: keys[index]})
                found += self.read_by(asset, upstream, wanted)
        return found

    def read_by(self, asset, upstream, partition):
        """The upstream jobs that the job of this partition reads, in job order."""
        dims = tuple(shared_dimensions(asset, upstream))
        if not dims:
            return self.jobs_of[upstream.ref]
        groups = self.groups.get((upstream.ref, dims))
        if groups is None:
            groups = self.groups[upstream.ref, dims] = {}
            for job in self.jobs_of[upstream.ref]:
                groups.setdefault(compact([job["partition"][d] for d in dims]), []).append(job)
        return groups[compact([partition[d] for d in dims])]


def build_plan(assets, out_dir, workdir, python, plan_file, roots=()):
    """Jobs in dependency order, each with its inputs, output directory and argv. A
    job reads, for each input, the upstream jobs whose keys agree with its own on
    every dimension the two assets share: its one value when the upstream has no
    other dimension, otherwise the list of them."""
    out_dir = os.path.abspath(out_dir)
    jobs, index = [], _UpstreamIndex()
    blocking = {}  # job id -> the blocking checks of its value, which what reads it waits for
    for asset in assets:
        index.jobs_of[asset.ref] = []
        for partition, components in zip(partitions_of(asset), partition_components(asset)):
            parts = [asset.component, *components]
            job_id = "/".join(parts)
            inputs, dependencies = [], {}
            for parameter in sorted(asset.upstream):
                upstream = asset.upstream[parameter]
                period = asset.periods.get(parameter)
                if period is None:
                    sources = index.read_by(asset, upstream, partition)
                    mode = "value" if reads_one_job(asset, upstream) else "list"
                else:
                    sources = index.read_by_period(asset, upstream, partition, period)
                    mode = "maybe" if period[0] == "previous" else "list"
                inputs.append({"parameter": parameter, "mode": mode, "from": [j["id"] for j in sources]})
                for source in sources:
                    dependencies.update(dict.fromkeys([source["id"], *blocking.get(source["id"], ())]))
            job = {
                "id": job_id,
                "asset": asset.label,
                "module": asset.module,
                "function": asset.attribute,
                "partition": partition,
                "dependencies": list(dependencies),
                "inputs": inputs,
                "output_dir": os.path.join(out_dir, *parts),
                "fingerprint": asset.fingerprint,
                "argv": [python, "-m", "tolva.run", "--from-plan", plan_file, "--job", job_id],
            }
            if asset.format is not None and asset.format.name != formats.DEFAULT:
                job["format"] = asset.format.name
            declared = getattr(asset.function, "__tolva_policy__", None)
            if declared:
                job["policy"] = declared
            jobs.append(job)
            index.add(asset, job)
            for check in getattr(asset, "checks", ()):
                jobs.append(check_job(check, job, python, plan_file))
                if check.blocking:
                    blocking.setdefault(job_id, []).append(jobs[-1]["id"])
    return {"version": PLAN_VERSION, "id": os.urandom(8).hex(), "created": time.time(), "workdir": workdir,
            "out": out_dir, "python": python, "roots": list(roots), "jobs": jobs}
