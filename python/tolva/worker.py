"""python -m tolva.worker MODULE FUNCTION OUTPUT_DIR [--inputs JSON | --inputs-file PATH]

Computes one asset with ``_tolva.materialize_asset``: ``value.json`` and
``result.json`` appear in OUTPUT_DIR. Exit status 0 on success, 1 when the asset
failed (``result.json`` then holds the failure record) or could not be set up, 2 for
usage errors. ``--inputs-file`` takes the keyword arguments as a JSON object from a
file ("-" for standard input), for values too large for a command line.
"""

import argparse
import sys

from tolva import _cli

PROG = "python -m tolva.worker"


def build_parser(prog=None):
    parser = argparse.ArgumentParser(prog=prog, description="Materialize one tolva asset into a directory.")
    parser.add_argument("module", metavar="MODULE", help="module that declares the asset (dotted name)")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in that module")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="directory for value.json and result.json")
    inputs = parser.add_mutually_exclusive_group()
    inputs.add_argument("--inputs", metavar="JSON", help="keyword arguments as a JSON object")
    inputs.add_argument("--inputs-file", metavar="PATH", help='file holding the JSON object ("-": standard input)')
    return parser


def read_inputs(parser, args):
    if args.inputs_file is None:
        return args.inputs
    try:
        if args.inputs_file == "-":
            return sys.stdin.buffer.read().decode("utf-8")
        with open(args.inputs_file, encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeDecodeError) as exc:
        parser.error(f"cannot read --inputs-file: {_cli.describe(exc)}")


def main(argv=None, prog=None):
    """Entry point; prog defaults to the name the program was started by."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    inputs = read_inputs(parser, args)
    _cli.make_cwd_importable()
    from _tolva import materialize_asset

    try:
        # A failed materialization raises SystemExit(1): its record is in result.json.
        _cli.call(parser.prog, materialize_asset, args.module, args.function, args.output_dir, inputs)
    except _cli.Failed:
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(prog=PROG))
