#!/usr/bin/env python3
"""Plants faults nobody chose, one at a time, and judges each by the host suite.

Every site of a few classic operators in src/, host/ and tools/ is enumerated in
a fixed order and a seed draws the sample. Each fault is planted alone in a
scratch copy (build/mutants), rebuilt and judged by ctest: a failing or hanging
suite catches it, a fault that does not build is not counted.

A fault's key names what it changes, so that it survives edits elsewhere:
path:operator:replaced text (spaces dropped, cut to 24 characters):hash of the
whitespace-normalised line:ordinal among the sites these four share.
"""
import argparse
import bisect
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOTS = ("src", "host", "tools")
EQUIVALENTS = os.path.join(TOP, "scripts", "mutants-equivalent.txt")
# Constant moves on these lines only break the build or restate a layout.
SKIP_LINE = re.compile(r"^\s*#|static_assert|EK_BRD_STATIC_ASSERT|\btemplate\b")
DECL_START = re.compile(
    r"^\s*(?:(?:const|constexpr|static|inline|mutable|unsigned|signed|struct|auto)\s+)*"
    r"[A-Za-z_][\w:]*(?:<[^;]*>)?[\s*&]+[A-Za-z_]\w*\s*(?:=|\{|\(|\[|;)")
NOT_STATEMENT = re.compile(
    r"^\s*(?:return\b(?!;)|case\b|default\b|using\b|typedef\b|namespace\b|extern\b|"
    r"public:|private:|protected:|[{}])|.*= (?:delete|default);")
REL_FLIP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}


def blank_comments_and_strings(text):
    """Same length as text, comments and the insides of literals turned to spaces."""
    def blank(m):
        quoted = m.group(0)[0] in "\"'"
        inside = re.sub(r"[^\n]", " ", m.group(0)[quoted:len(m.group(0)) - quoted])
        return m.group(0)[0] + inside + m.group(0)[-1] if quoted else inside
    return re.sub(r"//[^\n]*|/\*.*?\*/|\"(?:\\.|[^\"\\])*\"|'(?:\\.|[^'\\])*'", blank, text, flags=re.S)


def matching_paren(code, open_at):
    depth = 0
    for k in range(open_at, len(code)):
        if code[k] == "(":
            depth += 1
        elif code[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def sites_in(path, text):
    """Yields (offset, length, replacement, operator) for every fault site."""
    code = blank_comments_and_strings(text)
    line_starts = [0] + [m.end() for m in re.finditer("\n", code)]
    lines = code.split("\n")
    skip = {no for no, line in enumerate(lines) if SKIP_LINE.search(line)}

    def line_of(offset):
        return bisect.bisect_right(line_starts, offset) - 1

    for m in re.finditer(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)", code):
        if line_of(m.start()) not in skip:
            yield m.start(), len(m.group(1)), REL_FLIP[m.group(1)], "relational"
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", code):
        if line_of(m.start()) not in skip:
            yield m.start(), 2, "||" if m.group(1) == "&&" else "&&", "logical"
    for m in re.finditer(r"(?<![\w.])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.])", code):
        if line_of(m.start()) in skip or code[max(0, m.start() - 1)] == "[":
            continue  # array bounds in declarations only fail to build
        digits = m.group(1).lower()
        base = 16 if digits.startswith("0x") else 8 if digits.startswith("0") and digits != "0" else 10
        value = int(digits, base)
        moved = value - 1 if value == 1 else value + 1
        literal = {16: hex, 8: lambda v: "0" + format(v, "o"), 10: str}[base](moved)
        yield m.start(), len(m.group(1)), literal, "constant"
    for m in re.finditer(r"\breturn (true|false);", code):
        yield m.start() + 7, len(m.group(1)), "false" if m.group(1) == "true" else "true", "bool"
    for m in re.finditer(r"\b(if|while) \(", code):
        close = matching_paren(code, m.end() - 1)
        if close > 0:
            cond = text[m.end():close]
            yield m.end(), close - m.end(), "!(" + cond + ")", "negate"
    depth_before = 0
    previous = ""
    for no, line in enumerate(lines):
        stripped = line.strip()
        inside = depth_before > 0 and line.startswith("    ")
        if (inside and stripped.endswith(";") and no not in skip and
                (previous == "" or previous.endswith((";", "{", "}", ":"))) and
                not NOT_STATEMENT.match(line) and not DECL_START.match(line) and
                stripped.count("(") == stripped.count(")") and "{" not in stripped):
            start = line_starts[no] + len(line) - len(line.lstrip())
            yield start, len(stripped), "", "delete"
        depth_before += line.count("{") - line.count("}")
        if stripped:
            previous = stripped


def normalised(line):
    return " ".join(line.split())


def line_hash(line):
    return hashlib.sha1(normalised(line).encode()).hexdigest()[:6]


def enumerate_faults(top):
    faults, seen = [], {}
    for root in ROOTS:
        for directory, _, files in sorted(os.walk(os.path.join(top, root))):
            for name in sorted(n for n in files if n.endswith((".cpp", ".h"))):
                path = os.path.relpath(os.path.join(directory, name), top)
                with open(os.path.join(top, path)) as f:
                    text = f.read()
                lines = text.split("\n")
                for offset, length, new, op in sorted(sites_in(path, text)):
                    old, line = text[offset:offset + length], normalised(lines[text.count("\n", 0, offset)])
                    stem = f"{path}:{op}:{''.join(old.split())[:24]}:{line_hash(line)}"
                    seen[stem] = seen.get(stem, -1) + 1
                    faults.append(dict(id=f"{stem}:{seen[stem]}", path=path, offset=offset, length=length,
                                       new=new, op=op, old=old, line=line))
    return faults


def read_equivalents():
    """{key: (reason, its line as listed)}: a line in the first column gives the
    reason of the indented "KEY | line" lines under it."""
    listed, reason = {}, None
    with open(EQUIVALENTS) as f:
        for no, raw in enumerate(f, 1):
            key, bar, line = (word.strip() for word in raw.partition(" | "))
            if not raw.strip() or raw.startswith("#"):
                continue
            if not raw[0].isspace():
                reason = raw.strip()
            elif not bar or reason is None or key in listed:
                sys.exit(f"mutants: {EQUIVALENTS}:{no}: not 'KEY | line' under a reason, or listed twice")
            else:
                listed[key] = (reason, line)
    return listed


def rekey(listed, faults):
    """Moves keys whose line went unchanged to another file, where one site alone matches."""
    elsewhere = {}
    for f in faults:
        elsewhere.setdefault(f["id"].split(":", 1)[1], []).append(f["id"])
    with open(EQUIVALENTS) as f:
        text = f.read()
    ids = {f["id"] for f in faults}
    for key in listed:
        found = [k for k in elsewhere.get(key.split(":", 1)[1], []) if k not in listed]
        if key not in ids and len(found) == 1:
            text = text.replace(f" {key} ", f" {found[0]} ")
            print(f"mutants: {key} -> {found[0]}")
    with open(EQUIVALENTS, "w") as f:
        f.write(text)


def sh(cmd, log, **kw):
    with open(log, "w") as out:
        return subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, **kw).returncode


class Scratch:
    """A copy of the tree, built once, rebuilt per fault, judged by ctest."""

    def __init__(self, top, where, tests, reuse, jobs):
        self.jobs = jobs
        self.src, self.build, self.where = os.path.join(where, "src"), os.path.join(where, "build"), where
        if not reuse:
            shutil.rmtree(where, ignore_errors=True)
        os.makedirs(self.src, exist_ok=True)
        files = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=top, check=True,
                               capture_output=True, text=True).stdout.split("\n")
        for rel in files:
            mine, copy = os.path.join(top, rel), os.path.join(self.src, rel)
            if rel and not rel.startswith("build/") and os.path.isfile(mine):
                os.makedirs(os.path.dirname(copy), exist_ok=True)
                if not os.path.exists(copy) or open(mine, "rb").read() != open(copy, "rb").read():
                    shutil.copy(mine, copy)  # a fresh mtime: rebuilt
        # No debug information, and executables not relinked when only the
        # shared library changed: a fault costs one compile and a few links.
        # Locals start as a pattern, not as what the stack held: a fault that
        # reads one uninitialised cannot pass by luck.
        flags = "-O2 -DNDEBUG -ftrivial-auto-var-init=pattern"
        if sh(["cmake", "-S", self.src, "-B", self.build, "-G", "Ninja",
               "-DCMAKE_BUILD_TYPE=RelWithDebInfo", f"-DCMAKE_C_FLAGS_RELWITHDEBINFO={flags}",
               f"-DCMAKE_CXX_FLAGS_RELWITHDEBINFO={flags}", "-DCMAKE_LINK_DEPENDS_NO_SHARED=ON",
               "-DEK_BRDCTL_UNITY=OFF"] +  # a fault in one part of brdctl: one file compiled
              # Restoring a file after its fault is then a cache hit, not a compile.
              [f"-DCMAKE_{lang}_COMPILER_LAUNCHER=ccache" for lang in ("C", "CXX") if shutil.which("ccache")],
              os.path.join(where, "configure.log")) != 0 or not self.rebuild():
            sys.exit(f"mutants: the unmodified tree does not build (see {where})")
        skip = r"^(packaging|abi)\."
        self.phases = [(tests, skip)]
        failed, output = self.suite(timeout=1800)
        # The tests that take seconds run only when the quick ones pass: most
        # faults are caught in the first phase.
        slow = [name for name, secs in re.findall(r"Test +#\d+: (\S+) \.+ +Passed +([\d.]+) sec", output)
                if float(secs) > 3]
        if slow and tests == ".":
            slow = "^(" + "|".join(map(re.escape, slow)) + ")$"
            self.phases = [(tests, skip + "|" + slow), (slow, skip)]
        self.budget = 2 * self.took + 20
        if failed:
            sys.exit(f"mutants: the unmodified suite fails (see {where}/last.log)")
        skipped = re.findall(r"^\s*\d+ - (\S+) \((?:Skipped|Not Run)\)", output, re.M)
        if skipped or re.search(r"\*\*\*(?:Skipped|Not Run)", output):
            sys.exit("mutants: the unmodified suite skips " + " ".join(skipped) +
                     "; a skipped test judges nothing, run where it can run")

    def rebuild(self):
        return sh(["cmake", "--build", self.build, f"-j{self.jobs}"], os.path.join(self.where, "build.log")) == 0

    def suite(self, timeout):
        """(failed, output); a phase still running after timeout failed."""
        log = os.path.join(self.where, "last.log")
        started = time.monotonic()
        for included, excluded in self.phases:
            cmd = ["ctest", "--test-dir", self.build, "-j2", "--stop-on-failure", "--output-on-failure",
                   "-R", included, "-E", excluded]
            with open(log, "w") as out:
                proc = subprocess.Popen(cmd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
                try:
                    rc = proc.wait(timeout=timeout)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
                    rc = "hang"
            with open(log, errors="replace") as f:
                output = f.read() + ("\n[  FAILED  ] hung\n" if rc == "hang" else "")
            if rc != 0:
                break
        self.took = time.monotonic() - started
        return rc != 0, output

    def judge(self, fault):
        file, o, n = os.path.join(self.src, fault["path"]), fault["offset"], fault["length"]
        with open(file) as f:
            pristine = f.read()
        try:
            with open(file, "w") as f:
                f.write(pristine[:o] + fault["new"] + pristine[o + n:])
            if not self.rebuild():
                return "not-built", ""
            failed, output = self.suite(self.budget)
            if not failed:
                return "SURVIVED", ""
            cases = re.findall(r"^\[  FAILED  \] (\S+)", output, re.M)
            # Anchored: unanchored, \d+ tries every start in a failing test's megabytes of hex.
            tests = re.findall(r"^\s*\d+ - (\S+) \(", output, re.M)
            return "caught", (cases or tests or ["?"])[0]
        finally:
            with open(file, "w") as f:
                f.write(pristine)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--seed", type=int, nargs="+", help="150 faults per seed, all judged in one build")
    ap.add_argument("--count", type=int, default=150)
    ap.add_argument("--only", nargs="+", metavar="KEY", help="plant just these")
    ap.add_argument("--paths", metavar="REGEX", help="draw only from the paths this matches")
    ap.add_argument("--within", metavar="REGEX", help="judge only the drawn faults in matching paths")
    for flag, what in (("--list", "every site, nothing built"), ("--check", "only resolve the list"),
                       ("--rekey", "rewrite the keys of listed lines moved unchanged to another file"),
                       ("--reuse", "rebuild the last scratch copy")):
        ap.add_argument(flag, action="store_true", help=what)
    ap.add_argument("--jobs", type=int, default=2, help="compile jobs")
    ap.add_argument("--tests", default=".", help="judge by the ctest tests matching this regex")
    ap.add_argument("--dir", default=os.path.join(TOP, "build", "mutants"))
    args = ap.parse_args()

    faults, listed = enumerate_faults(TOP), read_equivalents()
    if args.rekey:
        rekey(listed, faults)
        listed = read_equivalents()
    by_id = {f["id"]: f for f in faults}
    drawn = [f for f in faults if not args.paths or re.search(args.paths, f["path"])]
    for f in drawn if args.list else []:
        print(f"{f['id']}  {f['old']!r} -> {f['new']!r}  | {f['line']}")
    if args.list:
        print(f"mutants: {len(drawn)} sites")
    # A listed key whose line was edited no longer resolves: its fault is judged again.
    lost = [f"{k}  | {line}" for k, (_, line) in listed.items()
            if k not in by_id or k.rsplit(":", 2)[1] != line_hash(line)]
    if lost:
        sys.exit(f"mutants: {len(lost)} listed equivalents name no fault now (or a line not theirs); "
                 "judge each again, then list it under its present key or drop it:\n  " + "\n  ".join(lost))
    if args.list or args.check or args.rekey:
        return 0
    if args.only:
        missing = [i for i in args.only if i not in by_id]
        if missing:
            sys.exit("mutants: no such fault: " + " ".join(missing))
        samples = {"only": [by_id[i] for i in args.only]}
    elif args.seed:
        samples = {f"seed {seed}": random.Random(seed).sample(drawn, min(args.count, len(drawn)))
                   for seed in args.seed}
    else:
        ap.error("give --seed, --only, --list, --check or --rekey")
    if args.within:
        samples = {f"{name} within {args.within}": [f for f in sample if re.search(args.within, f["path"])]
                   for name, sample in samples.items()}

    scratch = Scratch(TOP, args.dir, args.tests, args.reuse, args.jobs)
    # Judged file by file, so that restoring a file and planting the next
    # fault in it cost one compile.
    todo = {f["id"]: f for sample in samples.values() for f in sample}
    print(f"mutants: {len(todo)} faults of {len(drawn)} sites", flush=True)
    judged = {}
    for fault in sorted(todo.values(), key=lambda f: (f["path"], f["offset"])):
        judged[fault["id"]] = verdict, by = scratch.judge(fault)
        print(f"{verdict:<9} {by:<36} {fault['id']}  -> {fault['new']!r}", flush=True)
    scratch.rebuild()
    unexplained = set()
    for name, sample in samples.items():
        verdicts = [judged[f["id"]][0] for f in sample]
        caught, counted = verdicts.count("caught"), len(verdicts) - verdicts.count("not-built")
        survivors = sorted(f["id"] for f in sample if judged[f["id"]][0] == "SURVIVED")
        excused = [k for k in survivors if k in listed]
        unexplained |= {k for k in survivors if k not in listed}
        print(f"mutants: {name}: {caught} caught / {counted} counted "
              f"({100.0 * caught / max(counted, 1):.1f} %), {len(verdicts) - counted} not built; "
              f"{caught} / {counted - len(excused)} without the {len(excused)} listed equivalents")
        for key in survivors:
            print(f"  {'excused' if key in listed else 'UNEXPLAINED'} {key}  | {by_id[key]['line']}" +
                  (f"\n      because {listed[key][0]}" if key in listed else ""))
    return 1 if unexplained else 0


if __name__ == "__main__":
    sys.exit(main())
