#!/usr/bin/env python3
"""Every rule of tools/contracts/contracts.py catches its planted fault.

Each case is a small driver file in this folder, written against
platform/platform.h, with one fault marked `// planted: <rule>` on the line
where the checker must report it. The checker must report exactly that one
finding: the rule, the routine and the line, and nothing on the rest of the
file (which is written correctly around the fault).
"""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tools", "contracts"))

import contracts  # noqa: E402

# planted file, rule, routine that breaks it
CASES = [
    ("planted_irql_kernel.cpp", "irql-kernel", "ExpiryDpc"),
    ("planted_irql_callee.cpp", "irql-callee", "Done"),
    ("planted_role.cpp", "role", "CountDpc"),
    ("planted_no_contract.cpp", "no-contract", "Cancel"),
    ("planted_two_spin_locks.cpp", "two-spin-locks", "Move"),
    ("planted_wait_under_spin_lock.cpp", "wait-under-spin-lock", "Reset"),
    ("planted_lock_contract.cpp", "lock-contract", "Receive"),
    ("planted_complete_under_spin_lock.cpp", "complete-under-spin-lock", "Finish"),
    ("planted_surprise_removal.cpp", "surprise-removal", "TearDown"),
    ("planted_pnp_pass_down.cpp", "pnp-pass-down", "DispatchPnp"),
    ("planted_pending_unmarked.cpp", "pending-unmarked", "Hold"),
    ("planted_cancel_lock_first.cpp", "cancel-lock-first", "Cancel"),
    ("planted_touch_after_pass.cpp", "touch-after-pass", "Forward"),
    ("planted_remove_lock.cpp", "remove-lock", "DispatchWrite"),
    ("planted_executable_pool.cpp", "executable-pool", "AllocateBuffer"),
    ("planted_kernel_table.cpp", "kernel-table", "Settle"),
    ("planted_irql_assert.cpp", "irql-assert", "Count"),
]


def planted_line(path, rule):
    with open(path, encoding="utf-8") as f:
        for number, text in enumerate(f, 1):
            if re.search(r"// planted: %s$" % re.escape(rule), text.rstrip()):
                return number
    raise AssertionError("%s has no '// planted: %s' line" % (path, rule))


def main():
    if contracts.ci is None:
        print("skipped: the libclang Python bindings (Debian: python3-clang-14) are missing")
        return 77
    failures = []
    missing = set(contracts.RULES) - {rule for _, rule, _ in CASES}
    if missing:
        failures.append("rules without a planted case: %s" % ", ".join(sorted(missing)))
    header = os.path.join(HERE, "planted.h")
    for name, rule, routine in CASES:
        path = os.path.join(HERE, name)
        expected = [(planted_line(path, rule), routine, rule)]
        findings = contracts.Checker([path, header], ROOT).run()
        got = [(f.line, f.routine, f.rule) for f in findings]
        if got != expected:
            failures.append("%s: expected %s, got:\n    %s" % (
                name, expected, "\n    ".join(f.format(ROOT) for f in findings) or "nothing"))
        else:
            print("caught %-25s %s" % (rule, findings[0].format(ROOT)))
    for failure in failures:
        print("FAILED " + failure)
    print("%d of %d planted faults caught exactly" % (len(CASES) - len(failures), len(CASES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
