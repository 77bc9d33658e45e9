#!/usr/bin/env python3
"""layers.py - the driver's folders depend in one direction.

driver_layers.txt at the root lists the driver's folders, lowest layer
first. A folder's files may include the headers of their own folder and of
the folders listed before it; an include of a folder listed after it runs
upward and is a finding. Each folder's header (<folder>/<folder>.h) opens
with two lines: what the folder is, and `// May call: a/, b/.` naming the
lower folders it uses (`platform/ only` for the lowest). The sign must be
true: a folder included without being named there, a named folder that no
file includes, or one that is not below the folder, is a finding too.

Reads every `#include "..."` line of the folders' .h and .cpp files and
prints the include graph between folders, lowest first, with the number of
include lines behind each edge.

Usage: layers.py [--root DIR]
Exit status: 0 no finding, 1 findings, 2 the list or a folder is missing.
"""

import argparse
import os
import re
import sys

LAYERS_FILE = "driver_layers.txt"
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
SIGN = re.compile(r"^//\s*May call:\s*(.*)$")


def read_layers(root):
    """The driver's folders, lowest first, from driver_layers.txt."""
    folders = []
    with open(os.path.join(root, LAYERS_FILE), encoding="utf-8") as f:
        for line in f:
            word = line.split("#", 1)[0].split()
            if word:
                folders.append(word[0])
    return folders


def sources(root, folder):
    path = os.path.join(root, folder)
    for name in sorted(os.listdir(path)):
        if name.endswith((".h", ".cpp")):
            yield os.path.join(folder, name)


def includes(root, relative):
    with open(os.path.join(root, relative), encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            match = INCLUDE.match(text)
            if match:
                yield number, match.group(1)


def sign(root, folder):
    """The folders named by the header's `May call:` line, or None."""
    header = os.path.join(root, folder, folder + ".h")
    if not os.path.exists(header):
        return None
    with open(header, encoding="utf-8") as f:
        lines = [f.readline().rstrip("\n") for _ in range(2)]
    match = SIGN.match(lines[1]) if lines[0].startswith("// " + folder + "/:") else None
    if not match:
        return None
    return set(re.findall(r"([a-z_]+)/", match.group(1))) - {"platform"}


def check(root):
    folders = read_layers(root)
    rank = {folder: index for index, folder in enumerate(folders)}
    edges = {}      # (from, to) -> [(file, line)]
    findings = []
    for folder in folders:
        if not os.path.isdir(os.path.join(root, folder)):
            raise FileNotFoundError("%s names %s/, which does not exist" % (LAYERS_FILE, folder))
        for relative in sources(root, folder):
            for number, target in includes(root, relative):
                to = target.split("/", 1)[0]
                if to == folder or to not in rank:
                    continue
                edges.setdefault((folder, to), []).append((relative, number))
                if rank[to] > rank[folder]:
                    findings.append("%s:%d: upward include of %s: %s/ is above %s/ in %s" % (
                        relative, number, target, to, folder, LAYERS_FILE))
    for folder in folders:
        named = sign(root, folder)
        header = "%s/%s.h" % (folder, folder)
        if named is None:
            findings.append("%s: does not open with '// %s/: what it is' and '// May call: ...'"
                            % (header, folder))
            continue
        used = {to for (frm, to) in edges if frm == folder and rank[to] < rank[folder]}
        for to in sorted(used - named, key=rank.get):
            where = "%s:%d" % edges[(folder, to)][0]
            findings.append("%s: includes %s/, which %s's 'May call' line does not name"
                            % (where, to, header))
        for to in sorted(named - used, key=lambda f: rank.get(f, -1)):
            if to not in rank:
                findings.append("%s: 'May call' names %s/, which is not a driver folder"
                                % (header, to))
            elif rank[to] > rank[folder]:
                findings.append("%s: 'May call' names %s/, which is above it" % (header, to))
            else:
                findings.append("%s: 'May call' names %s/, which no file of %s/ includes"
                                % (header, to, folder))
    return folders, edges, findings


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.getcwd(), help="the repository root")
    options = parser.parse_args(argv)
    root = os.path.abspath(options.root)
    try:
        folders, edges, findings = check(root)
    except (OSError, FileNotFoundError) as error:
        print("layers: %s" % error, file=sys.stderr)
        return 2
    print("include graph, lowest layer first (include lines per edge):")
    for folder in folders:
        out = sorted(((to, len(where)) for (frm, to), where in edges.items() if frm == folder),
                     key=lambda pair: folders.index(pair[0]))
        print("  %-10s -> %s" % (folder + "/", ", ".join("%s/ (%d)" % pair for pair in out)
                                  or "platform/ only"))
    for finding in findings:
        print(finding)
    print("layers: %d folders, %d edges, %d finding%s" % (
        len(folders), len(edges), len(findings), "" if len(findings) == 1 else "s"))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
