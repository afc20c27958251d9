"""A simulated board powered up on a pseudo-terminal: the normal boot, the fall-back to the other
slot, and the reboot when neither slot holds a bootable image -- with the console text exactly as
the operator sees it."""
import pytest

from conftest import EXIT_REBOOT, finish

GOOD, CRC_BAD, ERASED = "good", "crc-bad", "erased"


def prepare(board, tmp_path, slots, boot_slot=1):
    args = ["--boot-slot", boot_slot]
    for n, state in enumerate(slots, start=1):
        if state == ERASED:
            continue
        img = board.image(tmp_path, f"slot{n}", f"1.0.0.{n}")
        args += ["--write", f"slot{n}={img}"]
        if state == CRC_BAD:
            args += ["--corrupt", f"slot{n}"]
    board.sim(*args)


INVALID_1 = ["Image has invalid header 0xffffffff. (0x673636f)",
             "Image1 has invalid header... trying Image2."]

CASES = [
    # (name, slot states, boot slot byte, console lines in order, exit status, booted slot)
    ("good slot 1", (GOOD, GOOD), 1,
     ["Booting image '1'", "Running install script", "e2e install script ran",
      "[board] exec /bin/backtrace"], 0, 1),
    ("boot slot byte 2", (ERASED, GOOD), 2,
     ["Booting image '2'", "Running install script", "[board] exec /bin/backtrace"], 0, 2),
    ("slot 1 fails its CRC", (CRC_BAD, GOOD), 1,
     ["Booting image '1'", "Image1 CRC failed, trying Image2 now.", "Booting image '2'",
      "Running install script", "[board] exec /bin/backtrace"], 0, 2),
    ("slot 1 erased", (ERASED, GOOD), 1,
     ["Booting image '1'", *INVALID_1, "Booting image '2'", "[board] exec /bin/backtrace"], 0, 2),
    ("both fail their CRC", (CRC_BAD, CRC_BAD), 1,
     ["Booting image '1'", "Image1 CRC failed, trying Image2 now.", "Booting image '2'",
      "Both image1 and image2 failed.", "[board] reboot: the board restarts"], EXIT_REBOOT, None),
    ("both erased", (ERASED, ERASED), 1,
     ["Booting image '1'", *INVALID_1, "Booting image '2'",
      "No valid application image found. Trying rescue image",
      "[board] reboot: the board restarts"], EXIT_REBOOT, None),
    ("bad slot 2 chosen, slot 1 good", (GOOD, CRC_BAD), 2,
     ["Booting image '2'", "Image2 CRC failed, trying Image1 now.", "Booting image '1'",
      "[board] exec /bin/backtrace"], 0, 1),
]


@pytest.mark.parametrize("name,slots,boot_slot,lines,status,booted", CASES,
                         ids=[c[0] for c in CASES])
def test_power_up(board, tmp_path, name, slots, boot_slot, lines, status, booted):
    prepare(board, tmp_path, slots, boot_slot)
    child = board.spawn()
    for line in lines:
        child.expect_exact(line + "\r\n")
    rest, exit_status = finish(child)
    assert exit_status == status, f"{name}: rest of the output:\n{rest}"
    assert "Booting image" not in rest, "no third attempt"

    events = board.events()
    commands = [text for kind, text in events if kind == "system"]
    assert commands[0] == "date 122413452025.30\\n"
    if booted is None:
        assert not any(kind == "exec" for kind, _ in events)
        assert commands[-1] == "reboot"
    else:
        assert ("exec", "/bin/backtrace") in events
        assert ("argv", "0 /bin/backtrace") in events
        assert ("env", "E2E_NAME=board") in events
        assert "reboot" not in commands


def test_the_reboot_comes_after_a_one_second_pause(board, tmp_path):
    prepare(board, tmp_path, (ERASED, ERASED))
    _, status = finish(board.spawn())
    assert status == EXIT_REBOOT
    kinds = [(k, t) for k, t in board.events() if k in ("sleep", "system")]
    assert kinds[-2:] == [("sleep", "1000"), ("system", "reboot")]
