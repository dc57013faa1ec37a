"""The ``zorna-admin-events`` command's entry point.

bash completion runs the command on every Tab (``zorna-admin-events
__complete ...``, see completion.py); that call is answered from here without
importing the parser module or argparse, let alone the extension module.
"""

import sys

from .names import COMPLETE


def main(argv=None):
    if argv is None:
        argv = sys.argv[1:]
    if argv[:1] == [COMPLETE]:
        from .completion import complete

        return complete(argv[1:])
    from .cli import main as run

    return run(argv)
