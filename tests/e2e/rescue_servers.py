"""A real TFTP server on the loopback address and a pseudo-terminal for the board's ttyS0, for the
rescue end-to-end tests. Both are bounded in time and torn down by the test."""
import os
import pwd
import shutil
import socket
import subprocess
import termios
import time

TFTPD = shutil.which("in.tftpd") or "/usr/sbin/in.tftpd"
SERVER_LIFETIME = 300  # seconds; the server is stopped by the test long before


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TftpServer:
    """tftpd-hpa in foreground listen mode on 127.0.0.1 with its own root directory."""

    def __init__(self, root):
        self.root = str(root)
        os.makedirs(self.root, exist_ok=True)
        os.chmod(self.root, 0o755)
        self.port = free_udp_port()
        user = pwd.getpwuid(os.getuid()).pw_name
        self.proc = subprocess.Popen(
            ["timeout", str(SERVER_LIFETIME), TFTPD, "--foreground", "--listen",
             "--address", f"127.0.0.1:{self.port}", "--user", user, "--secure", self.root],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self._wait_ready()

    def _wait_ready(self):
        # A read request for a missing file gets an error packet once the server listens.
        deadline = time.monotonic() + 10
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.settimeout(0.2)
            while time.monotonic() < deadline:
                if self.proc.poll() is not None:
                    raise RuntimeError("in.tftpd ended: " + self.proc.stderr.read().decode())
                s.sendto(b"\x00\x01probe-missing\x00octet\x00", ("127.0.0.1", self.port))
                try:
                    s.recvfrom(512)
                    return
                except socket.timeout:
                    continue
        raise RuntimeError("in.tftpd did not answer on port %d" % self.port)

    def put(self, name, data):
        path = os.path.join(self.root, name)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, 0o644)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


READ_SYSCALL = {"x86_64": 0, "aarch64": 63, "ppc": 3, "ppc64le": 3}.get(os.uname().machine)


def wait_reading_console(pid, timeout=10):
    """Waits until the process blocks reading its console (descriptor 0), so that a Ctrl-C sent
    now interrupts that read instead of arriving just before it."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            fields = []
        if READ_SYSCALL is None or not fields or fields[0] == "running":
            if READ_SYSCALL is None:
                time.sleep(0.3)
                return
        elif int(fields[0]) == READ_SYSCALL and int(fields[1], 16) == 0:
            return
        time.sleep(0.01)
    raise AssertionError("the board never waited for a key")


class SerialLine:
    """A pseudo-terminal pair: the board opens `path` as its ttyS0, the test holds `master`."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)

    def wait_raw(self, timeout=10):
        """Waits until the board has switched the line to the download settings."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not termios.tcgetattr(self.slave)[3] & termios.ECHO:
                return
            time.sleep(0.05)
        raise AssertionError("the board never switched ttyS0 to raw mode")

    def wait_cooked(self, timeout=30):
        """Waits until the board has put the saved (echoing) settings back."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if termios.tcgetattr(self.slave)[3] & termios.ECHO:
                return
            time.sleep(0.05)
        raise AssertionError("the board never restored ttyS0")

    def send(self, data):
        os.write(self.master, data)

    def drain(self):
        """Discards what the board sent on the line so far."""
        os.set_blocking(self.master, False)
        try:
            while os.read(self.master, 4096):
                pass
        except (BlockingIOError, OSError):
            pass
        os.set_blocking(self.master, True)

    def sender(self, path):
        """lrzsz's XMODEM-1K sender on the line."""
        return subprocess.Popen(["sx", "-k", str(path)], stdin=self.master, stdout=self.master,
                                stderr=subprocess.PIPE)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


def send_xmodem(path, link):
    """Plays the far end of the serial line once: waits for the board to switch the line to the
    download speed, presses Enter, sends the file with XMODEM-1K, and presses Enter again when
    the board has switched back."""
    line = SerialLine()
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(line.path, link)
    print(f"ttyS0 for the board: {link} -> {line.path}", flush=True)
    try:
        line.wait_raw(timeout=600)
        line.send(b"\r")
        sender = line.sender(path)
        status = sender.wait(timeout=600)
        print(f"sx -k ended with status {status}", flush=True)
        line.wait_cooked(timeout=600)
        line.drain()
        line.send(b"\n")
        time.sleep(1)  # let the board read the key before the line goes away
    finally:
        os.remove(link)
        line.close()
    return 0 if status == 0 else 1


if __name__ == "__main__":
    import argparse
    parser = argparse.ArgumentParser(description="the far end of the simulated board's ttyS0")
    parser.add_argument("file", help="the package to send with XMODEM-1K")
    parser.add_argument("--link", default="/tmp/board-tty",
                        help="where to put a link to the board's end (default /tmp/board-tty)")
    args = parser.parse_args()
    raise SystemExit(send_xmodem(args.file, args.link))
