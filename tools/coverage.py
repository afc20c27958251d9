#!/usr/bin/python3
"""Line and branch coverage of the product code by the unit and end-to-end tests.

Builds with --coverage in its own build directory, runs the tests through ctest (all but the
valgrind run), and prints per folder of the product the lines and branches the tests executed
(gcovr; tests/, fuzz/, bench/ and build directories are not product code). The table is also
written to BUILD/coverage.txt, the per-file figures to BUILD/coverage-files.txt.

Code that a test runs in a child process which leaves by _exit (a reboot, a launch) is counted
only when the test fixture dumps the child's counters first; --count-children builds with
BOOTMGR_GCOV_DUMP, which asks it to (its own build directory, build-cov-children). Compare runs
made the same way.

Usage: tools/coverage.py [--build DIR] [--jobs J] [--no-tests] [--count-children]
Exit status: 0 done, 1 the build or gcovr failed, 2 some tests failed (figures still printed).
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ["boot", "board", "image", "flash", "security", "rescue", "crypto", "platform", "sim",
           "tools"]


def run(cmd, **kw):
    print("+ " + " ".join(map(str, cmd)), flush=True)
    return subprocess.run(cmd, **kw).returncode


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n", 2)[2])
    ap.add_argument("--build", help="build directory (default build-cov)")
    ap.add_argument("--jobs", type=int, default=2, help="parallel jobs (default 2)")
    ap.add_argument("--no-tests", action="store_true",
                    help="report from the counters already in the build directory")
    ap.add_argument("--count-children", action="store_true",
                    help="count what test children ran before _exit (BOOTMGR_GCOV_DUMP)")
    args = ap.parse_args()
    build = Path(args.build or ("build-cov-children" if args.count_children else "build-cov"))
    flags = "--coverage -DBOOTMGR_GCOV_DUMP" if args.count_children else "--coverage"
    build = build if build.is_absolute() else ROOT / build
    env = dict(os.environ)
    env.setdefault("CCACHE_BASEDIR", str(ROOT.parent))
    if shutil.which("ccache"):
        env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
        env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")

    tests_failed = False
    if not args.no_tests:
        if not (build / "CMakeCache.txt").exists():
            gen = ["-G", "Ninja"] if shutil.which("ninja") else []
            if run(["cmake", "-S", ROOT, "-B", build, *gen, "-DCMAKE_BUILD_TYPE=Debug",
                    f"-DCMAKE_CXX_FLAGS={flags}", "-DCMAKE_C_FLAGS=--coverage",
                    "-DCMAKE_EXE_LINKER_FLAGS=--coverage"], env=env) != 0:
                return 1
        if run(["cmake", "--build", build, "-j", str(args.jobs)], env=env) != 0:
            return 1
        # Counters of an earlier run would add up with this one's.
        for gcda in build.rglob("*.gcda"):
            gcda.unlink()
        tests_failed = run(["ctest", "--test-dir", build, "-j", str(args.jobs), "-E", "^valgrind",
                            "--output-on-failure"], env=env) != 0

    summary = build / "coverage-summary.json"
    product = "|".join(FOLDERS)
    if run(["gcovr", "--root", ROOT, "--object-directory", build,
            "--filter", f"{ROOT}/({product})/", "--exclude", f"{ROOT}/(tests|fuzz|bench|build[^/]*)/",
            "--exclude-unreachable-branches", "--exclude-throw-branches",
            "--json-summary", summary, "--json-summary-pretty", "-j", str(args.jobs)],
           env=env) != 0:
        return 1
    files = json.loads(summary.read_text())["files"]

    per = {f: [0, 0, 0, 0] for f in FOLDERS}
    file_lines = []
    for entry in files:
        name = entry["filename"]
        folder = name.split("/", 1)[0]
        if folder not in per:
            continue
        t = per[folder]
        t[0] += entry["line_covered"]
        t[1] += entry["line_total"]
        t[2] += entry["branch_covered"]
        t[3] += entry["branch_total"]
        file_lines.append(f"{name:40} lines {entry['line_covered']:5}/{entry['line_total']:<5} "
                          f"branches {entry['branch_covered']:5}/{entry['branch_total']:<5}")

    def pct(a, b):
        return f"{100 * a / b:5.1f}%" if b else "    -"

    out = [f"{'folder':10} {'lines':>13} {'':>6}  {'branches':>13} {'':>6}"]
    total = [0, 0, 0, 0]
    for f in FOLDERS:
        lc, lt, bc, bt = per[f]
        total = [a + b for a, b in zip(total, per[f])]
        out.append(f"{f:10} {lc:6}/{lt:<6} {pct(lc, lt)}  {bc:6}/{bt:<6} {pct(bc, bt)}")
    lc, lt, bc, bt = total
    out.append(f"{'all':10} {lc:6}/{lt:<6} {pct(lc, lt)}  {bc:6}/{bt:<6} {pct(bc, bt)}")
    if tests_failed:
        out.append("Some tests failed: the figures count what ran.")
    report = "\n".join(out) + "\n"
    print("\nCoverage of the product code (gcovr; throw and unreachable branches left out)\n" +
          report, end="")
    (build / "coverage.txt").write_text(report)
    (build / "coverage-files.txt").write_text("\n".join(sorted(file_lines)) + "\n")
    print(f"coverage: written to {build / 'coverage.txt'} (per file: coverage-files.txt)")
    return 2 if tests_failed else 0


if __name__ == "__main__":
    sys.exit(main())
