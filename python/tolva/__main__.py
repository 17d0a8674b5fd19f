"""python -m tolva: the commands tolva offers."""

import sys

from tolva import __version__

COMMANDS = """\
tolva {version}: declare data-pipeline assets as plain Python functions.

commands:
  python -m tolva.run MODULE ...      plan and run the pipeline the modules declare
  python -m tolva.inspect MODULE ...  describe every asset of the modules as JSON
  python -m tolva.worker MODULE FUNCTION OUTPUT_DIR
                                      compute one asset into a directory

Each command takes --help.
"""


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv in (["--version"], ["-V"]):
        print(f"tolva {__version__}")
        return 0
    if argv and argv[0] not in ("-h", "--help"):
        print(f"python -m tolva: error: unknown command '{argv[0]}'; run python -m tolva.run, "
              "tolva.inspect or tolva.worker", file=sys.stderr)
        return 2
    sys.stdout.write(COMMANDS.format(version=__version__))
    return 0


if __name__ == "__main__":
    sys.exit(main())
