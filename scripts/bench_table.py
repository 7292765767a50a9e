#!/usr/bin/env python3
"""Runs the benchmarks CTest knows (label "bench") one after another and prints their figures as one
table: every line a benchmark prints must read `name: value unit`, and those lines are printed as they
are, nothing else. A benchmark that fails (non-zero exit, time-out, or a line that is not a figure) is
named after the table with its full output, on standard error, and the exit status is 1.

Usage: bench_table.py <build dir> [ctest selection arguments, e.g. -R hooking]
"""
import json
import os
import re
import subprocess
import sys
import tempfile

FIGURE = re.compile(r"^[A-Za-z0-9_.]+: -?[0-9]+(\.[0-9]+)? \S+$")


def benchmarks(build_dir, selection):
    """(name, command, properties) of every selected benchmark and its fixtures, in CTest's order."""
    listing = subprocess.run(["ctest", "--test-dir", build_dir, "-L", "bench", "--show-only=json-v1", *selection],
                             stdout=subprocess.PIPE, text=True, check=True)
    for test in json.loads(listing.stdout).get("tests", []):
        properties = {p["name"]: p["value"] for p in test.get("properties", [])}
        yield test["name"], test["command"], properties


def run(command, properties):
    """How the command failed ("" when it did not) and everything it printed."""
    environment = dict(os.environ)
    for item in properties.get("ENVIRONMENT", []):
        key, _, value = item.partition("=")
        environment[key] = value
    # A file rather than a pipe: a Wine helper process that outlives the benchmark must not hold
    # the output open.
    with tempfile.TemporaryFile("w+", errors="replace") as output:
        try:
            code = subprocess.run(command, cwd=properties.get("WORKING_DIRECTORY"), env=environment,
                                  stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                  timeout=properties.get("TIMEOUT")).returncode
            status = "" if code == 0 else f"failed (exit code {code})"
        except subprocess.TimeoutExpired:
            status = "timed out"
        output.seek(0)
        return status, output.read()


def main(argv):
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    failures = []
    for name, command, properties in benchmarks(argv[0], argv[1:]):
        status, output = run(command, properties)
        if "bench" not in properties.get("LABELS", []):
            # A fixture the benchmarks need (the Wine prefix): its output is no figure.
            if status:
                failures.append((name, status, output))
            continue
        lines = output.splitlines()
        figures = [line for line in lines if FIGURE.match(line)]
        for line in figures:
            print(line, flush=True)
        if status:
            failures.append((name, status, output))
        elif len(figures) != len(lines):
            failures.append((name, "printed lines that are not `name: value unit`", output))
    for name, what, output in failures:
        print(f"\n{name} {what}; its output:\n{output}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
