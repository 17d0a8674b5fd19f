"""python -m tolva.inspect MODULE [MODULE ...]: print the assets of modules as JSON.

Writes the text that ``_tolva.inspect_modules`` returns, and a newline, to standard
output. Modules that fail to import are reported on standard error and skipped; the
document is still printed, and the exit status is 1 so that scripts notice.
"""

import sys

from tolva import _cli

PROG = "python -m tolva.inspect"


def build_parser(prog=None):
    parser = _cli.argument_parser(
        prog=prog,
        description="Describe every tolva asset of the given modules as one JSON document.",
    )
    _cli.add_version(parser)
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="module to inspect (dotted name)")
    parser.add_argument("--pretty", action="store_true", help="indent the document for people")
    return parser


@_cli.command
def main(argv=None, prog=None):
    """Entry point; prog defaults to the name the program was started by."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    _cli.make_cwd_importable()
    from _tolva import inspect_modules

    try:
        text = _cli.call(parser.prog, inspect_modules, args.modules)
    except _cli.Failed:
        return 1
    if args.pretty:
        import json

        text = json.dumps(json.loads(text), indent=2, ensure_ascii=False)
    out = sys.stdout.buffer
    out.write(text.encode("utf-8") + b"\n")
    out.flush()
    # A module that failed to import is never left in sys.modules.
    return 0 if all(name in sys.modules for name in args.modules) else 1


if __name__ == "__main__":
    sys.exit(main(prog=PROG))
