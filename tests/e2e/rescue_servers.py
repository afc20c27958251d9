"""The far ends of the simulated board's downloads (tests and README): a read-only TFTP server on
127.0.0.1 that any user can run (in.tftpd must drop privileges per request, which needs root),
and a pseudo-terminal standing for ttyS0 with lrzsz's XMODEM-1K sender."""
import argparse
import os
import socket
import struct
import subprocess
import termios
import threading
import time

LIFETIME = 600  # seconds: a forgotten server does not live on


class TftpServer:
    """RRQ in octet mode, 512-byte blocks, from `root`. silent=True takes requests and never
    answers (a server that has gone away mid-transfer)."""

    def __init__(self, root, port=0, silent=False):
        self.root, self.silent = os.path.abspath(root), silent
        os.makedirs(self.root, exist_ok=True)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", port))
        self.sock.settimeout(0.2)
        self.port = self.sock.getsockname()[1]
        self.clients, self.stopped = set(), threading.Event()
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        deadline = time.monotonic() + LIFETIME
        while not self.stopped.is_set() and time.monotonic() < deadline:
            try:
                packet, peer = self.sock.recvfrom(1024)
            except socket.timeout:
                continue
            name = packet[2:].split(b"\x00")[0].decode(errors="replace")
            self.clients.add(peer)  # a new client port per run of the tftp command
            if packet[:2] == b"\x00\x01" and not self.silent:  # a read request
                threading.Thread(target=self._send, args=(name, peer), daemon=True).start()
        self.sock.close()

    def _send(self, name, peer):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            s.settimeout(1)
            path = os.path.normpath(os.path.join(self.root, name.lstrip("/")))
            if not path.startswith(self.root + os.sep) or not os.path.isfile(path):
                s.sendto(b"\x00\x05\x00\x01File not found\x00", peer)
                return
            data = open(path, "rb").read()
            for block in range(1, len(data) // 512 + 2):
                packet = struct.pack("!HH", 3, block & 0xFFFF) + data[(block - 1) * 512:block * 512]
                for _ in range(5):
                    s.sendto(packet, peer)
                    try:
                        if s.recvfrom(16)[0][:4] == struct.pack("!HH", 4, block & 0xFFFF):
                            break
                    except socket.timeout:
                        pass
                else:
                    return


def wait_reading_console(pid, timeout=10):
    """Waits until the process blocks reading descriptor 0 (so a Ctrl-C interrupts that read)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            fields = open(f"/proc/{pid}/syscall").read().split()
        except OSError:
            fields = []
        if len(fields) > 1 and fields[0] == "0" and int(fields[1], 16) == 0:
            return
        time.sleep(0.01)
    raise AssertionError("the board never waited for a key")


def send_xmodem(path, link, timeout=LIFETIME):
    """The far end of ttyS0 on a pseudo-terminal linked as `link`: Enter once the board has put
    the line to its download settings (echo off), lrzsz's XMODEM-1K sender, Enter again once the
    saved settings (echo on) are back. 0 when the sender succeeded."""
    master, slave = os.openpty()
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(slave), link)

    def wait_echo(on):
        deadline = time.monotonic() + timeout
        while bool(termios.tcgetattr(slave)[3] & termios.ECHO) != on:
            if time.monotonic() > deadline:
                raise AssertionError("the board never switched ttyS0")
            time.sleep(0.05)
    try:
        wait_echo(False)
        os.write(master, b"\r")
        status = subprocess.run(["sx", "-k", str(path)], stdin=master, stdout=master,
                                stderr=subprocess.PIPE, timeout=timeout).returncode
        wait_echo(True)
        os.write(master, b"\n")
        time.sleep(1)  # let the board read the key before the line goes away
    finally:
        os.remove(link)
        os.close(master)
        os.close(slave)
    return 0 if status == 0 else 1


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description="the far ends of the simulated board's downloads")
    sub = parser.add_subparsers(dest="what", required=True)
    t = sub.add_parser("tftp", help="serve the files of ROOT by TFTP on 127.0.0.1:PORT")
    t.add_argument("root")
    t.add_argument("--port", type=int, default=6969)
    x = sub.add_parser("xmodem", help="send FILE over a pseudo-terminal linked as --link")
    x.add_argument("file")
    x.add_argument("--link", default="board-tty")
    args = parser.parse_args()
    if args.what == "xmodem":
        raise SystemExit(send_xmodem(args.file, args.link))
    server = TftpServer(args.root, args.port)
    print(f"TFTP server on 127.0.0.1:{server.port} serving {server.root}", flush=True)
    server.stopped.wait(LIFETIME)
