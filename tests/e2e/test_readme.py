"""Every shell block of README.md runs as written, in order, in a scratch copy of the tracked
files with the build's programs as build/; its "# readme-test:" comments (skip REASON, fails,
input KEYS, a line's "not run (REASON)") are described at the top of the README. The
walk-throughs' scratch directory (BOOTMGR_WALK) is the test's own, and afterwards the copy holds
nothing but the tracked files and what the make targets leave."""
import os
import re
import signal
import subprocess
import time

from conftest import BIN, SRC


def blocks():
    text = open(os.path.join(SRC, "README.md")).read()
    return re.findall(r"^```sh\n(.*?)^```", text, re.S | re.M)


def test_readme_blocks_run_as_written(tmp_path):
    tracked = subprocess.run("git -c safe.directory='*' ls-files -z", shell=True, cwd=SRC,
                             check=True, capture_output=True, text=True).stdout.split("\0")
    subprocess.run("git -c safe.directory='*' ls-files -z | xargs -0 cp -a --parents -t "
                   + str(tmp_path), shell=True, cwd=SRC, check=True)
    env = {**os.environ, "BOOTMGR_WALK": str(tmp_path.parent / "walk")}
    os.symlink(os.path.dirname(BIN), tmp_path / "build")
    for n, block in enumerate(blocks(), 1):
        marks = dict(re.findall(r"# readme-test: (skip|fails|input)\b ?(.*)", block))
        if "skip" in marks:
            assert marks["skip"], f"block {n}: say why it is skipped"
            continue
        script = "\n".join(l for l in block.splitlines() if "# readme-test: not run (" not in l)
        keys = marks.get("input", "").encode().decode("unicode_escape")
        log = tmp_path / f"block{n}.log"
        with open(log, "w") as out:  # not a pipe: a server the block started may hold it open
            p = subprocess.Popen(["bash", "-e", "-c", script], cwd=tmp_path, text=True,
                                 stdin=subprocess.PIPE, stdout=out, stderr=subprocess.STDOUT,
                                 start_new_session=True, env=env)
            started = time.monotonic()
            try:
                p.communicate(keys, timeout=900)
            finally:
                try:
                    os.killpg(p.pid, signal.SIGTERM)  # servers the block left running
                except ProcessLookupError:
                    pass
        out = log.read_text(errors="replace")
        assert (p.returncode != 0) == ("fails" in marks), \
            f"README block {n} ended with {p.returncode}:\n{block}\n--- output:\n{out[-6000:]}"
        print(f"README block {n}: {time.monotonic() - started:.1f} s", flush=True)
    assert len(blocks()) >= 5, "the README's shell blocks were found"
    left = {os.path.relpath(os.path.join(d, f), tmp_path) for d, _, fs in os.walk(tmp_path)
            for f in fs} - set(tracked)
    assert {p for p in left if not re.match(r"(demo-board/|block\d+\.log$)", p)} == set()
