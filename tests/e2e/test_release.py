"""What a release ships: the Debian package of the host tools unpacked into a scratch root and run
from there, `cmake --install` with the man pages, every program's --version, and bootmgr's refusal
to act on a machine that is not the board."""
import os
import subprocess

from conftest import BIN, SRC

BUILD = os.path.dirname(BIN)


def run(*args, status=0, **kw):
    r = subprocess.run([*map(str, args)], capture_output=True, text=True, **kw)
    assert r.returncode == status, f"{args}: {r.returncode}\n{r.stdout}{r.stderr}"
    return r.stdout + r.stderr


def test_the_package_unpacked_into_a_scratch_root_runs(tmp_path):
    run("cpack", "-G", "DEB", "-B", tmp_path / "out", cwd=BUILD)
    [deb] = [p for p in (tmp_path / "out").iterdir() if p.suffix == ".deb"]
    assert "libssl3" in run("dpkg-deb", "-f", deb, "Depends")
    root = tmp_path / "root"
    run("dpkg-deb", "-x", deb, root)
    tools = root / "usr" / "bin"
    version = run(tools / "bootimg", "--version")
    assert version.startswith("bootimg 1.") and "source revision" in version
    assert run(tools / "bootmgr-sim", "--version").split()[1] == version.split()[1]
    (tmp_path / "pay").write_bytes(os.urandom(3000))
    run(tools / "bootimg", "create", "--kind", "kernel", "--version", "1.2.3.4", tmp_path / "pay",
        "-o", tmp_path / "img")
    run(tools / "bootimg", "sign", "--key", os.path.join(SRC, "keys/test/test_production_key.pem"),
        tmp_path / "img", "-o", tmp_path / "img")
    run(tools / "bootmgr-sim", "--board", tmp_path / "board", "--new", "--write",
        f"kernel={tmp_path / 'img'}")
    assert '"version":"1.2.3.4"' in run(tools / "bootmgr-sim", "--board", tmp_path / "board",
                                         "--status", "--json")
    for tool in ("bootimg", "bootmgr-sim"):
        page = run("man", "-l", root / "usr/share/man/man1" / f"{tool}.1", env={
            **os.environ, "MANWIDTH": "100"})
        assert "--version" in page and "--help" in page
    assert "SUBCOMMANDS" in run("man", "-l", root / "usr/share/man/man1/bootimg.1")


def test_cmake_install_puts_the_tools_and_man_pages_under_the_prefix(tmp_path):
    run("cmake", "--install", BUILD, "--prefix", tmp_path)
    assert sorted(os.listdir(tmp_path / "bin")) == ["bootimg", "bootmgr-sim"]
    assert sorted(os.listdir(tmp_path / "share/man/man1")) == ["bootimg.1", "bootmgr-sim.1"]


def test_bootmgr_answers_and_refuses_without_touching_a_device(tmp_path):
    bootmgr = os.path.join(BIN, "bootmgr")
    assert run(bootmgr, "--version").startswith("bootmgr 1.")
    assert "usage: bootmgr" in run(bootmgr, "--help")
    assert "unknown argument '--now'" in run(bootmgr, "--now", status=2)
    # this build machine is not the board: nothing set, nothing rebooted, whoever starts it
    for start in ([], ["setsid", "-w"]):
        out = run(*start, bootmgr, status=3, cwd=tmp_path)
        assert "this is not the board" in out and "Booting" not in out
