#!/usr/bin/env python3
"""contracts.py - holds the driver's IRQL and lock comments, and the WDM rules
Static Driver Verifier states, against the driver's code.

Every routine of the driver opens with a comment that ends in its contract:

    // IRQL: <= DISPATCH_LEVEL. Locks: none held; takes transferLock.

The checker parses the driver's sources with libclang (the host build: the
simulated kernel's headers behind platform/platform.h), reads each routine's
IRQL and Locks lines, and walks every path of every routine, following calls
into the driver's other routines through summaries of their outcomes.

The contract's words: IRQL is `PASSIVE_LEVEL`, `DISPATCH_LEVEL` (exactly),
`<= DISPATCH_LEVEL` or `any`. Locks names the spin locks held on entry
("readLock held", "entered with controlLock held", "entered holding the
cancel spin lock", "the path's spin lock held": some spin lock), whether the
routine gives them up ("releases it"), what it takes ("takes transferLock";
some path must), "none held" or "none may be held" (nothing held on entry)
and "none" (the routine itself takes no lock).

It reports, each as a finding naming file, line, routine and rule:

  irql-kernel        a kernel routine called where the IRQL may be above the
                     limit its documentation states (tools/contracts/kernel.py)
  irql-callee        a driver routine called where the IRQL may be outside
                     the range its own IRQL line states
  role               a routine whose IRQL line leaves out the IRQL the system
                     runs it at in the role the code gives it: DPC
                     (KeInitializeDpc), completion (IoSetCompletionRoutine),
                     cancel (IoSetCancelRoutine), power completion
                     (PoRequestPowerIrp), dispatch (MajorFunction[...]),
                     AddDevice, Unload, DriverEntry
  no-contract        a routine in such a role without an IRQL line; an IRQL
                     line that cannot be read
  two-spin-locks     a driver spin lock taken while another is held
  wait-under-spin-lock  a wait or a mutex taken while a spin lock is held
  lock-contract      a routine called without the locks its Locks line says
                     are held, or with one held where it says none is; a
                     routine that returns with a lock it took, or against
                     what its Locks line says of the entry locks; a lock
                     released that the routine does not hold; "none" on a
                     routine that takes a lock itself; "takes X" that no
                     path does
  complete-under-spin-lock  a request completed with a spin lock held
  surprise-removal   IoDetachDevice or IoDeleteDevice reachable from the
                     IRP_MN_SURPRISE_REMOVAL handling
  pnp-pass-down      a Plug and Play request not passed down (other than a
                     refused query), or a stop, remove, surprise removal or
                     cancel failed
  pending-unmarked   `return STATUS_PENDING` without IoMarkIrpPending on the
                     routine's request on that path
  cancel-lock-first  a cancel routine that calls the kernel before it
                     releases the cancel spin lock
  touch-after-pass   a request used after it was passed down, completed or
                     freed
  remove-lock        a dispatch routine using the device record without its
                     request holding the remove lock (IoAcquireRemoveLock,
                     the request as tag), or after giving it back, or
                     returning with it still held while the request is
                     neither pending, stored away, nor passed down with a
                     completion routine that gives it back
  executable-pool    an allocation from an executable pool type
  kernel-table       a kernel routine whose IRQL limit the checker does not
                     know
  irql-assert        a routine whose IRQL assertion (ASSERT_IRQL or
                     ASSERT_IRQL_AT_MOST, platform/platform.h, which the
                     host build runs) says other than its IRQL line, is not
                     its first statement, or is missing where the line names
                     a level; or an assertion in a routine whose line says
                     `any` or that has no IRQL line

What it can see and what it cannot:
- Paths are followed through if, switch, loops (to a fixed point), goto
  forward, return and short-circuit operators, with the values of NTSTATUS
  locals that come from constants, so `if (status != STATUS_PENDING)` and
  `if (!NT_SUCCESS(status))` prune paths, and with what a test says of a
  local flag or pointer (`if (powerUp)` ... `if (!powerUp)`). Other
  conditions are taken both ways, so a finding may sit on a path that
  cannot run. A backward goto, a
  loop that does not settle or a routine with no path to its end stops the
  run (exit status 2) rather than leave code unchecked.
- Only the host build is parsed: code under `#if BRIDGESER_WINDOWS` is not.
- Locks are named by the field they are (readLock, ...) or, inside a
  routine that is given one, by its parameter; two different objects with
  the same field name are one lock to the checker, and a lock reached
  through a local pointer is named by that pointer. Mutexes are tracked
  only to report those taken under a spin lock; implicit destructor calls
  (a guard object releasing a mutex) are not seen.
- A request is followed through the variables that hold it. Once stored in
  the device record or a list it is out of sight: a STATUS_PENDING that
  reaches a routine from a callee that was not given the request is not
  checked, nor are requests completed from lists. A request passed down
  with a completion routine that always returns
  STATUS_MORE_PROCESSING_REQUIRED counts as given back at once; that the
  sender waits for it before touching it is not checked.
- Calls through function pointers are not followed; a routine given a
  role through a pointer that is not a call argument or a handler-table
  assignment is not seen in that role.
- A routine without an IRQL line is checked through its callers: its body
  sets the highest IRQL it may be called at and the locks it takes.
- The Plug and Play rules need the IRP_MJ_PNP dispatch routine to switch on
  the minor function itself; without such a switch they are reported as
  unchecked. Paths on which IoAcquireRemoveLock failed are exempt from them.
  What is reachable from surprise removal is taken from the call graph, so
  a tear-down behind a condition counts as reached.
- The remove lock is followed per request, by the tag it is taken with (the
  request's variable). A request that returns STATUS_PENDING, or is stored
  in the record or a list, keeps the lock; whether it is given back when
  that request completes later is not checked.

Usage: contracts.py [--root DIR] [-D NAME] PATH...   (folders or files)
Exit status: 0 no finding, 1 findings, 2 could not run, 77 libclang's Python
bindings missing.
"""

import argparse
import ctypes
import os
import re
import sys
from dataclasses import dataclass, replace

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import kernel as K  # noqa: E402

try:
    import clang.cindex as ci
except ImportError:  # pragma: no cover - reported by the caller
    ci = None

RULES = {
    "irql-kernel": "kernel routines are called within their documented IRQL",
    "irql-callee": "driver routines are called within the IRQL their comment states",
    "role": "a routine's IRQL line covers the IRQL of its role",
    "no-contract": "routines in a system role state their IRQL, in a line that can be read",
    "two-spin-locks": "no two driver spin locks are held at once",
    "wait-under-spin-lock": "no wait or mutex under a spin lock",
    "lock-contract": "routines are called, and return, as their Locks line says",
    "complete-under-spin-lock": "no request is completed with a spin lock held",
    "surprise-removal": "nothing reachable from surprise removal deletes or detaches the device",
    "pnp-pass-down": "Plug and Play requests are passed down (but a refused query); stop, "
                     "remove, surprise removal and the cancels are never failed",
    "pending-unmarked": "STATUS_PENDING is returned only after IoMarkIrpPending on that request",
    "cancel-lock-first": "a cancel routine releases the cancel spin lock first",
    "touch-after-pass": "no request is touched after it was passed down, completed or freed",
    "remove-lock": "dispatch routines use the device record under the remove lock and "
                   "release it on every path",
    "executable-pool": "no executable pool is allocated",
    "kernel-table": "every kernel routine called has a known IRQL limit",
    "irql-assert": "a routine asserts at its entry the IRQL its line states, and only that",
}

# What ASSERT_IRQL and ASSERT_IRQL_AT_MOST expand to in the host build:
# SimAssertIrql(__func__, lowest, highest). It is no kernel routine to the
# analysis (no IRQL limit, no first call of a cancel routine).
IRQL_ASSERTION = "SimAssertIrql"

STATUS_PENDING = 0x103
STATUS_SUCCESS = 0
STATUS_DELETE_PENDING = -0x3FFFFF8A  # 0xC0000056
STATUS_MORE_PROCESSING_REQUIRED = -0x3FFFFFEA  # 0xC0000016


# ---------------------------------------------------------------- libclang


def _setup_evaluate():
    lib = ci.conf.lib
    lib.clang_Cursor_Evaluate.argtypes = [ci.Cursor]
    lib.clang_Cursor_Evaluate.restype = ctypes.c_void_p
    lib.clang_EvalResult_getKind.argtypes = [ctypes.c_void_p]
    lib.clang_EvalResult_getKind.restype = ctypes.c_int
    lib.clang_EvalResult_getAsLongLong.argtypes = [ctypes.c_void_p]
    lib.clang_EvalResult_getAsLongLong.restype = ctypes.c_longlong
    lib.clang_EvalResult_dispose.argtypes = [ctypes.c_void_p]
    return lib


def _evaluate(lib, cursor):
    result = lib.clang_Cursor_Evaluate(cursor)
    if not result:
        return None
    try:
        if lib.clang_EvalResult_getKind(result) != 1:  # CXEval_Int
            return None
        return lib.clang_EvalResult_getAsLongLong(result)
    finally:
        lib.clang_EvalResult_dispose(result)


def _int32(value):
    value &= 0xFFFFFFFF
    return value - 0x100000000 if value & 0x80000000 else value


class Sources:
    """Source text by file, for the text behind a cursor's extent."""

    def __init__(self):
        self.lines = {}

    def file_lines(self, name):
        if name not in self.lines:
            with open(name, encoding="utf-8", errors="replace") as f:
                self.lines[name] = f.read().split("\n")
        return self.lines[name]

    def text(self, extent):
        start, end = extent.start, extent.end
        if start.file is None or end.file is None or start.file.name != end.file.name:
            return ""
        lines = self.file_lines(start.file.name)
        if start.line == end.line:
            return lines[start.line - 1][start.column - 1:end.column - 1]
        parts = [lines[start.line - 1][start.column - 1:]]
        parts += lines[start.line:end.line - 1]
        parts.append(lines[end.line - 1][:end.column - 1])
        return "\n".join(parts)


class Ref:
    """What a reference or call names."""

    __slots__ = ("usr", "name", "kind", "type", "where")

    def __init__(self, cursor):
        self.usr = cursor.get_usr()
        self.name = cursor.spelling
        self.kind = cursor.kind.name
        self.type = cursor.type.get_canonical().spelling
        location = cursor.location
        self.where = (os.path.abspath(location.file.name) if location.file else None,
                      location.line, cursor.spelling)


class Node:
    """A lightweight copy of the part of the AST the analysis walks."""

    __slots__ = ("kind", "spelling", "line", "children", "args", "ref", "type", "canon",
                 "pointee", "const", "text", "op")

    def __repr__(self):
        return "Node(%s %r line %d)" % (self.kind, self.spelling, self.line)


_EVALUATED = {"PAREN_EXPR", "CSTYLE_CAST_EXPR", "INTEGER_LITERAL", "UNEXPOSED_EXPR",
              "UNARY_OPERATOR", "CXX_STATIC_CAST_EXPR", "BINARY_OPERATOR"}
_SKIPPED = {"TYPE_REF", "TEMPLATE_REF", "NAMESPACE_REF", "OVERLOADED_DECL_REF"}


class Builder:
    def __init__(self, sources, lib):
        self.sources = sources
        self.lib = lib

    def build(self, cursor):
        node = Node()
        node.kind = cursor.kind.name
        node.spelling = cursor.spelling
        node.line = cursor.location.line
        node.ref = None
        node.const = None
        node.op = None
        node.args = None
        node.pointee = None
        node.text = None
        node.type = cursor.type.spelling
        canon = cursor.type.get_canonical()
        node.canon = canon.spelling
        if canon.kind == ci.TypeKind.POINTER:
            decl = canon.get_pointee().get_declaration()
            node.pointee = decl.spelling if decl is not None else None
        if node.kind in ("DECL_REF_EXPR", "MEMBER_REF_EXPR", "CALL_EXPR"):
            referenced = cursor.referenced
            if referenced is not None:
                node.ref = Ref(referenced)
        if node.kind in _EVALUATED and canon.kind in _INTEGRAL:
            value = _evaluate(self.lib, cursor)
            if value is not None:
                node.const = value
        children = [c for c in cursor.get_children() if c.kind.name not in _SKIPPED]
        if node.kind == "CALL_EXPR":
            node.args = [self.build(a) for a in cursor.get_arguments()]
            node.children = []
        else:
            node.children = [self.build(c) for c in children]
        if node.kind in ("BINARY_OPERATOR", "COMPOUND_ASSIGNMENT_OPERATOR") and len(children) == 2:
            node.op = self._between(children[0].extent, children[1].extent)
            if self.sources.text(cursor.extent).startswith("NT_SUCCESS"):
                node.op = "NT_SUCCESS"
        elif node.kind == "UNARY_OPERATOR":
            text = self.sources.text(cursor.extent).lstrip()
            node.op = text[:1] if text[:1] in "!&*-~+" else text[:2]
        elif node.kind in ("CASE_STMT", "SWITCH_STMT", "FOR_STMT", "GOTO_STMT", "LABEL_STMT"):
            node.text = self.sources.text(cursor.extent)
        return node

    def _between(self, first, second):
        if first.end.file is None or second.start.file is None:
            return None
        if (first.end.line, first.end.column) > (second.start.line, second.start.column):
            return None
        lines = self.sources.file_lines(first.end.file.name)
        if first.end.line == second.start.line:
            text = lines[first.end.line - 1][first.end.column - 1:second.start.column - 1]
        else:
            text = lines[first.end.line - 1][first.end.column - 1:] + " " + \
                lines[second.start.line - 1][:second.start.column - 1]
        text = text.strip()
        return text or None


_INTEGRAL = set()


# ---------------------------------------------------------------- the model


class Contract:
    def __init__(self, lo, hi, irql_text, locks_text, held, none_held, takes_none, releases,
                 takes):
        self.lo, self.hi = lo, hi
        self.takes_none = takes_none  # the Locks line is "none": the routine takes no lock
        self.irql_text = irql_text
        self.locks_text = locks_text
        self.held = held            # spin locks held on entry ('*': some spin lock)
        self.none_held = none_held  # the Locks line says no lock is held on entry
        self.releases = releases    # the routine gives the entry locks up
        self.takes = takes            # locks the Locks line says the routine takes


class Routine:
    def __init__(self, usr, name, file, line, body, params, contract):
        self.usr = usr
        self.name = name
        self.file = file
        self.line = line
        self.body = body
        self.params = params        # [(name, canonical type, pointee name)]
        self.contract = contract
        self.comment = ""
        self.roles = {}             # role -> "file:line" where the code gives it
        self.assertions = []        # (line, lowest, highest, first statement) of IRQL assertions

    @property
    def irp_params(self):
        return [i for i, p in enumerate(self.params) if _is_irp(p[1])]


def _is_irp(canon):
    return canon in ("struct _IRP *", "_IRP *")


_LEVEL_WORDS = {"PASSIVE_LEVEL": K.PASSIVE, "APC_LEVEL": K.APC, "DISPATCH_LEVEL": K.DISPATCH}


def parse_contract(comment, spin_names, mutex_names):
    match = re.search(r"IRQL:\s*(.*?)(?:\.\s+Locks:|\.\s*$|$)", comment, re.S)
    if not match:
        return None
    irql_text = match.group(1).strip()
    levels = re.findall(r"(<=\s*)?\b(PASSIVE_LEVEL|APC_LEVEL|DISPATCH_LEVEL)\b", irql_text)
    if re.match(r"any\b", irql_text):
        lo, hi = K.PASSIVE, K.ANY
    elif levels:
        le, word = levels[0]
        hi = _LEVEL_WORDS[word]
        lo = K.PASSIVE if le else hi
    else:
        return None
    locks_match = re.search(r"Locks:\s*(.*)$", comment, re.S)
    locks_text = locks_match.group(1).strip() if locks_match else None
    held, none_held, takes_none, releases, takes = set(), False, False, False, set()
    if locks_text is not None:
        none_held = bool(re.match(r"none (held|may be held)\b", locks_text))
        takes_none = bool(re.match(r"none\b(?! held| may be held)", locks_text))
        for m in re.finditer(r"\bheld\b", locks_text):
            before = locks_text[:m.start()].rstrip().rstrip(",").rstrip()
            if re.search(r"\b(none|be)$", before):
                continue
            if before.endswith("cancel spin lock"):
                held.add(K.CANCEL_LOCK)
            elif before.endswith("spin lock"):
                held.add("*")
            else:
                word = re.search(r"(\w+)$", before)
                if word and word.group(1) in spin_names:
                    held.add(word.group(1))
        for m in re.finditer(r"\bholding (the cancel spin lock|\w+)", locks_text):
            name = m.group(1)
            if name == "the cancel spin lock":
                held.add(K.CANCEL_LOCK)
            elif name in spin_names:
                held.add(name)
        releases = bool(re.search(r"\breleases (it|them)\b|\bwhich it releases\b", locks_text))
        for m in re.finditer(r"\btakes ([\w ,`]+)", locks_text):
            for word in re.findall(r"\w+", m.group(1)):
                if word in spin_names or word in mutex_names:
                    takes.add(word)
    return Contract(lo, hi, irql_text, locks_text, frozenset(held), none_held, takes_none,
                    releases, frozenset(takes))


def comment_above(lines, line):
    """The // comment block right above a definition, NOLINT lines left out."""
    block = []
    index = line - 2
    while index >= 0:
        text = lines[index].strip()
        if not text.startswith("//"):
            break
        if "NOLINT" not in text:
            block.append(text[2:].strip())
        index -= 1
    return " ".join(reversed(block))


class Finding:
    def __init__(self, file, line, routine, rule, detail):
        self.file, self.line, self.routine, self.rule, self.detail = \
            file, line, routine, rule, detail

    def key(self):
        return (self.file, self.line, self.routine, self.rule, self.detail)

    def format(self, root):
        path = os.path.relpath(self.file, root) if root else self.file
        return "%s:%d: %s: [%s] %s: %s" % (path, self.line, self.routine, self.rule,
                                            RULES[self.rule], self.detail)


# ---------------------------------------------------------------- path states


@dataclass(frozen=True)
class St:
    locks: frozenset = frozenset()   # spin locks held
    relu: frozenset = frozenset()    # locks given up that this routine did not take
    vals: frozenset = frozenset()    # (variable, value) of NTSTATUS locals
    gone: frozenset = frozenset()    # (request variable, how, line)
    marked: frozenset = frozenset()  # request variables marked pending
    lent: frozenset = frozenset()    # request variables whose completion gives them back
    irpst: frozenset = frozenset()   # (request variable, value of IoStatus.Status)
    down: frozenset = frozenset()    # (request variable, status passed down, line)
    done: frozenset = frozenset()    # (request variable, status completed with, line)
    rlheld: frozenset = frozenset()  # request variables holding the remove lock
    rlrel: frozenset = frozenset()   # request variables whose remove lock this routine gave back
    rlcompl: frozenset = frozenset() # requests whose completion routine gives the lock back
    drained: bool = False            # IoReleaseRemoveLockAndWait has run: no one else uses it
    pinned: bool = False             # a reference to the device object keeps the record
    rlfail: bool = False             # IoAcquireRemoveLock failed on this path
    escaped: frozenset = frozenset() # request variables stored in the record or a list
    first: object = None             # the first kernel routine called on the path
    tag: object = None               # minor functions whose case this path entered


def _get(pairs, key):
    for k, v in pairs:
        if k == key:
            return v
    return None


def _set(pairs, key, value):
    kept = frozenset(p for p in pairs if p[0] != key)
    return kept if value is None else kept | {(key, value)}


def _drop_var(pairs, key):
    return frozenset(p for p in pairs if p[0] != key)


# Values: ("st", int, local) an NTSTATUS constant (local: written in this
# routine); ("param", i) the routine's i-th argument; ("null",); None unknown.


def _status(v):
    return v[1] if isinstance(v, tuple) and v[0] == "st" else None


@dataclass(frozen=True)
class Outcome:
    ret: object
    irps: tuple          # (param index, down value|None, passed, done value|None, completed,
                         #  marked, gone how|None, escaped)
    released: frozenset
    acquired: frozenset
    rl_acquired: frozenset  # request parameters that hold the remove lock at the end
    rl_released: frozenset  # request parameters whose remove lock was given back
    drained: bool
    rlfail: bool
    first: object


class Summary:
    def __init__(self):
        self.outcomes = frozenset()
        self.acquires = frozenset()
        self.mutexes = frozenset()
        self.direct = frozenset()    # locks and mutexes the routine's own body takes
        self.waits = None            # (kernel routine, line) of a wait on some path
        self.hi = K.ANY
        self.hi_why = None
        self.lo = K.PASSIVE
        self.uses_record = None      # text of a use of the device record, remove lock not held
        self.uses_after_release = None  # ... after giving back the lock of a request it was given
        self.returns_mpr = False
        self.touches = frozenset()   # request parameters the routine dereferences
        self.first_calls = frozenset()
        self.completes = False

    def key(self):
        return (self.outcomes, self.acquires, self.mutexes, self.direct, self.waits, self.hi, self.lo,
                self.uses_record, self.uses_after_release, self.returns_mpr, self.first_calls,
                self.completes,
                self.touches)


class Frame:
    def __init__(self, kind):
        self.kind = kind
        self.breaks = set()
        self.continues = set()


MAX_STATES = 256


class RoutineAnalysis:
    """One walk of one routine's paths, with the current summaries of the others."""

    def __init__(self, checker, routine, final):
        self.c = checker
        self.r = routine
        self.final = final
        self.exits = []             # (state, return value, line)
        self.findings = []
        self.frames = []
        self.gotos = {}
        self.labels_seen = set()
        self.summary = Summary()
        self.calls = set()          # callee keys, for the call graph
        self.tagged_calls = []      # (tag, callee key, line)
        self.record_use_reported = False
        self.params = {p[0]: i for i, p in enumerate(routine.params)}
        self.params_irp = {routine.params[i][0] for i in routine.irp_params}
        contract = routine.contract
        roles = routine.roles
        if contract is not None:
            self.lo, self.hi = contract.lo, contract.hi
        else:
            self.lo, self.hi = K.PASSIVE, K.ANY
        self.entry_locks = frozenset()
        if contract is not None:
            self.entry_locks = contract.held
        if "cancel routine" in roles:
            self.entry_locks = self.entry_locks | {K.CANCEL_LOCK}
        self.is_dispatch = "dispatch routine" in roles
        self.is_pnp_dispatch = roles.get("dispatch routine", ("", None))[1] == K.IRP_MJ_PNP
        self.is_cancel = "cancel routine" in roles
        self.derived_hi = K.ANY
        self.derived_hi_why = None
        self.derived_lo = K.PASSIVE

    # ------------------------------------------------------------ reporting

    def report(self, line, rule, detail):
        if self.final:
            self.findings.append(Finding(self.r.file, line, self.r.name, rule, detail))

    # ------------------------------------------------------------ entry

    def run(self):
        start = St(locks=self.entry_locks,
                   irpst=frozenset((self.r.params[i][0], ("irpst", i))
                                   for i in self.r.irp_params))
        states = self.stmt(self.r.body, {start})
        for st in states:
            self.exit(st, None, self.r.body.line)
        self.finish_summary()
        return self

    def site(self, st):
        """(lowest, highest) IRQL at a point of the path."""
        if st.locks:
            return K.DISPATCH, K.DISPATCH
        return self.lo, self.hi

    def own_locks(self, st):
        return st.locks - self.entry_locks

    # ------------------------------------------------------------ statements

    def stmt(self, node, states):
        if not states:
            return set()
        kind = node.kind
        handler = getattr(self, "s_" + kind, None)
        if handler is not None:
            return handler(node, states)
        return {st for st, _ in self.expr(node, states)}

    def s_COMPOUND_STMT(self, node, states):
        for child in node.children:
            states = self.stmt(child, states)
            if len(states) > MAX_STATES:
                states = {replace(st, vals=frozenset()) for st in states}
        return states

    def s_NULL_STMT(self, node, states):
        return states

    def s_DECL_STMT(self, node, states):
        for decl in node.children:
            if decl.kind != "VAR_DECL":
                continue
            inits = [c for c in decl.children if c.kind not in ("VAR_DECL",)]
            if not inits:
                states = {self.bind(st, decl, None) for st in states}
                continue
            pairs = self.expr(inits[-1], states)
            states = {self.bind(st, decl, v) for st, v in pairs}
        return states

    def bind(self, st, decl, value):
        name = decl.spelling
        if _is_irp(decl.canon):
            st = self.bind_irp(st, name)
        return replace(st, vals=_set(st.vals, name, value))

    def s_RETURN_STMT(self, node, states):
        if node.children:
            for st, value in self.expr(node.children[0], states):
                self.exit(st, value, node.line)
        else:
            for st in states:
                self.exit(st, None, node.line)
        return set()

    def s_IF_STMT(self, node, states):
        parts = [c for c in node.children]
        if parts and parts[0].kind == "DECL_STMT" and len(parts) > 2:
            states = self.stmt(parts[0], states)
            parts = parts[1:]
        cond, then = parts[0], parts[1]
        other = parts[2] if len(parts) > 2 else None
        yes, no = self.cond(cond, states)
        out = self.stmt(then, yes)
        out |= self.stmt(other, no) if other is not None else no
        return out

    def s_WHILE_STMT(self, node, states):
        return self.loop(node.children[0], None, node.children[1], states, test_first=True)

    def s_DO_STMT(self, node, states):
        return self.loop(node.children[1], None, node.children[0], states, test_first=False)

    def s_FOR_STMT(self, node, states):
        header = node.text[node.text.index("(") + 1:]
        depth, parts, current = 0, [], ""
        for ch in header:
            if ch == "(":
                depth += 1
            elif ch == ")":
                if depth == 0:
                    parts.append(current)
                    break
                depth -= 1
            if ch == ";" and depth == 0:
                parts.append(current)
                current = ""
                continue
            current += ch
        present = [bool(p.strip()) for p in parts[:3]]
        children = list(node.children)
        init = children.pop(0) if present[0] else None
        cond = children.pop(0) if present[1] else None
        step = children.pop(0) if present[2] else None
        body = children[-1]
        if init is not None:
            states = self.stmt(init, states)
        return self.loop(cond, step, body, states, test_first=True)

    def s_CXX_FOR_RANGE_STMT(self, node, states):
        for child in node.children[:-1]:
            if child.kind != "VAR_DECL":
                states = {st for st, _ in self.expr(child, states)}
        return self.loop(None, None, node.children[-1], states, test_first=True, may_skip=True)

    def loop(self, cond, step, body, states, test_first, may_skip=False):
        frame = Frame("loop")
        self.frames.append(frame)
        exits = set(states) if may_skip else set()

        def once(entering):
            after = self.stmt(body, entering) | frame.continues
            frame.continues = set()
            if step is not None:
                after = {st for st, _ in self.expr(step, after)}
            if len(after) > MAX_STATES:
                after = {replace(st, vals=frozenset()) for st in after}
            return after

        # states reaching the test, to a fixed point
        pending = set(states) if test_first else once(set(states))
        seen = set()
        rounds = 0
        while pending:
            rounds += 1
            if rounds > 64:
                raise RuntimeError("%s: a loop at line %d does not settle"
                                   % (self.r.name, body.line))
            seen |= pending
            yes, no = self.cond(cond, pending) if cond is not None else (pending, set())
            exits |= no
            pending = once(yes) - seen
        self.frames.pop()
        return exits | frame.breaks

    def s_BREAK_STMT(self, node, states):
        self.frames[-1].breaks |= states
        return set()

    def s_CONTINUE_STMT(self, node, states):
        for frame in reversed(self.frames):
            if frame.kind == "loop":
                frame.continues |= states
                break
        return set()

    def s_GOTO_STMT(self, node, states):
        label = node.text.split()[-1].rstrip(";")
        if label in self.labels_seen:
            raise RuntimeError("%s: goto %s at line %d jumps backwards; the checker does not "
                               "follow it" % (self.r.name, label, node.line))
        self.gotos.setdefault(label, set()).update(states)
        return set()

    def s_LABEL_STMT(self, node, states):
        self.labels_seen.add(node.spelling)
        states = set(states) | self.gotos.pop(node.spelling, set())
        for child in node.children:
            states = self.stmt(child, states)
        return states

    def s_SWITCH_STMT(self, node, states):
        cond = [c for c in node.children if c.kind != "DECL_STMT"][0]
        body = node.children[-1]
        minor = "MinorFunction" in (node.text or "").split("{")[0]
        entry = {st for st, _ in self.expr(cond, states)}
        frame = Frame("switch")
        self.frames.append(frame)
        current = set()
        has_default = False
        items = body.children if body.kind == "COMPOUND_STMT" else [body]
        for item in items:
            labels = []
            while item.kind in ("CASE_STMT", "DEFAULT_STMT"):
                if item.kind == "CASE_STMT":
                    labels.append(self.case_label(item.children[0]))
                else:
                    labels.append("default")
                    has_default = True
                item = item.children[-1]
            if labels:
                enter = entry
                if minor and self.is_pnp_dispatch:
                    enter = {replace(st, tag=tuple(labels)) for st in entry}
                current = current | enter
            current = self.stmt(item, current)
        self.frames.pop()
        out = current | frame.breaks
        if not has_default:
            if minor and self.is_pnp_dispatch:
                entry = {replace(st, tag=("default",)) for st in entry}
            out |= entry
        return out

    def case_label(self, node):
        if node.const is not None:
            return K.PNP_MINOR.get(node.const, "0x%02X" % node.const)
        return "?"

    # ------------------------------------------------------------ conditions

    def cond(self, node, states):
        """(states where node is true, states where it is false)."""
        node = _strip(node)
        if node.kind == "UNARY_OPERATOR" and node.op == "!":
            no, yes = self.cond(node.children[0], states)
            return yes, no
        if node.kind == "BINARY_OPERATOR" and node.op == "&&":
            yes1, no1 = self.cond(node.children[0], states)
            yes2, no2 = self.cond(node.children[1], yes1)
            return yes2, no1 | no2
        if node.kind == "BINARY_OPERATOR" and node.op == "||":
            yes1, no1 = self.cond(node.children[0], states)
            yes2, no2 = self.cond(node.children[1], no1)
            return yes1 | yes2, no2
        yes, no = set(), set()
        for st, value in self.expr(node, states):
            value = _truth(value)
            if value is True:
                yes.add(st)
            elif value is False:
                no.add(st)
            else:
                yes.add(st)
                no.add(st)
        return self.refine(node, yes, no)

    def refine(self, node, yes, no):
        """What an undecided test says of a local: a flag or pointer is true on one
        side and false on the other; `x == constant` gives x the constant."""
        if node.kind == "DECL_REF_EXPR" and node.spelling not in self.params_irp:
            name = node.spelling
            return ({replace(st, vals=_set(st.vals, name, ("truth", True)))
                     if _get(st.vals, name) is None else st for st in yes},
                    {replace(st, vals=_set(st.vals, name, ("truth", False)))
                     if _get(st.vals, name) is None else st for st in no})
        if node.kind == "BINARY_OPERATOR" and node.op in ("==", "!=") and len(node.children) == 2:
            left, right = _strip(node.children[0]), _strip(node.children[1])
            if left.kind != "DECL_REF_EXPR":
                left, right = right, left
            if left.kind != "DECL_REF_EXPR":
                return yes, no
            constant = None
            if right.kind in ("CXX_NULL_PTR_LITERAL_EXPR", "GNU_NULL_EXPR"):
                constant = ("null",)
            elif right.const is not None and right.type == "NTSTATUS":
                constant = ("st", _int32(right.const), True)
            if constant is None:
                return yes, no
            name = left.spelling
            equal, unequal = (yes, no) if node.op == "==" else (no, yes)
            equal = {replace(st, vals=_set(st.vals, name, constant))
                     if _get(st.vals, name) is None else st for st in equal}
            if constant == ("null",):
                unequal = {replace(st, vals=_set(st.vals, name, ("truth", True)))
                           if _get(st.vals, name) is None else st for st in unequal}
            return (equal, unequal) if node.op == "==" else (unequal, equal)
        return yes, no

    # ------------------------------------------------------------ expressions

    def expr(self, node, states):
        """[(state, value)] after evaluating node in each state."""
        if not states:
            return []
        if node.const is not None and node.kind != "BINARY_OPERATOR":
            if node.canon in ("long", "int") and node.type == "NTSTATUS":
                value = ("st", _int32(node.const), True)
            else:
                value = ("int", node.const)
            return [(st, value) for st in states]
        handler = getattr(self, "e_" + node.kind, None)
        if handler is not None:
            return handler(node, states)
        pairs = [(st, None) for st in states]
        for child in node.children:
            pairs = [(st, None) for st, _ in self.expr(child, {st for st, _ in pairs})]
        return _dedupe(pairs)

    def passthrough(self, node, states):
        kids = [c for c in node.children]
        if not kids:
            return [(st, None) for st in states]
        for child in kids[:-1]:
            states = {st for st, _ in self.expr(child, states)}
        return self.expr(kids[-1], states)

    e_PAREN_EXPR = passthrough
    e_UNEXPOSED_EXPR = passthrough
    e_CSTYLE_CAST_EXPR = passthrough
    e_CXX_STATIC_CAST_EXPR = passthrough
    e_CXX_REINTERPRET_CAST_EXPR = passthrough
    e_CXX_CONST_CAST_EXPR = passthrough
    e_CXX_FUNCTIONAL_CAST_EXPR = passthrough

    def e_CXX_NULL_PTR_LITERAL_EXPR(self, node, states):
        return [(st, ("null",)) for st in states]

    def e_GNU_NULL_EXPR(self, node, states):
        return [(st, ("null",)) for st in states]

    def e_DECL_REF_EXPR(self, node, states):
        name = node.spelling
        out = []
        for st in states:
            value = _get(st.vals, name)
            if value is None and name in self.params and node.ref is not None \
                    and node.ref.kind == "PARM_DECL":
                value = ("param", self.params[name])
            out.append((st, value))
        return out

    def touch(self, st, var, line):
        """A request variable dereferenced (or handed to code that does)."""
        if var in self.params and _is_irp(self.r.params[self.params[var]][1]):
            self.summary.touches |= {self.params[var]}
        for name, how, at in st.gone:
            if name == var:
                self.report(line, "touch-after-pass",
                            "%s is used after it was %s on line %d" % (var, how, at))

    def e_MEMBER_REF_EXPR(self, node, states):
        pairs = self.passthrough(node, states) if node.children else [(st, None) for st in states]
        base = _strip(node.children[0]) if node.children else None
        if base is not None and base.kind == "DECL_REF_EXPR" and _is_irp(base.canon):
            for st, _ in pairs:
                self.touch(st, base.spelling, node.line)
        if base is not None and base.pointee in self.c.record_types \
                and node.ref is not None and "IO_REMOVE_LOCK" not in node.ref.type:
            for st, _ in pairs:
                self.record_use(st, node.line, "%s" % node.spelling)
        return [(st, None) for st, _ in pairs]

    def record_use(self, st, line, what, after_release=False):
        if st.rlrel and not st.drained and not st.pinned and \
                self.summary.uses_after_release is None:
            self.summary.uses_after_release = what
        if (st.rlheld or st.drained or st.pinned) and not after_release:
            return
        if self.summary.uses_record is None and not after_release:
            self.summary.uses_record = what
        if self.is_dispatch and not self.record_use_reported:
            self.record_use_reported = True
            if after_release or st.rlrel:
                self.report(line, "remove-lock",
                            "uses the device record (%s) after its request gave the remove "
                            "lock back" % what)
            else:
                self.report(line, "remove-lock",
                            "uses the device record (%s) without holding its remove lock "
                            "(IoAcquireRemoveLock)" % what)

    def e_UNARY_OPERATOR(self, node, states):
        pairs = [(st, _truth(v)) for st, v in self.expr(node.children[0], states)]
        inner = _strip(node.children[0])
        if node.op == "*" and inner.kind == "DECL_REF_EXPR" and _is_irp(inner.canon):
            for st, _ in pairs:
                self.touch(st, inner.spelling, node.line)
        if node.op == "!":
            return [(st, (not v) if isinstance(v, bool) else None) for st, v in pairs]
        return [(st, None) for st, _ in pairs]

    def e_CONDITIONAL_OPERATOR(self, node, states):
        yes, no = self.cond(node.children[0], states)
        return _dedupe(self.expr(node.children[1], yes) + self.expr(node.children[2], no))

    def e_BINARY_OPERATOR(self, node, states):
        op = node.op
        left, right = node.children[0], node.children[1]
        if op in ("&&", "||"):
            yes, no = self.cond(node, states)
            return [(st, True) for st in yes] + [(st, False) for st in no]
        if op == "NT_SUCCESS":
            pairs = self.expr(left, states)
            return [(st, (_status(v) >= 0) if _status(v) is not None else None)
                    for st, v in pairs]
        if op == "=":
            return self.assign(left, right, states)
        pairs = self.expr(left, states)
        out = []
        for st, lv in pairs:
            for st2, rv in self.expr(right, {st}):
                out.append((st2, _compare(op, lv, rv)))
        return _dedupe(out)

    def e_COMPOUND_ASSIGNMENT_OPERATOR(self, node, states):
        pairs = self.expr(node.children[1], states)
        states = {st for st, _ in pairs}
        pairs = self.expr(node.children[0], states)
        target = _strip(node.children[0])
        if target.kind == "DECL_REF_EXPR":
            return [(replace(st, vals=_set(st.vals, target.spelling, None)), None)
                    for st, _ in pairs]
        return [(st, None) for st, _ in pairs]

    def assign(self, left, right, states):
        pairs = self.expr(right, states)
        target = _strip(left)
        out = []
        if target.kind == "DECL_REF_EXPR":
            name = target.spelling
            for st, value in pairs:
                if _is_irp(target.canon):
                    st = self.bind_irp(st, name)
                out.append((replace(st, vals=_set(st.vals, name, value)), value))
            return out
        irp = _status_target(target)
        source = _strip(right)
        stored = source.spelling if source.kind == "DECL_REF_EXPR" and _is_irp(source.canon) \
            else None
        for st, value in pairs:
            for st2, _ in self.expr(left, {st}):
                if stored is not None:
                    st2 = replace(st2, escaped=st2.escaped | {stored})
                if irp is not None:
                    st2 = replace(st2, irpst=_set(st2.irpst, irp, value if value else ("?",)))
                out.append((st2, value))
        return _dedupe(out)

    def bind_irp(self, st, name):
        return replace(st, gone=frozenset(g for g in st.gone if g[0] != name),
                       rlheld=st.rlheld - {name}, rlrel=st.rlrel - {name},
                       rlcompl=st.rlcompl - {name}, escaped=st.escaped - {name},
                       marked=st.marked - {name}, lent=st.lent - {name},
                       irpst=_drop_var(st.irpst, name),
                       down=frozenset(d for d in st.down if d[0] != name),
                       done=frozenset(d for d in st.done if d[0] != name))

    # ------------------------------------------------------------ calls

    def e_CALL_EXPR(self, node, states):
        args = node.args or []
        arg_pairs = [(st, ()) for st in states]
        for arg in args:
            nxt = []
            for st, values in arg_pairs:
                for st2, v in self.expr(arg, {st}):
                    nxt.append((st2, values + (v,)))
            arg_pairs = _dedupe(nxt)
        ref = node.ref
        if ref is None or ref.name == IRQL_ASSERTION:
            return [(st, None) for st, _ in arg_pairs]
        if ref.name.startswith("operator") or (ref.kind == "CONSTRUCTOR" and
                                               self.c.routine_of(ref) is None):
            return [(st, None) for st, _ in arg_pairs]
        routine = self.c.routine_of(ref)
        out = []
        if routine is not None:
            key = routine.usr
            self.calls.add(key)
            for st, values in arg_pairs:
                if st.tag is not None:
                    self.tagged_calls.append((st.tag, key, node.line))
                out.extend(self.driver_call(node, routine, st, values))
        else:
            key = "kernel:" + ref.name
            self.calls.add(key)
            for st, values in arg_pairs:
                if st.tag is not None:
                    self.tagged_calls.append((st.tag, key, node.line))
                out.extend(self.kernel_call(node, ref.name, st, values))
        return _dedupe(out)

    def arg_var(self, node, index):
        """The request or lock variable an argument names."""
        if node.args is None or index >= len(node.args):
            return None
        arg = _strip(node.args[index])
        if arg.kind == "DECL_REF_EXPR":
            return arg.spelling
        return None

    def lock_name(self, node, index):
        if node.args is None or index >= len(node.args):
            return "?"
        return _lock_name(node.args[index], self.params)

    def note_kernel_first(self, st, name):
        if st.first is None:
            st = replace(st, first=name)
        return st

    def check_irql(self, st, line, callee, lo, hi, what, lock_rule_name=None):
        site_lo, site_hi = self.site(st)
        documented = self.r.contract is not None
        if not st.locks and not documented:
            # checked through the callers: the body sets the limit
            if hi < self.derived_hi:
                self.derived_hi = hi
                self.derived_hi_why = what
            if lo > self.derived_lo:
                self.derived_lo = lo
            return
        if site_hi > hi:
            if st.locks and lock_rule_name:
                self.report(line, "wait-under-spin-lock", "%s with %s held" % (
                    lock_rule_name, self.shown(st.locks)))
            else:
                why = ("with %s held" % self.shown(st.locks)) if st.locks else \
                    "in a routine that runs at %s" % K.range_text(self.lo, self.hi)
                rule = "irql-callee" if callee else "irql-kernel"
                self.report(line, rule, "calls %s, where the IRQL may be %s (%s)" % (
                    what, K.level_name(site_hi), why))
        elif documented and site_lo < lo:
            rule = "irql-callee" if callee else "irql-kernel"
            self.report(line, rule, "calls %s, where the IRQL may be %s" % (
                what, K.level_name(site_lo)))

    def kernel_call(self, node, name, st, values):
        line = node.line
        pool = None
        if name in K.POOL_ALLOCATORS and node.args:
            pool = _strip_text(node.args[0])
            if pool in K.EXECUTABLE_POOL:
                self.report(line, "executable-pool",
                            "%s(%s, ...) allocates executable memory; use NonPagedPoolNx"
                            % (name, pool))
        irql = K.kernel_irql(name, pool)
        cancel_held = self.is_cancel and K.CANCEL_LOCK in st.locks
        if cancel_held and name != "IoReleaseCancelSpinLock":
            self.report(line, "cancel-lock-first",
                        "calls %s before releasing the cancel spin lock" % name)
        st = self.note_kernel_first(st, name)
        mutex = name in K.WAITS and self.waited_object_is_mutex(node)
        if irql is None:
            self.report(line, "kernel-table",
                        "%s is not in tools/contracts/kernel.py; add its documented IRQL" % name)
        elif name not in K.SPIN_RELEASE and name != "IoReleaseCancelSpinLock":
            lo, hi = irql
            wait_text = None
            if name in K.WAITS:
                wait_text = ("takes mutex %s" % self.lock_name(node, 0)) if mutex else \
                    "waits (%s)" % name
            self.check_irql(st, line, False, lo, hi, "%s (%s)" % (name, K.range_text(lo, hi)),
                            wait_text)
        if name in K.WAITS:
            if self.summary.waits is None:
                self.summary.waits = (name, line)
            if mutex:
                self.summary.mutexes |= {self.lock_name(node, 0)}
                self.summary.direct |= {self.lock_name(node, 0)}
        # locks
        if name in K.SPIN_ACQUIRE or name == "IoAcquireCancelSpinLock":
            lock = K.CANCEL_LOCK if name == "IoAcquireCancelSpinLock" else self.lock_name(node, 0)
            st = self.acquire(st, lock, line)
        elif name in K.SPIN_RELEASE or name == "IoReleaseCancelSpinLock":
            lock = K.CANCEL_LOCK if name == "IoReleaseCancelSpinLock" else self.lock_name(node, 0)
            st = self.release(st, lock, line)
        # requests
        tag_index = 1 if name in K.REMOVE_LOCK_CALLS else None
        for index, arg in enumerate(node.args or []):
            arg = _strip(arg)
            if index != tag_index and arg.kind == "DECL_REF_EXPR" and _is_irp(arg.canon):
                self.touch(st, arg.spelling, line)
        if name in K.LIST_INSERT and node.args and len(node.args) > 1:
            stored = _root_var(node.args[1])
            if stored is not None:
                st = replace(st, escaped=st.escaped | {stored})
        irp = self.arg_var(node, 1) if name in K.PASS_DOWN else self.arg_var(node, 0)
        value = None
        if name in K.PASS_DOWN and irp is not None:
            status = _get(st.irpst, irp)
            st = replace(st, down=st.down | {(irp, status, line)},
                         irpst=_set(st.irpst, irp, ("?",)))
            if irp in st.rlcompl:
                st = self.rl_release(st, irp)
            if irp not in st.lent:
                st = replace(st, gone=st.gone | {(irp, "passed down", line)})
        elif name in K.COMPLETE and irp is not None:
            if st.locks:
                self.report(line, "complete-under-spin-lock",
                            "completes %s with %s held" % (irp, self.shown(st.locks)))
            self.summary.completes = True
            st = replace(st, done=st.done | {(irp, _get(st.irpst, irp), line)},
                         gone=st.gone | {(irp, "completed", line)})
        elif name in K.COMPLETE and st.locks:
            self.report(line, "complete-under-spin-lock",
                        "completes a request with %s held" % self.shown(st.locks))
        elif name == "IoFreeIrp" and irp is not None:
            st = replace(st, gone=st.gone | {(irp, "freed", line)})
        elif name == "IoMarkIrpPending" and irp is not None:
            st = replace(st, marked=st.marked | {irp})
        elif name == "IoSetCompletionRoutine" and irp is not None and node.args:
            routine = self.function_arg(node.args[1])
            summary = self.c.summaries[routine.usr] if routine is not None else None
            gives_back = summary is not None and summary.returns_mpr
            releases = summary is not None and summary.outcomes and all(
                1 in o.rl_released for o in summary.outcomes)
            st = replace(st, lent=(st.lent | {irp}) if gives_back else (st.lent - {irp}),
                         rlcompl=(st.rlcompl | {irp}) if releases else (st.rlcompl - {irp}))
        elif name in K.REMOVE_LOCK_ACQUIRE:
            tag = self.arg_var(node, 1) or "*"
            return [(replace(st, rlheld=st.rlheld | {tag}, rlrel=st.rlrel - {tag}),
                     ("st", STATUS_SUCCESS, True)),
                    (replace(st, rlfail=True), ("st", STATUS_DELETE_PENDING, True))]
        elif name in K.REMOVE_LOCK_RELEASE:
            st = self.rl_release(st, self.arg_var(node, 1) or "*")
        elif name in K.REMOVE_LOCK_DRAIN:
            st = replace(self.rl_release(st, self.arg_var(node, 1) or "*"), drained=True)
        elif name in ("ObfReferenceObject", "ObReferenceObject"):
            # The device object, and the record in it, stay in memory until
            # the reference goes: a wait that removal must be able to end
            # gives the remove lock back and keeps the record this way.
            st = replace(st, pinned=True)
        elif name in ("ObfDereferenceObject", "ObDereferenceObject"):
            st = replace(st, pinned=False)
        return [(st, value)]

    def rl_release(self, st, tag):
        """The remove lock given back for the request a variable holds."""
        if tag in st.rlheld:
            return replace(st, rlheld=st.rlheld - {tag})
        return replace(st, rlrel=st.rlrel | {tag})

    def waited_object_is_mutex(self, node):
        if not node.args:
            return False
        arg = _strip(node.args[0])
        while arg.kind == "UNARY_OPERATOR" and arg.children:
            arg = _strip(arg.children[0])
        return arg.ref is not None and ("KMUTEX" in arg.ref.type or "_KMUTANT" in arg.ref.type)

    def function_arg(self, arg):
        arg = _strip(arg)
        if arg.kind == "UNARY_OPERATOR" and arg.children:
            arg = _strip(arg.children[0])
        if arg.kind == "DECL_REF_EXPR" and arg.ref is not None:
            return self.c.routines.get(arg.ref.usr)
        return None

    def shown(self, locks):
        """Lock names for a message: a parameter's lock by the parameter's name."""
        return _names({self.r.params[int(lock[6:])][0] if lock.startswith("param:") else lock
                       for lock in locks})

    def acquire(self, st, lock, line):
        if lock in st.locks:
            self.report(line, "two-spin-locks",
                        "takes %s, which it already holds" % self.shown({lock}))
        elif st.locks and not (self.is_cancel and st.locks == {K.CANCEL_LOCK}):
            self.report(line, "two-spin-locks", "takes %s with %s held" % (
                self.shown({lock}), self.shown(st.locks)))
        self.summary.acquires |= {lock}
        self.summary.direct |= {lock}
        return replace(st, locks=st.locks | {lock})

    def release(self, st, lock, line=None):
        if lock in st.locks:
            return replace(st, locks=st.locks - {lock})
        if "*" in st.locks and lock != K.CANCEL_LOCK:
            return replace(st, locks=st.locks - {"*"}, relu=st.relu | {"*"})
        contract = self.r.contract
        if line is not None and contract is not None and contract.locks_text is not None:
            self.report(line, "lock-contract",
                        "releases %s, which it does not hold and its Locks line does not say "
                        "is held" % self.shown({lock}))
        return replace(st, relu=st.relu | {lock})

    def driver_call(self, node, callee, st, values):
        line = node.line
        summary = self.c.summaries[callee.usr]
        contract = callee.contract
        mapping = {("param:%d" % i): self.lock_name(node, i) for i in range(len(node.args or []))}

        def mapped(locks):
            return frozenset(mapping.get(lock, lock) for lock in locks)

        # IRQL
        if contract is not None:
            self.check_irql(st, line, True, contract.lo, contract.hi,
                            "%s (IRQL: %s)" % (callee.name, contract.irql_text),
                            ("calls %s, which waits (%s line %d)" % (
                                callee.name, summary.waits[0], summary.waits[1]))
                            if summary.waits else None)
        elif summary.hi < K.ANY or summary.lo > K.PASSIVE:
            self.check_irql(st, line, False, summary.lo, summary.hi,
                            "%s, which calls %s" % (callee.name, summary.hi_why),
                            ("calls %s, which waits (%s)" % (callee.name, summary.waits[0]))
                            if summary.waits else None)
        # locks the callee expects
        required = frozenset()
        if contract is not None and contract.locks_text is not None:
            required = contract.held
            for lock in sorted(required):
                if lock == "*":
                    if not st.locks:
                        self.report(line, "lock-contract",
                                    "calls %s, whose Locks line says a spin lock is held, "
                                    "holding none" % callee.name)
                elif lock not in st.locks:
                    self.report(line, "lock-contract",
                                "calls %s, whose Locks line says %s is held, without it"
                                % (callee.name, lock))
            if contract.none_held and st.locks:
                self.report(line, "lock-contract",
                            "calls %s, whose Locks line says no lock is held, with %s held"
                            % (callee.name, self.shown(st.locks)))
                required = None
        if required is not None:
            extra = set(st.locks) - set(required)
            if "*" in required and extra:
                extra.pop()
            takes = mapped(summary.acquires)
            if extra and takes and not (self.is_cancel and extra == {K.CANCEL_LOCK}):
                self.report(line, "two-spin-locks", "calls %s, which takes %s, with %s held"
                            % (callee.name, self.shown(takes), self.shown(extra)))
        if summary.completes and st.locks and contract is None:
            self.report(line, "complete-under-spin-lock",
                        "calls %s, which completes a request, with %s held"
                        % (callee.name, self.shown(st.locks)))
        # cancel spin lock first
        if self.is_cancel and K.CANCEL_LOCK in st.locks:
            firsts = summary.first_calls - {None, "IoReleaseCancelSpinLock"}
            if firsts:
                self.report(line, "cancel-lock-first",
                            "calls %s, which calls %s, before releasing the cancel spin lock"
                            % (callee.name, _names(firsts)))
        if summary.uses_record is not None:
            self.record_use(st, line, "%s, through %s" % (summary.uses_record, callee.name))
        if summary.uses_after_release is not None:
            self.record_use(st, line, "%s, through %s" % (summary.uses_after_release,
                                                          callee.name), after_release=True)
        self.summary.acquires |= mapped(summary.acquires)
        self.summary.mutexes |= mapped(summary.mutexes)
        if summary.waits and self.summary.waits is None:
            self.summary.waits = summary.waits
        if summary.completes:
            self.summary.completes = True
        for index in summary.touches:
            var = self.arg_var(node, index)
            if var is not None:
                self.touch(st, var, line)
        statuses = tuple(_get(st.irpst, self.arg_var(node, i)) if self.arg_var(node, i) else None
                         for i in range(len(node.args or [])))
        # the callee's outcomes
        out = []
        for outcome in summary.outcomes:
            s2 = st
            if s2.first is None and outcome.first is not None:
                s2 = replace(s2, first=outcome.first)
            for lock in mapped(outcome.released):
                s2 = self.release(s2, lock)
            s2 = replace(s2, locks=s2.locks | mapped(outcome.acquired))
            for (index, down_value, passed, done_value, completed, marked, gone,
                 escaped) in outcome.irps:
                var = self.arg_var(node, index)
                if var is None:
                    continue
                if passed:
                    s2 = replace(s2, down=s2.down | {
                        (var, _subst(down_value, values, statuses), line)})
                if completed:
                    s2 = replace(s2, done=s2.done | {
                        (var, _subst(done_value, values, statuses), line)})
                if escaped:
                    s2 = replace(s2, escaped=s2.escaped | {var})
                if marked:
                    s2 = replace(s2, marked=s2.marked | {var})
                if gone:
                    how = "%s by %s" % (gone.split(" by ")[0], callee.name)
                    s2 = replace(s2, gone=s2.gone | {(var, how, line)})
            for index in outcome.rl_released:
                s2 = self.rl_release(s2, self.arg_var(node, index) or "*")
            for index in outcome.rl_acquired:
                tag = self.arg_var(node, index) or "*"
                s2 = replace(s2, rlheld=s2.rlheld | {tag}, rlrel=s2.rlrel - {tag})
            if outcome.drained:
                s2 = replace(s2, drained=True)
            if outcome.rlfail:
                s2 = replace(s2, rlfail=True)
            ret = _subst(outcome.ret, values, statuses)
            if isinstance(ret, tuple) and ret[0] == "st" and isinstance(outcome.ret, tuple) \
                    and outcome.ret[0] == "st":
                ret = ("st", ret[1], False)
            out.append((s2, ret))
        return out

    # ------------------------------------------------------------ exits

    def exit(self, st, value, line):
        irp = self.r.irp_params[0] if self.r.irp_params else None
        irp_name = self.r.params[irp][0] if irp is not None else None
        status = _status(value)
        if status == STATUS_PENDING and value[2] and irp_name is not None \
                and irp_name not in st.marked:
            self.report(line, "pending-unmarked",
                        "returns STATUS_PENDING without IoMarkIrpPending(%s) on this path"
                        % irp_name)
        # locks at the exit
        own = self.own_locks(st) - {"*"}
        for lock in sorted(own):
            self.report(line, "lock-contract", "returns holding %s" % lock)
        contract = self.r.contract
        if contract is not None and contract.locks_text is not None:
            for lock in sorted(contract.held):
                if lock == K.CANCEL_LOCK and self.is_cancel:
                    if lock in st.locks:
                        self.report(line, "cancel-lock-first",
                                    "returns without releasing the cancel spin lock")
                    continue
                if contract.releases and lock in st.locks:
                    self.report(line, "lock-contract",
                                "returns holding %s, which its Locks line says it releases"
                                % lock)
                elif not contract.releases and lock not in st.locks and lock != "*":
                    self.report(line, "lock-contract",
                                "returns without %s, which its Locks line says is held and "
                                "it does not say it releases" % lock)
        elif self.is_cancel and K.CANCEL_LOCK in st.locks:
            self.report(line, "cancel-lock-first", "returns without releasing the cancel spin lock")
        if self.is_dispatch and irp_name in st.rlheld and not st.drained:
            pending = irp_name in st.marked or irp_name in st.escaped
            if not pending:
                self.report(line, "remove-lock",
                            "returns holding the remove lock, and the request is not pending")
        self.exits.append((st, value, line))

    def finish_summary(self):
        s = self.summary
        outcomes = set()
        firsts = set()
        mpr = bool(self.exits)
        for st, value, _ in self.exits:
            firsts.add(st.first)
            if _status(value) != STATUS_MORE_PROCESSING_REQUIRED:
                mpr = False
            irps = []
            for index in self.r.irp_params:
                var = self.r.params[index][0]
                down = [d for d in st.down if d[0] == var]
                done = [d for d in st.done if d[0] == var]
                gone = [g for g in st.gone if g[0] == var]
                irps.append((index, down[0][1] if down else None, bool(down),
                             done[0][1] if done else None, bool(done), var in st.marked,
                             gone[0][1] if gone else None, var in st.escaped))
            released = (self.entry_locks - st.locks) | st.relu
            acquired = st.locks - self.entry_locks
            params = {self.r.params[i][0]: i for i in self.r.irp_params}
            outcomes.add(Outcome(value, tuple(irps), frozenset(released), frozenset(acquired),
                                 frozenset(params[v] for v in st.rlheld if v in params),
                                 frozenset(params[v] for v in st.rlrel if v in params),
                                 st.drained, st.rlfail, st.first))
        s.outcomes = frozenset(outcomes)
        s.first_calls = frozenset(firsts)
        s.returns_mpr = mpr
        if self.r.contract is not None:
            s.hi, s.lo = self.r.contract.hi, self.r.contract.lo
            s.hi_why = None
        else:
            s.hi, s.lo = self.derived_hi, self.derived_lo
            s.hi_why = self.derived_hi_why


def _dedupe(pairs):
    seen, out = set(), []
    for pair in pairs:
        if pair not in seen:
            seen.add(pair)
            out.append(pair)
    return out


def _truth(value):
    """Whether a value tests true: True, False or None (unknown)."""
    if isinstance(value, tuple):
        if value[0] == "int":
            return value[1] != 0
        if value[0] == "null":
            return False
        if value[0] == "truth":
            return value[1]
        if value[0] == "st":
            return value[1] != 0
        return None
    return value


def _strip(node):
    while node.kind in ("UNEXPOSED_EXPR", "PAREN_EXPR", "CSTYLE_CAST_EXPR",
                        "CXX_STATIC_CAST_EXPR", "CXX_REINTERPRET_CAST_EXPR",
                        "CXX_CONST_CAST_EXPR") and node.children:
        node = node.children[-1]
    return node


def _strip_text(node):
    node = _strip(node)
    if node.kind == "DECL_REF_EXPR":
        return node.spelling
    return None


def _status_target(node):
    """The request variable of an `irp->IoStatus.Status` expression."""
    if node.kind != "MEMBER_REF_EXPR" or node.spelling != "Status" or not node.children:
        return None
    inner = _strip(node.children[0])
    if inner.kind != "MEMBER_REF_EXPR" or inner.spelling != "IoStatus" or not inner.children:
        return None
    base = _strip(inner.children[0])
    if base.kind == "DECL_REF_EXPR" and _is_irp(base.canon):
        return base.spelling
    return None


def _lock_name(node, params):
    node = _strip(node)
    while node.kind == "UNARY_OPERATOR" and node.children:
        node = _strip(node.children[0])
    if node.kind == "MEMBER_REF_EXPR":
        return node.spelling
    if node.kind == "DECL_REF_EXPR":
        if node.spelling in params and node.ref is not None and node.ref.kind == "PARM_DECL":
            return "param:%d" % params[node.spelling]
        return node.spelling
    return "?"


def _subst(value, values, statuses=()):
    """A callee's value in the caller: its arguments' values, its requests' status."""
    if isinstance(value, tuple) and value[0] in ("param", "irpst"):
        index = value[1]
        source = values if value[0] == "param" else statuses
        return source[index] if index < len(source) else None
    return value


def _root_var(node):
    """The request variable an expression such as &irp->Tail.Overlay.ListEntry starts from."""
    node = _strip(node)
    while node.kind in ("UNARY_OPERATOR", "MEMBER_REF_EXPR") and node.children:
        node = _strip(node.children[0])
    if node.kind == "DECL_REF_EXPR" and _is_irp(node.canon):
        return node.spelling
    return None


def _compare(op, left, right):
    if op not in ("==", "!="):
        return None
    if not isinstance(left, tuple) or not isinstance(right, tuple):
        return None
    if left[0] == "st" and right[0] == "st":
        equal = left[1] == right[1]
    elif left[0] == "null" and right[0] == "null":
        equal = True
    elif left[0] == "int" and right[0] == "int":
        equal = left[1] == right[1]
    else:
        return None
    return equal if op == "==" else not equal


def _names(locks):
    return ", ".join(sorted("a spin lock" if l == "*" else l for l in locks))


# ---------------------------------------------------------------- the checker


class Checker:
    def __init__(self, paths, root, defines=()):
        self.root = root
        self.paths = [os.path.abspath(p) for p in paths]
        self.defines = list(defines)
        self.sources = Sources()
        self.lib = _setup_evaluate()
        self.routines = {}
        self.by_where = {}
        self.summaries = {}
        self.record_types = set()
        self.spin_names = set()
        self.mutex_names = set()
        self.status_names = {}
        self._seen_headers = set()
        self.role_sites = []
        self.findings = []

    def routine_of(self, ref):
        """The driver routine a call names (a template's instance by its template)."""
        routine = self.routines.get(ref.usr)
        if routine is None:
            routine = self.by_where.get(ref.where)
        return routine

    def in_scope(self, filename):
        if filename is None:
            return False
        filename = os.path.abspath(filename)
        for path in self.paths:
            if filename == path or filename.startswith(path.rstrip("/") + "/"):
                return True
        return False

    def sources_to_parse(self):
        files = []
        for path in self.paths:
            if os.path.isdir(path):
                for name in sorted(os.listdir(path)):
                    if name.endswith(".cpp"):
                        files.append(os.path.join(path, name))
            elif path.endswith(".cpp"):
                files.append(path)
        return files

    def parse(self):
        global _INTEGRAL
        _INTEGRAL = {ci.TypeKind.INT, ci.TypeKind.LONG, ci.TypeKind.UINT, ci.TypeKind.ULONG,
                     ci.TypeKind.UCHAR, ci.TypeKind.CHAR_S, ci.TypeKind.SCHAR,
                     ci.TypeKind.USHORT, ci.TypeKind.SHORT, ci.TypeKind.LONGLONG,
                     ci.TypeKind.ULONGLONG, ci.TypeKind.BOOL, ci.TypeKind.ENUM}
        index = ci.Index.create()
        args = ["-x", "c++", "-std=c++20", "-fno-exceptions", "-fno-rtti", "-I" + self.root]
        args += ["-D" + d for d in self.defines]
        builder = Builder(self.sources, self.lib)
        pending = []
        for filename in self.sources_to_parse():
            tu = index.parse(filename, args=args)
            errors = [d for d in tu.diagnostics if d.severity >= ci.Diagnostic.Error]
            if errors:
                raise RuntimeError("%s does not parse: %s" % (filename, errors[0]))
            for inc in tu.get_includes():
                self.read_status_names(inc.include.name)
            self.collect(tu.cursor, builder, pending)
        for cursor, usr in pending:
            self.collect_roles(cursor)
        for routine in self.routines.values():
            self.summaries[routine.usr] = Summary()

    def read_status_names(self, filename):
        if filename in self._seen_headers:
            return
        self._seen_headers.add(filename)
        try:
            with open(filename, encoding="utf-8", errors="replace") as f:
                text = f.read()
        except OSError:
            return
        for name, value in re.findall(
                r"#define\s+(STATUS_\w+)\s+\(\(NTSTATUS\)\s*(0x[0-9A-Fa-f]+)L?\)", text):
            self.status_names.setdefault(_int32(int(value, 16)), name)

    def collect(self, cursor, builder, pending):
        for child in cursor.get_children():
            kind = child.kind
            location = child.location.file.name if child.location.file else None
            if kind in (ci.CursorKind.NAMESPACE, ci.CursorKind.LINKAGE_SPEC,
                        ci.CursorKind.UNEXPOSED_DECL, ci.CursorKind.CLASS_DECL,
                        ci.CursorKind.STRUCT_DECL):
                if kind in (ci.CursorKind.CLASS_DECL, ci.CursorKind.STRUCT_DECL) and \
                        self.in_scope(location):
                    self.collect_fields(child)
                self.collect(child, builder, pending)
                continue
            if kind == ci.CursorKind.VAR_DECL and self.in_scope(location):
                self.note_lock_type(child.spelling, child.type)
            if kind not in (ci.CursorKind.FUNCTION_DECL, ci.CursorKind.CXX_METHOD,
                            ci.CursorKind.CONSTRUCTOR, ci.CursorKind.DESTRUCTOR,
                            ci.CursorKind.FUNCTION_TEMPLATE):
                continue
            if not child.is_definition() or not self.in_scope(location):
                continue
            usr = child.get_usr()
            pending.append((child, usr))
            if usr in self.routines:
                continue
            body = [c for c in child.get_children() if c.kind == ci.CursorKind.COMPOUND_STMT]
            if not body:
                continue
            lines = self.sources.file_lines(location)
            start = child.extent.start.line
            comment = comment_above(lines, start)
            params = [(a.spelling, a.type.get_canonical().spelling,
                       a.type.spelling) for a in child.get_arguments()]
            routine = Routine(usr, child.spelling, os.path.abspath(location), child.location.line,
                              builder.build(body[0]), params, None)
            routine.comment = comment
            routine.assertions = _irql_assertions(routine.body)
            self.routines[usr] = routine
            self.by_where[(routine.file, child.location.line, child.spelling)] = routine
            self.find_record_types(body[0])

    def collect_fields(self, cursor):
        for field in cursor.get_children():
            if field.kind == ci.CursorKind.FIELD_DECL:
                self.note_lock_type(field.spelling, field.type)

    def note_lock_type(self, name, ctype):
        spelling = ctype.get_canonical().spelling
        if spelling in ("unsigned long long", "unsigned long") and ctype.spelling == "KSPIN_LOCK":
            self.spin_names.add(name)
        elif ctype.spelling in ("KSPIN_LOCK",):
            self.spin_names.add(name)
        elif ctype.spelling in ("KMUTEX", "KMUTANT") or "_KMUTANT" in spelling:
            self.mutex_names.add(name)

    def find_record_types(self, cursor):
        for node in cursor.walk_preorder():
            if node.kind in (ci.CursorKind.CXX_STATIC_CAST_EXPR, ci.CursorKind.CSTYLE_CAST_EXPR):
                if any(c.kind == ci.CursorKind.MEMBER_REF_EXPR and c.spelling == "DeviceExtension"
                       for c in node.walk_preorder()):
                    canon = node.type.get_canonical()
                    if canon.kind == ci.TypeKind.POINTER:
                        decl = canon.get_pointee().get_declaration()
                        if decl is not None and decl.spelling:
                            self.record_types.add(decl.spelling)

    def collect_roles(self, cursor):
        for node in cursor.walk_preorder():
            if node.kind == ci.CursorKind.CALL_EXPR:
                callee = node.referenced
                if callee is None:
                    continue
                try:
                    params = list(callee.get_arguments())
                except Exception:
                    params = []
                for index, arg in enumerate(node.get_arguments()):
                    target = _function_ref(arg)
                    if target is None or index >= len(params):
                        continue
                    role = K.ROLE_TYPES.get(params[index].type.spelling)
                    if role:
                        self.give_role(target, role, arg, None)
            elif node.kind == ci.CursorKind.BINARY_OPERATOR:
                kids = list(node.get_children())
                if len(kids) != 2:
                    continue
                target = _function_ref(kids[1])
                if target is None:
                    continue
                role = K.ROLE_TYPES.get(kids[0].type.spelling)
                if role:
                    major = None
                    if role == "dispatch routine":
                        index = [c for c in kids[0].get_children()]
                        if len(index) == 2:
                            major = _evaluate(self.lib, index[1])
                    self.give_role(target, role, kids[1], major)

    def give_role(self, target, role, where, major):
        routine = self.routines.get(target.get_usr())
        if routine is None:
            return
        site = "%s:%d" % (os.path.relpath(where.location.file.name, self.root)
                          if self.root else where.location.file.name, where.location.line)
        if role not in routine.roles:
            routine.roles[role] = (site, major)

    # ------------------------------------------------------------ running

    def run(self):
        self.parse()
        for routine in self.routines.values():
            routine.contract = parse_contract(routine.comment, self.spin_names, self.mutex_names)
            if routine.contract is None and "IRQL:" in routine.comment:
                self.findings.append(Finding(
                    routine.file, routine.line, routine.name, "no-contract",
                    "its IRQL line cannot be read: %s" % routine.comment[
                        routine.comment.index("IRQL:"):][:60]))
            if routine.name == "DriverEntry":
                routine.roles.setdefault("DriverEntry", ("", None))
        # summaries to a fixed point, then one reporting walk
        for _ in range(12):
            changed = False
            for routine in self.routines.values():
                analysis = RoutineAnalysis(self, routine, final=False).run()
                if analysis.summary.key() != self.summaries[routine.usr].key():
                    self.summaries[routine.usr] = analysis.summary
                    changed = True
            if not changed:
                break
        silent = [r.name for r in self.routines.values() if not self.summaries[r.usr].outcomes]
        if silent:
            raise RuntimeError("no path returns from %s; the checker cannot follow it"
                               % ", ".join(sorted(silent)))
        self.callgraph = {}
        analyses = {}
        for routine in self.routines.values():
            analysis = RoutineAnalysis(self, routine, final=True).run()
            analyses[routine.usr] = analysis
            self.callgraph[routine.usr] = analysis.calls
            self.findings.extend(analysis.findings)
        self.check_roles()
        self.check_assertions()
        self.check_lock_lines()
        self.check_pnp(analyses)
        unique = {}
        for finding in self.findings:
            unique.setdefault(finding.key(), finding)
        self.findings = sorted(unique.values(), key=lambda f: (f.file, f.line, f.rule))
        return self.findings

    def check_roles(self):
        for routine in self.routines.values():
            for role, (site, _) in sorted(routine.roles.items()):
                lo, hi = K.ROLE_IRQL[role]
                where = (" (%s)" % site) if site else ""
                if routine.contract is None:
                    self.findings.append(Finding(
                        routine.file, routine.line, routine.name, "no-contract",
                        "is a %s%s and runs at %s, but its comment has no IRQL line"
                        % (role, where, K.range_text(lo, hi))))
                elif lo < routine.contract.lo or hi > routine.contract.hi:
                    self.findings.append(Finding(
                        routine.file, routine.line, routine.name, "role",
                        "is a %s%s, which runs at %s, but its comment says IRQL: %s"
                        % (role, where, K.range_text(lo, hi), routine.contract.irql_text)))

    def check_assertions(self):
        """Each routine's IRQL assertion against its IRQL line."""
        for routine in self.routines.values():
            contract = routine.contract
            stated = None
            if contract is not None and contract.hi < K.ANY:
                stated = (contract.lo, contract.hi)
            if stated is not None and not routine.assertions:
                self.findings.append(Finding(
                    routine.file, routine.line, routine.name, "irql-assert",
                    "its IRQL line says %s, but it does not assert it at its entry"
                    % K.range_text(*stated)))
            for line, lo, hi, first in routine.assertions:
                said = K.range_text(lo, hi) if lo is not None else "an IRQL that is not a constant"
                if contract is None:
                    detail = "asserts %s, but its comment has no IRQL line" % said
                elif stated is None:
                    detail = "asserts %s, but its IRQL line says %s" % (said, contract.irql_text)
                elif (lo, hi) != stated:
                    detail = "asserts %s, but its IRQL line says %s" % (said, contract.irql_text)
                elif not first:
                    detail = "asserts %s at line %d, not as its first statement" % (said, line)
                else:
                    continue
                self.findings.append(Finding(routine.file, line, routine.name, "irql-assert",
                                             detail))

    def check_lock_lines(self):
        """What a Locks line says the routine takes, against what its paths take."""
        for routine in self.routines.values():
            contract = routine.contract
            if contract is None or contract.locks_text is None:
                continue
            summary = self.summaries[routine.usr]
            taken = {lock for lock in summary.acquires | summary.mutexes
                     if not lock.startswith("param:")}
            direct = {lock if not lock.startswith("param:") else "the lock it is given"
                      for lock in summary.direct}
            if contract.takes_none and direct:
                self.findings.append(Finding(
                    routine.file, routine.line, routine.name, "lock-contract",
                    "its Locks line says none, but it takes %s" % _names(direct)))
            for lock in sorted(contract.takes - taken):
                self.findings.append(Finding(
                    routine.file, routine.line, routine.name, "lock-contract",
                    "its Locks line says it takes %s, but no path does" % lock))

    def status_text(self, value):
        status = _status(value)
        if status is None:
            return "an unknown status"
        return self.status_names.get(status, "0x%08X" % (status & 0xFFFFFFFF))

    def check_pnp(self, analyses):
        pnp = [r for r in self.routines.values()
               if r.roles.get("dispatch routine", ("", None))[1] == K.IRP_MJ_PNP]
        for routine in pnp:
            analysis = analyses[routine.usr]
            irp_index = routine.irp_params[0] if routine.irp_params else None
            if irp_index is None:
                continue
            irp = routine.params[irp_index][0]
            tags = {st.tag for st, _, _ in analysis.exits if st.tag is not None}
            if not tags:
                self.findings.append(Finding(
                    routine.file, routine.line, routine.name, "pnp-pass-down",
                    "has no switch on the minor function; the Plug and Play rules are "
                    "not checked"))
                continue
            undelivered = {}
            for st, value, line in analysis.exits:
                if st.rlfail:
                    continue
                labels = st.tag or ("every minor function",)
                down = [d for d in st.down if d[0] == irp]
                done = [d for d in st.done if d[0] == irp]
                for label in labels:
                    name = "the default case" if label == "default" else label
                    if not down:
                        refused = label in K.REFUSABLE and done and all(
                            _status(d[1]) is not None and _status(d[1]) < 0 for d in done)
                        if done and not refused:
                            undelivered.setdefault((name, done[0][2]), set()).add(
                                self.status_text(done[0][1]))
                        elif not done and irp not in st.marked:
                            self.findings.append(Finding(
                                routine.file, line, routine.name, "pnp-pass-down",
                                "%s is neither passed down nor completed" % name))
                    if label in K.NEVER_FAILED:
                        for _, status, at in down + done:
                            code = _status(status)
                            if code is not None and code < 0:
                                self.findings.append(Finding(
                                    routine.file, at, routine.name, "pnp-pass-down",
                                    "%s is failed with %s" % (name, self.status_text(status))))
            for (name, line), statuses in sorted(undelivered.items()):
                self.findings.append(Finding(
                    routine.file, line, routine.name, "pnp-pass-down",
                    "%s is completed (with %s) without being passed down"
                    % (name, " or ".join(sorted(statuses)))))
            # surprise removal: nothing reachable deletes or detaches
            starts = [(key, line) for tag, key, line in analysis.tagged_calls
                      if "IRP_MN_SURPRISE_REMOVAL" in tag]
            for key, chain in self.reach(starts):
                name = key.split(":", 1)[1]
                caller = chain[-2] if len(chain) > 1 else routine.usr
                caller_routine = self.routines.get(caller, routine)
                line = self.call_line(caller_routine, name)
                path = " -> ".join([routine.name] + [self.routines[u].name for u in chain[:-1]
                                                     if u in self.routines] + [name])
                self.findings.append(Finding(
                    caller_routine.file, line, caller_routine.name, "surprise-removal",
                    "%s is reached from IRP_MN_SURPRISE_REMOVAL (%s); delete and detach only "
                    "in IRP_MN_REMOVE_DEVICE" % (name, path)))

    def reach(self, starts):
        """Kernel tear-down calls reachable from the given calls, with the chain."""
        found = []
        queue = [(key, [key]) for key, _ in starts]
        seen = set()
        while queue:
            key, chain = queue.pop(0)
            if key in seen:
                continue
            seen.add(key)
            if key.startswith("kernel:"):
                if key.split(":", 1)[1] in K.TEAR_DOWN:
                    found.append((key, chain))
                continue
            for callee in sorted(self.callgraph.get(key, ())):
                queue.append((callee, chain + [callee]))
        return found

    def call_line(self, routine, name):
        for node in _walk(routine.body):
            if node.kind == "CALL_EXPR" and node.ref is not None and node.ref.name == name:
                return node.line
        return routine.line


def _walk(node):
    yield node
    for child in (node.children or []):
        yield from _walk(child)
    for child in (node.args or []):
        yield from _walk(child)


def _irql_assertions(body):
    """(line, lowest, highest, first statement) of every IRQL assertion in a
    routine's body; lowest and highest are None when not constants."""
    found = []
    first = _strip(body.children[0]) if body.children else None

    def constant(arg):
        return arg.const if arg.const is not None else _strip(arg).const

    for node in _walk(body):
        if node.kind == "CALL_EXPR" and node.ref is not None and node.ref.name == IRQL_ASSERTION:
            args = node.args or []
            lo = constant(args[1]) if len(args) > 2 else None
            hi = constant(args[2]) if len(args) > 2 else None
            if lo is None or hi is None:
                lo = hi = None
            found.append((node.line, lo, hi, node is first))
    return found


def _function_ref(cursor):
    node = cursor
    while node.kind in (ci.CursorKind.UNEXPOSED_EXPR, ci.CursorKind.PAREN_EXPR,
                        ci.CursorKind.UNARY_OPERATOR, ci.CursorKind.CSTYLE_CAST_EXPR):
        kids = [c for c in node.get_children() if c.kind != ci.CursorKind.TYPE_REF]
        if len(kids) != 1:
            return None
        node = kids[0]
    if node.kind == ci.CursorKind.DECL_REF_EXPR and node.referenced is not None and \
            node.referenced.kind == ci.CursorKind.FUNCTION_DECL:
        return node.referenced
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("paths", nargs="+", help="driver folders or files")
    parser.add_argument("--root", default=os.getcwd(),
                        help="the repository root (the include path of platform/platform.h)")
    parser.add_argument("-D", dest="defines", action="append", default=[])
    options = parser.parse_args(argv)
    if ci is None:
        print("contracts: skipped: the libclang Python bindings (Debian: python3-clang-14) "
              "are not installed", file=sys.stderr)
        return 77
    root = os.path.abspath(options.root)
    paths = [os.path.join(root, p) if not os.path.isabs(p) else p for p in options.paths]
    checker = Checker(paths, root, options.defines)
    try:
        findings = checker.run()
    except RuntimeError as error:
        print("contracts: %s" % error, file=sys.stderr)
        return 2
    for finding in findings:
        print(finding.format(root))
    routines = len(checker.routines)
    stated = sum(1 for r in checker.routines.values() if r.contract is not None)
    print("contracts: %d routines, %d with an IRQL line; %d finding%s" % (
        routines, stated, len(findings), "" if len(findings) == 1 else "s"))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
