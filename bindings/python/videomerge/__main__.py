# SPDX-License-Identifier: MIT
"""python -m videomerge ARGS...: the videomerge command (probe, check,
merge), as the wheel carries it beside the library."""
import os
import sys

COMMAND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bin",
                       "videomerge.exe" if os.name == "nt" else "videomerge")


def main() -> int:
    if not os.path.isfile(COMMAND):
        sys.stderr.write("videomerge: this installation has no videomerge command (%s); "
                         "install the wheel, or build the command with CMake\n" % COMMAND)
        return 1
    args = [COMMAND] + sys.argv[1:]
    if os.name == "nt":  # no exec on Windows that keeps the exit code
        import subprocess
        return subprocess.call(args)
    os.execv(COMMAND, args)
    return 1  # not reached


if __name__ == "__main__":
    sys.exit(main())
