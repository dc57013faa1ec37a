"""Puts pip into an empty virtual environment that ansible-test made.

ansible-test does this with a bootstrap script that it downloads from a host
outside the package index; this one takes pip from the interpreter's own
ensurepip and the pinned packages it is given from the package index.
Arguments: pip's install options and packages (``--no-setuptools`` and
``--no-wheel`` are for the original script and are dropped).
"""
import subprocess
import sys

args = [a for a in sys.argv[1:] if a not in ("--no-setuptools", "--no-wheel")]
subprocess.check_call([sys.executable, "-m", "ensurepip", "--default-pip"], stdout=subprocess.DEVNULL)
subprocess.check_call([sys.executable, "-m", "pip", "install", "-q"] + args)
