"""Runs one Windows console program (a test binary) in a throwaway prefix
and exits with its exit code. Usage: run_in_wine.py PROGRAM.exe [ARGS...]"""
import os
import sys

import harness

if __name__ == "__main__":
    program, args = sys.argv[1], sys.argv[2:]
    name = os.path.splitext(os.path.basename(program))[0]
    with harness.Prefix(name) as prefix:
        result = prefix.run([program, *args], timeout=540)
    sys.stdout.write(result.stdout.decode(errors="replace"))
    sys.stderr.write(result.stderr.decode(errors="replace"))
    sys.exit(result.returncode)
