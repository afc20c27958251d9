#!/usr/bin/python3
"""Mutation testing: how many deliberately planted faults do the tests find?

Applies a seeded, folder-stratified sample of small faults to the product sources (an operator
swapped, a constant moved by one, a condition negated, a statement removed), rebuilds only the
mutated unit and the test program that covers it in one persistent build directory, runs that
program and counts the fault as killed when the program fails, crashes or times out. A mutant that
does not compile is discarded and the next candidate of its folder takes its place.

A unit linked into a library is judged by every unit test program that exercises it: the one named
after its folder (tests/<folder>/ -> <folder>_tests) first, then each other whose test files
include the unit's header, directly or through the units and test support they include (a program
that reaches boot/boot_sequence.h reaches board/boot_slot.h through boot_sequence.cpp); a mutant
counts as killed when any of them fails. A unit no program reaches borrows the cheapest unit
programs. A unit linked into a program of its own (the simulator, bootimg) is covered by the
cheapest end-to-end pytest files that drive that program. Units no test runs (the board-only entry
point) are listed, not sampled.

The sample depends on the seed and on the text of the code, not on where it stands: the same seed
draws the same mutants from code that moved to another file or line, so that runs before and
after a change compare mostly the same faults. The report lists every mutant run.

Usage: tools/mutants.py [--mutants N] [--seed S] [--folders F,..] [--build DIR] [--jobs J] [--out FILE]
Exit status: 0 done, 1 bad usage or environment, 2 the unmutated tests fail, 130 interrupted.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ["boot", "board", "image", "flash", "security", "rescue", "crypto", "platform", "sim",
           "tools"]
PYTHON = "/usr/bin/python3"
# What one mutant may spend on its end-to-end tests, measured on the unmutated build.
E2E_BUDGET_S = 25.0
# What a folder without a unit program of its own may spend on borrowed unit programs.
BORROW_BUDGET_S = 8.0


def log(msg):
    print(msg, flush=True)


def die(msg, code=1):
    print(f"mutants: {msg}", file=sys.stderr, flush=True)
    sys.exit(code)


# ---------------------------------------------------------------------------------------------
# Restoring sources: the original text is journalled before a mutant is written, so that an
# interrupted run (Ctrl-C, kill, a crash of this script) is mended by the next one at the latest.

class Restorer:
    def __init__(self, journal: Path):
        self.journal = journal
        self.path = None
        self.original = None

    def recover(self):
        if not self.journal.exists():
            return
        entry = json.loads(self.journal.read_text())
        path = Path(entry["path"])
        path.write_bytes(bytes.fromhex(entry["original"]))
        self.journal.unlink()
        log(f"mutants: restored {path} left mutated by an interrupted run")

    def mutate(self, path: Path, text: str):
        self.restore()
        original = path.read_bytes()
        tmp = self.journal.with_suffix(".tmp")
        tmp.write_text(json.dumps({"path": str(path), "original": original.hex()}))
        os.replace(tmp, self.journal)
        self.path, self.original = path, original
        path.write_text(text)

    def restore(self):
        if self.path is None:
            return
        self.path.write_bytes(self.original)
        self.path = self.original = None
        self.journal.unlink(missing_ok=True)


def on_signal(signum, _frame):
    raise KeyboardInterrupt(f"signal {signum}")


# ---------------------------------------------------------------------------------------------
# Finding mutation sites.

def mask_source(text: str) -> str:
    """The text with comments and string/character literals blanked (same length, newlines kept),
    so that operators and numbers are only found in code."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum()):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            end = text.find(")" + m.group(1) + '"', i)
            j = n if end < 0 else end + len(m.group(1)) + 2
            blank(i, j)
            i = j
        elif c in "\"'":
            # A quote right after a digit is a digit separator, not a literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum():
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, min(j, n))
            i = j + 1
        else:
            i += 1
    return "".join(out)


def compiled_lines(src: Path, command: str, directory: str):
    """Source lines that survive the preprocessor with the build's own flags (drops lines in
    inactive #if branches), or None when the preprocessor cannot be run."""
    args = command.split()
    try:
        o = args.index("-o")
        del args[o:o + 2]
    except ValueError:
        pass
    args = [a for a in args if a != "-c" and a != str(src) and not a.endswith(str(src))]
    if args and "ccache" in os.path.basename(args[0]):
        args = args[1:]
    r = subprocess.run(args + ["-E", str(src)], cwd=directory, capture_output=True, text=True)
    if r.returncode != 0:
        return None
    lines, current, in_main = set(), 0, False
    for out in r.stdout.splitlines():
        m = re.match(r'# (\d+) "([^"]*)"', out)
        if m:
            current = int(m.group(1))
            in_main = os.path.realpath(os.path.join(directory, m.group(2))) == str(src)
            continue
        if in_main and out.strip():
            lines.add(current)
        current += 1
    return lines


@dataclass
class Mutation:
    file: Path
    line: int  # 1-based
    col: int  # 0-based start in the line
    length: int  # characters replaced
    replacement: str
    kind: str

    def describe(self, text_line: str) -> str:
        old = text_line[self.col:self.col + self.length]
        if self.kind == "remove":
            return f"statement removed: {old.strip()}"
        if self.kind == "negate":
            return f"condition negated: {old.strip()} -> {self.replacement.strip()}"
        return f"{self.kind}: '{old.strip()}' -> '{self.replacement.strip()}'"


SWAPS = {
    # comparisons
    "<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==",
    # arithmetic, bitwise and logical
    "+": "-", "-": "+", "*": "/", "/": "*", "%": "*", "&": "|", "|": "&", "^": "&",
    "<<": ">>", ">>": "<<", "&&": "||", "||": "&&",
    "+=": "-=", "-=": "+=", "|=": "&=", "&=": "|=", "<<=": ">>=", ">>=": "<<=", "*=": "/=",
}
COMPARE = {"<", "<=", ">", ">=", "==", "!="}
# clang-format puts spaces around binary operators and none inside template brackets, pointer
# declarators or unary operators: a spaced operator is a binary operator.
BINARY_RE = re.compile(r"(?<= )(<<=|>>=|<=|>=|==|!=|&&|\|\||<<|>>|\+=|-=|\|=|&=|\*=|[<>+\-*/%&|^])(?= )")
INCDEC_RE = re.compile(r"\+\+|--")
NUMBER_RE = re.compile(r"(?<![\w.'])(0[xX][0-9a-fA-F]+|\d+)([uUlL]*)(?![\w.'])")
COND_RE = re.compile(r"\b(if|while)\s*\(")
DECL_START = re.compile(
    r"^(return|break|continue|goto|case|default|const|constexpr|static|auto|using|typedef|struct|"
    r"class|enum|namespace|template|extern|inline|friend|public|private|protected|unsigned|signed|"
    r"int|char|bool|long|short|float|double|void|std::\w+(?!\s*[(:=.]))\b")
DECL_LIKE = re.compile(r"^[A-Za-z_][\w:]*(<[^;=]*>)?[\s*&]+[A-Za-z_]\w*\s*([=({\[;,]|$)")


def line_sites(path: Path, lineno: int, code: str, orig: str):
    """Every mutation of one code line (`code` is the line masked, `orig` as written)."""
    sites = []
    if "static_assert" in code or code.lstrip().startswith("#"):
        return sites
    for m in BINARY_RE.finditer(code):
        op = m.group(1)
        kind = "comparison" if op in COMPARE else "operator"
        sites.append(Mutation(path, lineno, m.start(), len(op), SWAPS[op], kind))
    for m in INCDEC_RE.finditer(code):
        sites.append(Mutation(path, lineno, m.start(), 2, "--" if m.group() == "++" else "++",
                              "operator"))
    for m in NUMBER_RE.finditer(code):
        digits, suffix = m.group(1), m.group(2)
        value = int(digits, 0) if not (len(digits) > 1 and digits.startswith("0") and
                                       digits[1] not in "xX") else int(digits, 8)
        # Up or down by where the number stands in its statement, not by its line number, so
        # the same code draws the same mutant wherever it moves.
        up = value == 0 or (m.start() - (len(code) - len(code.lstrip()))) % 2 == 0
        new = value + 1 if up else value - 1
        if digits[:2].lower() == "0x":
            text = digits[:2] + f"{new:0{len(digits) - 2}{'x' if digits.islower() else 'X'}}"
        else:
            text = str(new)
        sites.append(Mutation(path, lineno, m.start(), len(digits) + len(suffix), text + suffix,
                              "constant"))
    for m in COND_RE.finditer(code):
        open_at = m.end() - 1
        depth = 0
        for k in range(open_at, len(code)):
            depth += {"(": 1, ")": -1}.get(code[k], 0)
            if depth == 0:
                inner = code[open_at + 1:k]
                declares = re.match(r"\s*(const\s+)?[\w:<>]+[\s*&]+\w+\s*=(?!=)", inner)
                if inner.strip() and ";" not in inner and not declares:
                    sites.append(Mutation(path, lineno, open_at, k + 1 - open_at,
                                          f"(!({orig[open_at + 1:k]}))", "negate"))
                break
    return sites


def statement_site(path: Path, lineno: int, code: str, prev_end: str):
    """Removal of a whole one-line expression statement (a call, an assignment, a step)."""
    s = code.strip()
    if not s.endswith(";") or prev_end not in ";{}:" or s.count("(") != s.count(")"):
        return None
    if re.search(r"=\s*(delete|default)\s*;$", s):  # a declaration: removing it changes nothing
        return None
    if s.count("{") or s.count("}") or DECL_START.match(s):
        if not s.startswith(("break;", "continue;")):
            return None
    elif DECL_LIKE.match(s) or not re.search(r"\(|(?<![=!<>])=(?!=)|\+\+|--", s):
        return None
    start = len(code) - len(code.lstrip())
    return Mutation(path, lineno, start, len(s), "", "remove")


def file_sites(path: Path, compiled):
    text = path.read_text()
    origs = text.split("\n")
    masked = mask_source(text).split("\n")
    sites, prev_end = [], ";"
    for i, code in enumerate(masked, start=1):
        s = code.strip()
        if not s:
            continue
        if s.startswith("#"):
            prev_end = ";"
            continue
        if compiled is None or i in compiled:
            sites += line_sites(path, i, code, origs[i - 1])
            st = statement_site(path, i, code, prev_end)
            if st:
                sites.append(st)
        prev_end = s[-1]
    return sites


def stable_hash(text: str) -> str:
    return hashlib.sha256(text.encode()).hexdigest()


def apply(m: Mutation) -> str:
    lines = m.file.read_text().split("\n")
    ln = lines[m.line - 1]
    lines[m.line - 1] = ln[:m.col] + m.replacement + ln[m.col + m.length:]
    return "\n".join(lines)


def quotas(by_folder, folders, n):
    # Stratified quota: every folder a floor share, the rest by its number of mutable lines.
    line_count = {f: len({(str(m.file), m.line) for m in by_folder[f]}) for f in folders}
    total_lines = sum(line_count.values())
    floor_share = max(1, n // (2 * len(folders)))
    quota = {f: min(floor_share, len(by_folder[f])) for f in folders}
    rest = n - sum(quota.values())
    if rest > 0:
        raw = {f: rest * line_count[f] / total_lines for f in folders}
        for f in folders:
            quota[f] += int(raw[f])
        left = n - sum(quota.values())
        for f in sorted(folders, key=lambda f: raw[f] - int(raw[f]), reverse=True)[:left]:
            quota[f] += 1
    return quota


def draw(by_folder, folders, seed):
    # Within a folder, lines are drawn first and then one of their mutations, so that long
    # constant tables do not crowd out the logic. The draw ranks each line by a hash of the seed
    # and the line's text with its neighbours, not by its place: code that moves to another file
    # or line, and edits elsewhere, leave the rest of the sample as it was, so that runs before
    # and after a change of the code compare mostly the same mutants.
    queues = {}
    texts = {}
    for f in folders:
        per_line = {}
        for m in sorted(by_folder[f], key=lambda m: (str(m.file), m.line, m.col, m.kind,
                                                      m.replacement)):
            per_line.setdefault((m.file, m.line), []).append(m)
        seen = {}
        ranked = []
        for (path, lineno), ms in per_line.items():
            if path not in texts:
                texts[path] = path.read_text().split("\n")
            raw = texts[path]
            context = "\n".join(ln.strip() for ln in raw[max(0, lineno - 2):lineno + 1])
            nth = seen[context] = seen.get(context, -1) + 1
            key = f"{seed}\0{f}\0{context}\0{nth}"
            indent = len(raw[lineno - 1]) - len(raw[lineno - 1].lstrip())
            ms.sort(key=lambda m: stable_hash(
                f"{key}\0{m.kind}\0{m.replacement}\0{m.col - indent}"))
            ranked.append((stable_hash(key), ms))
        ranked.sort(key=lambda r: r[0])
        lines_ = [ms for _, ms in ranked]
        queue = []
        for depth in range(max(len(ms) for ms in lines_)):
            queue += [ms[depth] for ms in lines_ if depth < len(ms)]
        queues[f] = queue
    return queues


# ---------------------------------------------------------------------------------------------
# The build and the test programs.

class Build:
    def __init__(self, build_dir: Path, jobs: int):
        self.dir = build_dir
        self.jobs = jobs
        self.env = dict(os.environ)
        self.env.setdefault("CCACHE_BASEDIR", str(ROOT.parent))
        self.env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        self.env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
        if not shutil.which("ccache"):
            self.env.pop("CMAKE_CXX_COMPILER_LAUNCHER")
            self.env.pop("CMAKE_C_COMPILER_LAUNCHER")

    def configure(self):
        if (self.dir / "CMakeCache.txt").exists():
            return
        gen = ["-G", "Ninja"] if shutil.which("ninja") else []
        # -O1 without debug info: a quarter of the compile time of the default build, same code.
        r = subprocess.run(["cmake", "-S", str(ROOT), "-B", str(self.dir), *gen,
                            "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS_RELEASE=-O1 -DNDEBUG"],
                           env=self.env, capture_output=True, text=True)
        if r.returncode != 0:
            die(f"cmake configure failed:\n{r.stdout}{r.stderr}")

    def build(self, targets, timeout=600):
        try:
            r = subprocess.run(["cmake", "--build", str(self.dir), "-j", str(self.jobs), "--target",
                                *targets], env=self.env, capture_output=True, text=True,
                               timeout=timeout)
        except subprocess.TimeoutExpired:
            return False, "build timed out"
        return r.returncode == 0, r.stdout + r.stderr

    def compile_commands(self):
        return json.loads((self.dir / "compile_commands.json").read_text())

    def ninja_query_outputs(self, obj: str):
        """The build outputs that consume an object file (a library or a program)."""
        r = subprocess.run(["ninja", "-C", str(self.dir), "-t", "query", obj], capture_output=True,
                           text=True)
        outs, in_outputs = [], False
        for ln in r.stdout.splitlines():
            if ln.strip() == "outputs:":
                in_outputs = True
            elif in_outputs and ln.startswith("    "):
                outs.append(ln.strip())
            elif not ln.startswith(" "):
                in_outputs = False
        return outs


@dataclass
class Runner:
    """One way to run tests: a unit test program or a pytest file, with its build targets."""
    name: str
    targets: list
    argv: list
    cwd: Path
    env: dict
    seconds: float = 0.0

    def run(self, timeout, log_file=None):
        out = open(log_file, "w") if log_file else subprocess.DEVNULL
        p = subprocess.Popen(self.argv, cwd=self.cwd, env=self.env, stdout=out,
                             stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             start_new_session=True)
        try:
            return p.wait(timeout=timeout) == 0
        except subprocess.TimeoutExpired:
            return False
        finally:
            # A hung mutant's test leaves children (a simulated board, say) in its session; they
            # would go on eating a core for the rest of the run.
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
            if log_file:
                out.close()


def unit_runner(build: Build, program: str):
    return Runner(program, [program],
                  [str(build.dir / "bin" / program), "--gtest_fail_fast", "--gtest_brief=1"],
                  build.dir / "tests", dict(build.env))


def e2e_runners(build: Build):
    env = dict(build.env)
    env["BOOTMGR_BIN"] = str(build.dir / "bin")
    env["BOOTMGR_SOURCE_DIR"] = str(ROOT)
    out = []
    for t in sorted((ROOT / "tests" / "e2e").glob("test_*.py")):
        out.append(Runner(f"e2e/{t.name}", [], [PYTHON, "-m", "pytest", "-q", "-x", "-p",
                                               "no:cacheprovider", str(t)], ROOT, env))
    return out


INCLUDE_RE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def reached_files(roots):
    """Every source file of the tree that the roots include, directly or through others; reaching
    a header brings in its unit's source (x.h -> x.cpp), whose includes count too."""
    seen, todo = set(), [Path(r).resolve() for r in roots]
    while todo:
        f = todo.pop()
        if f in seen or not f.exists():
            continue
        seen.add(f)
        if f.suffix == ".h":
            todo.append(f.with_suffix(".cpp"))
        for name in INCLUDE_RE.findall(f.read_text(errors="replace")):
            for base in (f.parent, ROOT):
                target = (base / name).resolve()
                if target.exists() and ROOT in target.parents:
                    todo.append(target)
                    break
    return seen


def folder_of(src: Path):
    rel = src.relative_to(ROOT)
    return rel.parts[0] if rel.parts[0] in FOLDERS else None


# ---------------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n", 2)[2])
    ap.add_argument("--mutants", type=int, default=100, help="mutants to run (default 100)")
    ap.add_argument("--seed", type=int, default=1, help="sample seed (default 1)")
    ap.add_argument("--build", default="build-mutants", help="build directory (default build-mutants)")
    ap.add_argument("--jobs", type=int, default=2, help="parallel build jobs (default 2)")
    ap.add_argument("--out", help="report file (default BUILD/mutants.txt)")
    ap.add_argument("--list", action="store_true", help="print the sample and the mapping, run nothing")
    ap.add_argument("--folders", help="run only these folders' share of the sample (comma-separated); "
                    "the draw stays that of the whole run, so figures compare with it")
    args = ap.parse_args()
    if args.mutants < 1:
        die("--mutants must be at least 1")
    only = set(args.folders.split(",")) if args.folders else set(FOLDERS)
    if only - set(FOLDERS):
        die(f"unknown folder(s) {', '.join(sorted(only - set(FOLDERS)))}; folders: {' '.join(FOLDERS)}")
    if not shutil.which("ninja"):
        die("ninja is needed (apt-get install ninja-build)")

    build = Build((ROOT / args.build).resolve() if not os.path.isabs(args.build) else Path(args.build),
                  args.jobs)
    build.dir.mkdir(parents=True, exist_ok=True)
    out_file = Path(args.out) if args.out else build.dir / "mutants.txt"
    restorer = Restorer(build.dir / "mutant-journal.json")
    restorer.recover()
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, on_signal)

    started = time.monotonic()
    build.configure()
    if not (build.dir / "build.ninja").exists():
        die(f"{build.dir} is not a Ninja build directory; remove it or pick another --build")

    # tests/<area>/ with *_test.cpp files is the unit program <area>_tests (tests/CMakeLists.txt).
    unit_programs = sorted(f"{p.name}_tests" for p in (ROOT / "tests").iterdir()
                           if p.is_dir() and p.name != "support" and list(p.glob("*_test.cpp")))
    unit_programs = [p for p in unit_programs if p[:-len("_tests")] in FOLDERS]
    log(f"mutants: building the unmutated tests in {build.dir}")
    ok, text = build.build(unit_programs + ["bootmgr-sim", "bootimg"], timeout=3600)
    if not ok:
        die(f"the unmutated build fails:\n{text[-3000:]}", 2)

    # Which program each product unit ends up in. Read after the build: it re-globs the sources
    # and so knows units added or removed since the last run.
    commands = {}
    for entry in build.compile_commands():
        src = Path(entry["file"]).resolve()
        if folder_of(src) and src.suffix == ".cpp" and ROOT / "tests" not in src.parents \
                and src.exists():
            commands[src] = entry

    owners = {}  # src -> (kind, name) where kind is "lib" or "exe"
    for src, entry in commands.items():
        obj = entry.get("output") or re.search(r"-o (\S+)", entry["command"]).group(1)
        outs = build.ninja_query_outputs(obj)
        exe = [o for o in outs if o.startswith("bin/")]
        owners[src] = ("exe", Path(exe[0]).name) if exe else ("lib", outs[0] if outs else "?")

    # The unmutated run: every runner must pass, and its time sets its timeout and its price.
    # Only programs named after a product folder are run (others, like a power-cut sweep over
    # every operation, cost minutes and cover nothing those do not).
    runners = {}
    for prog in unit_programs:
        runners[prog] = unit_runner(build, prog)
    e2e = e2e_runners(build)
    needed_exes = {name for kind, name in owners.values() if kind == "exe"}
    # An end-to-end file drives a program when it or the shared conftest.py names it.
    conf = ROOT / "tests" / "e2e" / "conftest.py"
    conf_text = conf.read_text() if conf.exists() else ""
    e2e_exes = {}
    for r in e2e:
        text = Path(r.argv[-1]).read_text() + conf_text
        e2e_exes[r.name] = {x for x in needed_exes
                            if re.search(rf"(?<![\w-]){re.escape(x)}(?![\w-])", text)}
        r.targets = sorted(e2e_exes[r.name])
        runners[r.name] = r
    log("mutants: timing the unmutated tests")
    for name, r in list(runners.items()):
        if args.list:
            continue
        unmutated_log = build.dir / f"unmutated-{name.replace('/', '-')}.log"
        t0 = time.monotonic()
        passed = r.run(timeout=900, log_file=unmutated_log)
        r.seconds = time.monotonic() - t0
        if not passed:  # once more, in case the machine's load made it stumble
            log(f"  {name:32} failed once (see {unmutated_log}); again")
            os.replace(unmutated_log, unmutated_log.with_suffix(".first.log"))
            t0 = time.monotonic()
            passed = r.run(timeout=900, log_file=unmutated_log)
            r.seconds = time.monotonic() - t0
        if passed and r.seconds > 2:
            # The cheapest runners are chosen by these times: the better of two runs is less at
            # the mercy of whatever else the machine is doing.
            t0 = time.monotonic()
            if r.run(timeout=900):
                r.seconds = min(r.seconds, time.monotonic() - t0)
        log(f"  {name:32} {'pass' if passed else 'FAIL'} {r.seconds:6.1f}s")
        if not passed:
            log(f"mutants: {name} fails unmutated; it is left out")
            del runners[name]

    unit_by_time = sorted((r for n, r in runners.items() if not n.startswith("e2e/")),
                          key=lambda r: r.seconds)

    def pick(candidates, budget):
        chosen, spent = [], 0.0
        for r in sorted(candidates, key=lambda r: r.seconds):
            if chosen and spent + r.seconds > budget:
                break
            chosen.append(r)
            spent += r.seconds
        return chosen

    # Which product sources each unit program's tests reach through their includes.
    reach = {prog: reached_files((ROOT / "tests" / prog[:-len("_tests")]).glob("*.[ch]*"))
             for prog in unit_programs}

    def cover(src):
        kind, name = owners[src]
        folder = folder_of(src)
        if kind == "exe":
            return pick([runners[n] for n, exes in e2e_exes.items() if name in exes and n in runners],
                        E2E_BUDGET_S)
        own = runners.get(f"{folder}_tests")
        others = [r for r in unit_by_time if r is not own and src in reach.get(r.name, ())]
        if own or others:
            return ([own] if own else []) + others
        return pick(unit_by_time, BORROW_BUDGET_S)

    mapping = {src: cover(src) for src in commands}
    uncovered = sorted(str(s.relative_to(ROOT)) for s, rs in mapping.items() if not rs)

    # Sites, by folder.
    log("mutants: finding mutation sites")
    by_folder = {f: [] for f in FOLDERS}
    for src in sorted(commands):
        if not mapping[src]:
            continue
        entry = commands[src]
        compiled = compiled_lines(src, entry["command"], entry["directory"])
        by_folder[folder_of(src)] += file_sites(src, compiled)
    folders = [f for f in FOLDERS if by_folder[f]]
    total_sites = sum(len(by_folder[f]) for f in folders)

    quota = quotas(by_folder, folders, args.mutants)
    queues = draw(by_folder, folders, args.seed)

    header = [f"Mutation testing, seed {args.seed}, {args.mutants} mutants, {total_sites} sites"]
    header.append("Tests per unit (a mutant is killed when any of them fails):")
    shown = {}
    for src in sorted(commands):
        key = (folder_of(src), owners[src][0], owners[src][1] if owners[src][0] == "exe" else "",
               tuple(r.name for r in mapping[src]))
        shown[key] = shown.get(key, 0) + 1
    for (folder, kind, exe, names), count in sorted(shown.items()):
        what = f"{folder}/ units in {exe}" if kind == "exe" else f"{folder}/ library units"
        header.append(f"  {what:26} {count:3} -> {', '.join(names) or 'none (not sampled)'}")
    if uncovered:
        header.append("Units no test runs (not sampled): " + ", ".join(uncovered))
    header.append("Quota per folder: " + ", ".join(f"{f} {quota[f]}" for f in folders))
    for ln in header:
        log(ln)
    if args.list:
        for f in folders:
            for m in queues[f][:quota[f]]:
                line = m.file.read_text().split("\n")[m.line - 1]
                log(f"  {m.file.relative_to(ROOT)}:{m.line}: {m.describe(line)}")
        return 0

    results = {f: {"killed": 0, "survived": 0, "discarded": 0} for f in folders}
    survivors = []
    outcomes = []
    plan = []  # interleave folders so an interrupted run still has every folder
    cursor = {f: 0 for f in folders}
    for k in range(max(quota.values())):
        plan += [f for f in folders if k < quota[f] and f in only]
    done = 0
    mutant_seconds = []
    interrupted = False
    try:
        for f in plan:
            while cursor[f] < len(queues[f]):
                m = queues[f][cursor[f]]
                cursor[f] += 1
                line = m.file.read_text().split("\n")[m.line - 1]
                what = f"{m.file.relative_to(ROOT)}:{m.line}: {m.describe(line)}"
                t0 = time.monotonic()
                restorer.mutate(m.file, apply(m))
                # Each program is linked only when the ones before it let the mutant live.
                built, killed, linked = True, False, set()
                for r in mapping[m.file]:
                    targets = sorted(set(r.targets) - linked)
                    if targets:
                        built, _ = build.build(targets, timeout=300)
                        linked.update(targets)
                        if not built:
                            break
                    if not r.run(timeout=max(10.0, 3 * r.seconds + 5)):
                        killed = True
                        break
                if not built:
                    restorer.restore()
                    results[f]["discarded"] += 1
                    continue
                restorer.restore()
                if owners[m.file][0] == "exe":
                    # The program is shared by other folders' end-to-end runs: rebuild it clean.
                    build.build([owners[m.file][1]], timeout=300)
                dt = time.monotonic() - t0
                mutant_seconds.append(dt)
                done += 1
                results[f]["killed" if killed else "survived"] += 1
                outcomes.append(f"{'killed  ' if killed else 'survived'} {what}")
                if not killed:
                    survivors.append(what)
                log(f"[{done}/{len(plan)}] {'killed  ' if killed else 'SURVIVED'} {dt:5.1f}s {what}")
                break
            else:
                log(f"mutants: {f}/ has no more candidates")
    except KeyboardInterrupt:
        interrupted = True
        log("mutants: interrupted; sources restored; partial results follow")
    finally:
        restorer.restore()

    lines = header + ["", f"{'folder':10} {'killed':>6} {'total':>6} {'rate':>6} {'discarded':>9}"]
    tk = tt = 0
    for f in [f for f in folders if f in only]:
        k, s, d = results[f]["killed"], results[f]["survived"], results[f]["discarded"]
        t = k + s
        tk += k
        tt += t
        rate = f"{100 * k / t:5.1f}%" if t else "    -"
        lines.append(f"{f:10} {k:6} {t:6} {rate:>6} {d:9}")
    lines.append(f"{'all':10} {tk:6} {tt:6} {(100 * tk / tt if tt else 0):5.1f}%")
    if mutant_seconds:
        lines.append(f"Time per mutant: mean {sum(mutant_seconds) / len(mutant_seconds):.1f}s, "
                     f"max {max(mutant_seconds):.1f}s; whole run {time.monotonic() - started:.0f}s")
    lines.append("")
    lines.append(f"Survivors ({len(survivors)}):")
    lines += [f"  {s}" for s in survivors]
    lines.append("")
    lines.append("Every mutant run, in folder order (for comparing runs with the same seed):")
    lines += [f"  {o}" for o in sorted(outcomes, key=lambda o: FOLDERS.index(o.split()[1].split("/")[0]))]
    report = "\n".join(lines) + "\n"
    print("\n" + report, end="")
    out_file.write_text(report)
    log(f"mutants: report written to {out_file}")
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main())
