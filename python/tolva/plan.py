"""Pipelines as plans: the asset graph, one job per partition combination, and the
inputs each job receives. Scheduler-neutral: a plan is plain JSON, and each job is one
command that any engine can run on a machine that sees the same files.
"""

import hashlib
import importlib
import inspect as pyinspect
import itertools
import json
import os
import pathlib
import re

PLAN_VERSION = 1


class GraphError(Exception):
    """The modules declare a pipeline that cannot run (unknown input, cycle, ...)."""


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, sort_keys=True)


# --- path components -------------------------------------------------------------

# Printable ASCII that is safe in a file name on every common system; everything
# else is percent-encoded as UTF-8 bytes. "%" and "~" are always encoded, so the
# hashed form of an overlong component ("~" and a digest) cannot be forged.
_SAFE = re.compile(r"[A-Za-z0-9 !#$&'()+,\-.;=@\[\]^_`{}]")
_MAX_COMPONENT = 120


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
    if len(name) > _MAX_COMPONENT:
        digest = hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:16]
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


def partition_path(partition):
    """Relative path of a job inside its asset's directory: dim=key per dimension."""
    return [escape_component(f"{dim}={key_text(key)}") for dim, key in partition.items()]


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
        specs = meta.get("partitions") or {}
        self.dimensions = {dim: json.loads(specs[dim]["values_json"]) for dim in sorted(specs)}
        self.label = self.display_name or self.function_name
        self.attribute = self.function_name
        self.parameters = None  # name -> inspect.Parameter, filled by check_signatures

    def __repr__(self):
        return f"Asset({self.label!r})"


def assets_from_document(document):
    """One Asset per reference string; the first listed module that shows it wins."""
    by_ref = {}
    for record in json.loads(document)["assets"]:
        asset = Asset(record)
        by_ref.setdefault(asset.ref, asset)
    assets = list(by_ref.values())
    # Labels name directories and jobs, so they must be unique.
    counts = {}
    for asset in assets:
        counts[asset.label] = counts.get(asset.label, 0) + 1
    for asset in assets:
        if counts[asset.label] > 1:
            asset.label = f"{asset.label}~{hashlib.sha256(asset.ref.encode()).hexdigest()[:8]}"
    return assets


def resolve_inputs(assets):
    """Maps each input to its upstream Asset; refuses unknown references and cycles."""
    by_ref = {a.ref: a for a in assets}
    for asset in assets:
        asset.upstream = {}
        for parameter, ref in sorted(asset.inputs.items()):
            if ref not in by_ref:
                raise GraphError(
                    f"asset '{asset.label}': input '{parameter}' refers to '{ref}', "
                    "which is not an asset of the inspected modules"
                )
            asset.upstream[parameter] = by_ref[ref]
        clash = sorted(set(asset.upstream) & set(asset.dimensions))
        if clash:
            raise GraphError(f"asset '{asset.label}': '{clash[0]}' is both an input and a partition dimension")
    return topological_order(assets)


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


def select(assets, names):
    """The named assets (by label, function name or reference) and all they need."""
    wanted, queue = set(), []
    for name in names:
        matches = [a for a in assets if name in (a.label, a.function_name, a.display_name, a.ref)]
        if not matches:
            raise GraphError(f"--select: no asset named '{name}'")
        queue.extend(matches)
    while queue:
        asset = queue.pop()
        if asset.ref not in wanted:
            wanted.add(asset.ref)
            queue.extend(asset.upstream.values())
    return [a for a in assets if a.ref in wanted]


def _annotation_text(annotation):
    if annotation is pyinspect.Parameter.empty:
        return None
    return annotation.__name__ if isinstance(annotation, type) else str(annotation)


def check_signatures(assets, warn):
    """Parameters without a default must be inputs or dimensions; an upstream's return
    annotation that differs from the parameter's annotation is worth a warning."""
    for asset in assets:
        fn, attribute = _find_function(asset)
        asset.attribute = attribute
        try:
            parameters = pyinspect.signature(fn).parameters
        except (TypeError, ValueError):
            continue
        for name, parameter in parameters.items():
            if parameter.kind in (parameter.VAR_POSITIONAL, parameter.VAR_KEYWORD):
                continue
            if parameter.kind is parameter.POSITIONAL_ONLY and (name in asset.upstream or name in asset.dimensions):
                raise GraphError(f"asset '{asset.label}': parameter '{name}' is positional-only and cannot be passed")
            if name in asset.upstream:
                upstream_type = asset.upstream[name].record["return_type"]
                wanted = _annotation_text(parameter.annotation)
                if upstream_type and wanted and upstream_type != wanted:
                    warn(
                        f"asset '{asset.label}': parameter '{name}' is annotated {wanted} but upstream "
                        f"'{asset.upstream[name].label}' returns {upstream_type}"
                    )
            elif name not in asset.dimensions and parameter.default is parameter.empty:
                raise GraphError(
                    f"asset '{asset.label}': parameter '{name}' has no default and is neither an input "
                    "nor a partition dimension"
                )
        for name in list(asset.upstream) + list(asset.dimensions):
            if name not in parameters and not any(p.kind is p.VAR_KEYWORD for p in parameters.values()):
                raise GraphError(f"asset '{asset.label}': function has no parameter '{name}' to receive it")


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


# --- jobs ------------------------------------------------------------------------


def partitions_of(asset):
    dims = list(asset.dimensions)
    for keys in itertools.product(*(asset.dimensions[d] for d in dims)):
        yield dict(zip(dims, keys))


def build_plan(assets, out_dir, workdir, python, plan_file):
    """Jobs in dependency order, each with its inputs, output directory and argv."""
    out_dir = os.path.abspath(out_dir)
    jobs, jobs_of = [], {}
    for asset in assets:
        jobs_of[asset.ref] = []
        for partition in partitions_of(asset):
            parts = [asset_component(asset.label)] + partition_path(partition)
            job_id = "/".join(parts)
            inputs, dependencies = [], []
            for parameter in sorted(asset.upstream):
                upstream = asset.upstream[parameter]
                if set(upstream.dimensions) <= set(partition):
                    wanted = {d: partition[d] for d in upstream.dimensions}
                    sources = [j for j in jobs_of[upstream.ref] if compact(j["partition"]) == compact(wanted)]
                    mode = "value"
                else:
                    sources, mode = jobs_of[upstream.ref], "list"
                inputs.append({"parameter": parameter, "mode": mode, "from": [j["id"] for j in sources]})
                dependencies.extend(j["id"] for j in sources if j["id"] not in dependencies)
            job = {
                "id": job_id,
                "asset": asset.label,
                "module": asset.module,
                "function": asset.attribute,
                "partition": partition,
                "dependencies": dependencies,
                "inputs": inputs,
                "output_dir": os.path.join(out_dir, *parts),
                "argv": [python, "-m", "tolva.run", "--from-plan", plan_file, "--job", job_id],
            }
            jobs.append(job)
            jobs_of[asset.ref].append(job)
    return {"version": PLAN_VERSION, "workdir": workdir, "out": out_dir, "python": python, "jobs": jobs}
