"""The command that starts this interpreter in a child process: sys.executable, or, where it
runs under emulation, the command VELMO_PYTHON_COMMAND names (the host cannot start the
target's binary itself)."""
import os
import shlex
import sys


def python():
    command = os.environ.get("VELMO_PYTHON_COMMAND")
    return shlex.split(command) if command else [sys.executable]


# Under emulation, memory and timing belong to the emulator as much as to the code.
EMULATED = bool(os.environ.get("VELMO_PYTHON_COMMAND"))
