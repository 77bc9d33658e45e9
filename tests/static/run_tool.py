#!/usr/bin/env python3
"""Runs clang-tidy, clang or the clang static analyzer over the driver folders.

    run_tool.py tidy|warnings|analyze --build BUILD_DIR --root SOURCE_DIR --tool PROGRAM

The sources and their flags come from the build's compile_commands.json, so
the tools see what the compiler sees. `warnings` compiles each source with
clang (syntax only) under the build's flags, the driver's warnings as
errors among them; the analyzer does not report compiler warnings itself.
Every driver source must be in the database. Any warning or error is a
finding; the exit status is 1 when there is one, 77 when the tool is missing.
"""

import argparse
import concurrent.futures
import json
import os
import shlex
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tools", "layers"))
import layers  # noqa: E402

# core, unix, security and cplusplus, dead stores, and the alpha checkers of
# core, unix and array bounds. Left out: alpha.security.ReturnPtrRange, which
# reports IoGetNextIrpStackLocation on every request (the stack locations are
# an array behind the IRP that its declaration does not show).
ANALYZER_CHECKERS = ("core,unix,security,cplusplus,deadcode,alpha.core,alpha.unix,"
                     "alpha.security.ArrayBound,alpha.security.ArrayBoundV2")


def driver_entries(build, root):
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        database = json.load(f)
    wanted = set()
    for folder in layers.read_layers(root):
        for name in os.listdir(os.path.join(root, folder)):
            if name.endswith(".cpp"):
                wanted.add(os.path.realpath(os.path.join(root, folder, name)))
    entries = {}
    for entry in database:
        path = os.path.realpath(os.path.join(entry["directory"], entry["file"]))
        if path in wanted and path not in entries:
            entries[path] = entry
    missing = sorted(wanted - set(entries))
    if missing:
        sys.exit("not in %s/compile_commands.json: %s" % (build, ", ".join(missing)))
    return [entries[path] for path in sorted(entries)]


def tidy(entry, tool, build):
    command = [tool, "-p", build, "--quiet", "--extra-arg=-Wno-unknown-warning-option",
               entry["file"]]
    return command, entry["directory"]


def compile_flags(entry, tool):
    """The entry's compile command for another compiler, without -c and -o."""
    words = entry.get("arguments") or shlex.split(entry["command"])
    command = [tool]
    skip = False
    for word in words[1:]:
        if skip:
            skip = False
            continue
        if word == "-o":
            skip = True
            continue
        if word == "-c" or word == entry["file"]:
            continue
        command.append(word)
    # gcc-only options of the build (-Wno-restrict) are not clang's concern
    return command + ["-Wno-unknown-warning-option"]


def warnings(entry, tool, build):
    # clang's thread-safety analysis holds the fields marked with the lock
    # that guards them against every access.
    return compile_flags(entry, tool) + ["-Wthread-safety", "-ferror-limit=0", "-fsyntax-only", entry["file"]], \
        entry["directory"]


def analyze(entry, tool, build):
    command = compile_flags(entry, tool) + [
        "--analyze", "-Xclang", "-analyzer-checker=" + ANALYZER_CHECKERS, "-Xclang",
        "-analyzer-output=text", "-o", os.devnull, entry["file"]]
    return command, entry["directory"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=("tidy", "warnings", "analyze"))
    parser.add_argument("--build", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--tool", default="")
    options = parser.parse_args()
    if not options.tool or not os.path.exists(options.tool):
        print("skipped: %s not found" % ("clang-tidy" if options.mode == "tidy" else "clang++"))
        return 77
    entries = driver_entries(options.build, options.root)
    make = {"tidy": tidy, "warnings": warnings, "analyze": analyze}[options.mode]

    def run(entry):
        command, directory = make(entry, options.tool, options.build)
        done = subprocess.run(command, cwd=directory, capture_output=True, text=True)
        return entry["file"], done.returncode, done.stdout + done.stderr

    findings = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for name, code, output in pool.map(run, entries):
            lines = [l for l in output.splitlines() if " warning: " in l or " error: " in l]
            if code != 0 or lines:
                findings += max(1, len(lines))
                print(output.rstrip())
    print("%s: %d driver sources, %d finding%s" % (
        options.mode, len(entries), findings, "" if findings == 1 else "s"))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
