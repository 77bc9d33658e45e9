#!/usr/bin/env python3
"""Instructions per byte of the data paths, by source folder.

Runs bench/path_cost under callgrind (valgrind) and reads the one dump per
case that path_cost makes around its measured stretch. Every instruction is
charged to a folder of the repository:

  - an instruction from a source file of the repository goes to that file's
    folder (the driver's folders as driver_layers.txt lists them, sim/kernel/,
    sim/usb/, sim/chip/, sim/line/, tests/, bench/);
  - one from a system header inlined into a function of the repository (a
    std::vector operation, say) goes to that function's folder;
  - one of a function outside the repository (the C and C++ runtime: memcpy,
    malloc, an instantiated std:: template) goes to the functions that
    called it, in proportion to what each call cost, up the callers until a
    function of the repository is reached.

So memcpy called by the driver's RtlCopyMemory is the driver's, and malloc
called by the simulated pool is the simulated kernel's.

  python3 bench/cost_by_folder.py build/release/bench/path_cost [--bytes N]
          [--top K] [--keep DIR] [-- PATH_COST_ARGUMENTS...]
  python3 bench/cost_by_folder.py --dumps DIR [--bytes N] [--top K]

--root names the source tree the binary was built from when it is not this
one (a copy of another commit, say).

Prints, per case, the instructions per byte of each folder, of the driver
(its folders together) and of the whole, and the driver's K costliest routines
(self, with the runtime they call).
"""
import argparse
import collections
import glob
import os
import re
import subprocess
import sys
import tempfile

REPO = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
SIM_FOLDERS = ["sim/kernel", "sim/usb", "sim/chip", "sim/line", "sim/win32", "tests", "bench"]


def driver_folders(root):
    """The driver's folders as driver_layers.txt lists them (older trees
    without it: the seven folders they had)."""
    try:
        with open(os.path.join(root, "driver_layers.txt"), encoding="utf-8") as f:
            folders = [line.split("#")[0].strip() for line in f]
        return [x for x in folders if x]
    except OSError:
        return ["driver", "uart", "serial", "receive", "transmit", "status", "power"]


DRIVER_FOLDERS = driver_folders(REPO)
FOLDERS = DRIVER_FOLDERS + SIM_FOLDERS
OUTSIDE = "(outside the repository)"


def folder_of(path):
    """The repository folder of a source path, or None outside it."""
    if not path or not os.path.isabs(path):
        return None  # the runtime's sources are named relative to its build
    full = os.path.realpath(path)
    if not full.startswith(REPO + os.sep):
        return None
    rel = os.path.relpath(full, REPO)
    for f in FOLDERS:
        if rel.startswith(f + "/"):
            return f
    return rel.split("/")[0]


def parse(path):
    """Self cost per (function, folder of the code) and call edges of one dump.

    Returns (name, self_cost, edges, function_folder):
      self_cost[(fn, folder)] = instructions; folder None = outside the repo
      edges[callee_fn][caller_fn] = inclusive instructions of those calls
      function_folder[fn] = folder of the file the function is in (or None)
    A function is keyed by (object, file, name).
    """
    names = {}  # (kind, id) -> text, for the compressed names

    def resolve(kind, value):
        m = re.match(r"\((\d+)\)(?: (.*))?$", value)
        if not m:
            return value
        key = (kind, m.group(1))
        if m.group(2) is not None:
            names[key] = m.group(2)
        return names.get(key, value)

    name = os.path.basename(path)
    self_cost = collections.Counter()
    edges = collections.defaultdict(collections.Counter)
    function_folder = {}
    ob = fl = fi = None
    fn = None
    cob = cfl = cfn = None
    pending_call = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            c = line[0]
            if c.isdigit() or c in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if pending_call:
                    callee = (cob or ob, cfl or fi or fl, cfn)
                    edges[callee][fn] += cost
                    pending_call = False
                    cob = cfl = cfn = None
                    continue
                code_folder = folder_of(fi or fl)
                self_cost[(fn, code_folder)] += cost
                continue
            key, _, value = line.partition("=")
            if key == "desc" and value.startswith(" Trigger: Client Request: "):
                name = value[len(" Trigger: Client Request: "):]
            elif line.startswith("desc: Trigger: Client Request: "):
                name = line[len("desc: Trigger: Client Request: "):]
            elif key == "ob":
                ob = resolve("ob", value)
            elif key == "fl":
                fl = resolve("fl", value)
                fi = None
            elif key in ("fi", "fe"):
                fi = resolve("fl", value)
            elif key == "fn":
                fn = (ob, fl, resolve("fn", value))
                fi = None
                function_folder[fn] = folder_of(fl)
            elif key == "cob":
                cob = resolve("ob", value)
            elif key in ("cfi", "cfl"):
                cfl = resolve("fl", value)
            elif key == "cfn":
                cfn = resolve("fn", value)
            elif key == "calls":
                pending_call = True
    # A function's folder: that of its file, or, when its file is a system
    # header (its first instruction came from one inlined), the repository
    # folder most of its own code comes from.
    mostly = collections.defaultdict(collections.Counter)
    for (fn, code_folder), cost in self_cost.items():
        if code_folder:
            mostly[fn][code_folder] += cost
    for fn, folder in function_folder.items():
        if folder is None and mostly.get(fn):
            function_folder[fn] = mostly[fn].most_common(1)[0][0]
    return name, self_cost, edges, function_folder


def attribute(self_cost, edges, function_folder):
    """Instructions per folder, and per repository function (its own code and
    the runtime charged to it)."""
    per_folder = collections.Counter()
    per_function = collections.Counter()
    outside = collections.Counter()  # fn -> cost still to charge to callers
    for (fn, code_folder), cost in self_cost.items():
        folder = code_folder or function_folder.get(fn)
        if folder:
            per_folder[folder] += cost
            if code_folder is None or code_folder == function_folder.get(fn):
                per_function[fn] += cost
        else:
            outside[fn] += cost
    # Callees are keyed by the file named at the call; match them to the
    # functions by object and name.
    by_name = collections.defaultdict(list)
    for fn in function_folder:
        by_name[(fn[0], fn[2])].append(fn)
    callers = collections.defaultdict(collections.Counter)
    for callee, into in edges.items():
        for target in by_name.get((callee[0], callee[2]), [callee]):
            for caller, cost in into.items():
                callers[target][caller] += cost
    for _ in range(30):  # hand the cost up the callers, level by level
        if not outside:
            break
        nxt = collections.Counter()
        for fn, cost in outside.items():
            into = {k: v for k, v in callers.get(fn, {}).items() if k != fn}
            total = sum(into.values())
            if not total:
                per_folder[OUTSIDE] += cost
                continue
            for caller, share in into.items():
                part = cost * share / total
                folder = function_folder.get(caller)
                if folder:
                    per_folder[folder] += part
                    per_function[caller] += part
                else:
                    nxt[caller] += part
        outside = nxt
    for cost in outside.values():
        per_folder[OUTSIDE] += cost
    return per_folder, per_function


def short(fn_name):
    name = fn_name.replace("(anonymous namespace)::", "")
    return re.sub(r"\(.*", "", name)


def report(dumps, size, top):
    print("| case | whole | driver | " + " | ".join(FOLDERS[len(DRIVER_FOLDERS):]) +
          " | outside | driver's costliest routines (instructions per byte) |")
    print("|---|" + "---:|" * (3 + len(FOLDERS) - len(DRIVER_FOLDERS)) + "---|")
    rows = []
    for path in dumps:
        name, self_cost, edges, function_folder = parse(path)
        per_folder, per_function = attribute(self_cost, edges, function_folder)
        whole = sum(per_folder.values())
        driver = sum(per_folder[f] for f in DRIVER_FOLDERS)
        cells = [name, f"{whole / size:.0f}", f"{driver / size:.1f}"]
        for f in FOLDERS[len(DRIVER_FOLDERS):]:
            cells.append(f"{per_folder[f] / size:.1f}")
        cells.append(f"{per_folder[OUTSIDE] / size:.1f}")
        mine = [(cost, fn) for fn, cost in per_function.items()
                if function_folder.get(fn) in DRIVER_FOLDERS]
        mine.sort(reverse=True)
        cells.append(", ".join(f"{short(fn[2])} {cost / size:.1f}" for cost, fn in mine[:top]))
        rows.append(cells)
        print("| " + " | ".join(cells) + " |")
        sys.stdout.flush()
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("binary", nargs="?", help="path_cost")
    ap.add_argument("--bytes", type=int, default=1 << 20)
    ap.add_argument("--top", type=int, default=6)
    ap.add_argument("--keep", help="keep the callgrind dumps in this directory")
    ap.add_argument("--dumps", help="read the dumps of an earlier run from this directory")
    ap.add_argument("--root", help="the source tree the binary was built from (default: this one)")
    argv = sys.argv[1:]
    extra = argv[argv.index("--") + 1:] if "--" in argv else []
    a = ap.parse_args(argv[:argv.index("--")] if "--" in argv else argv)
    if a.root:
        global REPO, DRIVER_FOLDERS, FOLDERS
        REPO = os.path.realpath(a.root)
        DRIVER_FOLDERS = driver_folders(REPO)
        FOLDERS = DRIVER_FOLDERS + SIM_FOLDERS
    if a.dumps:
        directory = a.dumps
    else:
        if not a.binary:
            ap.error("give the path_cost binary or --dumps")
        directory = a.keep or tempfile.mkdtemp(prefix="path_cost_callgrind.")
        os.makedirs(directory, exist_ok=True)
        command = ["valgrind", "--tool=callgrind", "--dump-instr=no",
                   f"--callgrind-out-file={directory}/callgrind.out", a.binary,
                   "--bytes", str(a.bytes)] + extra
        print("$ " + " ".join(command), file=sys.stderr)
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        sys.stderr.write(run.stdout)
        if run.returncode != 0:
            sys.stderr.write(run.stderr[-4000:])
            sys.exit(run.returncode)
    dumps = sorted(glob.glob(os.path.join(directory, "callgrind.out.*")),
                   key=lambda p: int(p.rsplit(".", 1)[1]))
    if not dumps:
        sys.exit(f"no callgrind dumps in {directory}")
    report(dumps, a.bytes, a.top)


if __name__ == "__main__":
    main()
