#!/usr/bin/env python3
"""Measures vandrelux-cli and the window against the simulated box over socat-joined
pseudo-terminals, with lrzsz's ZMODEM moving the same file over the same kind of line in the
same run, and prints the table. bench/run.sh builds the programs and calls this."""

import argparse
import http.client
import json
import os
import platform
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

MIB = 1 << 20
CLK_TCK = os.sysconf("SC_CLK_TCK")
# A stuck run fails the benchmark instead of hanging it.
RUN_LIMIT_S = 300


class BenchError(Exception):
    pass


class Line:
    """A null-modem pair of pseudo-terminals: `pc` is our end, `box` the box's (or the peer's)."""

    def __init__(self, work: Path, name: str):
        self.box = str(work / f"{name}-box")
        self.pc = str(work / f"{name}-pc")
        self._log = open(work / f"{name}-socat.err", "w")
        self._proc = subprocess.Popen(
            ["socat", f"pty,raw,echo=0,link={self.box}", f"pty,raw,echo=0,link={self.pc}"],
            stdout=subprocess.DEVNULL, stderr=self._log)
        deadline = time.monotonic() + 5
        while not (os.path.exists(self.box) and os.path.exists(self.pc)):
            if self._proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise BenchError(f"socat did not make its pair of pseudo-terminals ({name})")
            time.sleep(0.01)

    def close(self):
        if self._proc.poll() is None:
            self._proc.terminate()
            try:
                self._proc.wait(5)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()
        self._log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Ser2net:
    """ser2net on 127.0.0.1 in front of `device`, one accepter of the given kind:
    "rfc2217" (Telnet with COM-port control) or "raw" (plain TCP); `url` names it. With
    "rfc2217-nodelay", ser2net forwards the box's bytes at once instead of waiting at least 1 ms
    for more (its chardelay)."""

    def __init__(self, work: Path, name: str, device: str, kind: str):
        probe = socket.socket()
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        probe.close()
        telnet = kind.startswith("rfc2217")
        accepter = "telnet(rfc2217),tcp" if telnet else "tcp"
        config = work / f"{name}-ser2net.yaml"
        config.write_text(f"%YAML 1.1\n---\nconnection: &box\n"
                          f"  accepter: {accepter},127.0.0.1,{port}\n"
                          f"  connector: serialdev,{device},115200n81,local\n" +
                          ("  options:\n    chardelay: false\n" if kind.endswith("nodelay")
                           else ""))
        self.url = f"{'rfc2217' if telnet else 'tcp'}://127.0.0.1:{port}"
        self._log = open(work / f"{name}-ser2net.log", "w")
        self._proc = subprocess.Popen(
            ["ser2net", "-n", "-d", "-P", str(work / f"{name}-ser2net.pid"), "-c", str(config)],
            stdout=self._log, stderr=subprocess.STDOUT)
        # Listening shows in the kernel's table; a probing connection would open the line.
        wanted = f"0100007F:{port:04X} 00000000:0000 0A"
        deadline = time.monotonic() + 10
        while wanted not in Path("/proc/net/tcp").read_text():
            if self._proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise BenchError(f"ser2net did not listen ({name})")
            time.sleep(0.01)

    def close(self):
        if self._proc.poll() is None:
            self._proc.terminate()
            self._proc.wait(10)
        self._log.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def wait_usage(proc: subprocess.Popen, limit_s: float = RUN_LIMIT_S):
    """Waits for `proc` and returns its resource usage (peak resident set, CPU times)."""
    deadline = time.monotonic() + limit_s
    while True:
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return usage
        if time.monotonic() > deadline:
            proc.kill()
            proc.wait()
            raise BenchError(f"{proc.args[0]} did not finish within {limit_s} s")
        time.sleep(0.001)


def cpu_seconds(pid: int) -> float:
    """User and system time of every thread of `pid` so far, from /proc/<pid>/stat."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLK_TCK


def byte_sum(data: bytes) -> int:
    return sum(data) & 0xFFFFFFFF


class Bench:
    def __init__(self, bin_dir: Path, work: Path, size: int, lean_peer: Path):
        self.cli = str(bin_dir / "cli" / "vandrelux-cli")
        self.lean_peer = str(lean_peer)
        self.boxsim = str(bin_dir / "boxsim" / "vandrelux-boxsim")
        self.window = str(bin_dir / "app" / "vandrelux")
        self.work = work
        self.size = size
        self.runs = 0
        self.image = work / "image.bin"
        self.image.write_bytes(os.urandom(size))
        self.image_bytes = self.image.read_bytes()

    def _name(self, what: str) -> str:
        self.runs += 1
        return f"{self.runs:02d}-{what}"

    def _start_box(self, name: str, device, args: list) -> subprocess.Popen:
        """Starts a simulated box on `device`, or with `device` None on a pseudo-terminal of its
        own, whose path becomes the box's `line`."""
        box = subprocess.Popen(
            [self.boxsim] + ([] if device is None else ["--device", device]) +
            ["--report", str(self.work / f"{name}-box.json"), "--timeout", str(RUN_LIMIT_S)] +
            args,
            stdout=subprocess.PIPE, stderr=open(self.work / f"{name}-box.err", "w"), text=True)
        box.line = box.stdout.readline().strip()
        if not box.line:
            box.wait()
            raise BenchError(f"the simulated box did not start; see {name}-box.err")
        return box

    def _box_report(self, name: str, box: subprocess.Popen) -> dict:
        wait_usage(box)
        report = json.loads((self.work / f"{name}-box.json").read_text())
        return report

    def _image_file(self, size: int) -> Path:
        path = self.work / f"image-{size}.bin"
        if not path.exists():
            path.write_bytes(self.image_bytes[:size])
        return path

    # ---- our side ----

    def _measured(self, name: str, command: list, cwd: Path, env=None) -> subprocess.Popen:
        """Starts `command` under peak.py, which records its peak memory and run time."""
        return subprocess.Popen(
            [sys.executable, str(Path(__file__).with_name("peak.py")),
             str(self.work / f"{name}-peak.json")] + command,
            cwd=cwd, env=env, stdout=subprocess.DEVNULL,
            stderr=open(self.work / f"{name}-{Path(command[0]).name}.err", "w"))

    def _finish(self, name: str, cli: subprocess.Popen, box: subprocess.Popen) -> dict:
        wait_usage(cli)
        if cli.returncode != 0:
            box.terminate()  # it would wait for the PC until its time-out
        report = self._box_report(name, box)
        peak = json.loads((self.work / f"{name}-peak.json").read_text())
        return {"wall_s": peak["end"] - peak["start"], "peak_kib": peak["peak_kib"],
                "floor_kib": peak["floor_kib"], "report": report}

    def download(self, size: int, baud: int = 0, remote: str = "") -> dict:
        """vandrelux-cli sends a software image of `size` bytes to a box that paces at `baud`;
        with `remote` ("rfc2217" or "raw"), through ser2net in front of the box's line."""
        name = self._name(f"download-{size}-{baud}{'-' + remote if remote else ''}")
        image = self._image_file(size)
        with Line(self.work, name) as line:
            box = self._start_box(name, line.box, ["--baud", str(baud), "accept", "--expect", "1"])
            server = Ser2net(self.work, name, line.pc, remote) if remote else None
            try:
                port = server.url if server else line.pc
                cli = self._measured(name, [self.cli, "--port", port, "--baud",
                                            str(baud or 115200), "--software", str(image),
                                            "--timeout", str(RUN_LIMIT_S)], self.work)
                run = self._finish(name, cli, box)
            finally:
                if server:
                    server.close()
        images = run["report"]["images"]
        if (cli.returncode != 0 or box.returncode != 0 or len(images) != 1
                or images[0]["bytes"] != size
                or images[0]["checksum"] != byte_sum(self.image_bytes[:size])):
            raise BenchError(f"download {name} failed; see {self.work}/{name}-*")
        return run

    def receive(self) -> dict:
        """vandrelux-cli receives the whole image from a box that sends it in 4096-byte blocks."""
        name = self._name("receive")
        folder = self.work / name
        folder.mkdir()
        target = folder / "programme.bin"
        with Line(self.work, name) as line:
            box = self._start_box(name, line.box,
                                  ["send", "--image", str(self.image), "--block", "4096"])
            cli = self._measured(name, [self.cli, "--port", line.pc, "--receive", str(target),
                                        "--timeout", str(RUN_LIMIT_S)], folder)
            run = self._finish(name, cli, box)
        got = target.read_bytes() if target.exists() else b""
        sent = self.image_bytes
        if (cli.returncode != 0 or box.returncode != 0 or len(got) != len(sent)
                or got[0::2] != sent[1::2] or got[1::2] != sent[0::2]):
            raise BenchError(f"receive {name} failed; see {self.work}/{name}-*")
        shutil.rmtree(folder)
        return run

    # ---- the peers ----

    def lean(self, receive: bool) -> dict:
        """bench/leanpeer.c moves the whole image: blocking reads and writes, nothing else."""
        name = self._name("lean-" + ("receive" if receive else "download"))
        folder = self.work / name
        folder.mkdir()
        target = folder / "programme.bin"
        with Line(self.work, name) as line:
            box_args = (["send", "--image", str(self.image), "--block", "4096"] if receive
                        else ["accept", "--expect", "1"])
            box = self._start_box(name, line.box, box_args)
            peer = self._measured(
                name, [self.lean_peer, "receive" if receive else "download", line.pc,
                       str(target if receive else self.image)], folder)
            run = self._finish(name, peer, box)
        if peer.returncode != 0 or box.returncode != 0:
            raise BenchError(f"lean peer {name} failed; see {self.work}/{name}-*")
        shutil.rmtree(folder)
        return run

    def zmodem(self, pc_sends: bool) -> dict:
        """sz sends the image, rz takes it; the sender on our end when `pc_sends`."""
        name = self._name("zmodem-" + ("download" if pc_sends else "receive"))
        folder = self.work / name
        folder.mkdir()
        with Line(self.work, name) as line:
            sender_end, receiver_end = (line.pc, line.box) if pc_sends else (line.box, line.pc)
            # Held open by us too, so the sender's exit does not hang up the line under its
            # last bytes.
            rx_fd = os.open(receiver_end, os.O_RDWR | os.O_NOCTTY)
            tx_fd = os.open(sender_end, os.O_RDWR | os.O_NOCTTY)
            try:
                rz = subprocess.Popen(["rz", "-y", "-q"], cwd=folder, stdin=rx_fd, stdout=rx_fd,
                                      stderr=open(self.work / f"{name}-rz.err", "w"))
                start = time.monotonic()
                sz = subprocess.Popen(["sz", "-q", str(self.image)], stdin=tx_fd, stdout=tx_fd,
                                      stderr=open(self.work / f"{name}-sz.err", "w"))
                wait_usage(sz)
                wall = time.monotonic() - start
                # sz ends once rz has closed the file; rz at times waits half a minute more for
                # sz's closing bytes, which is no part of moving the file.
                try:
                    rz.wait(2)
                except subprocess.TimeoutExpired:
                    rz.terminate()
                    rz.wait()
            finally:
                os.close(rx_fd)
                os.close(tx_fd)
        got = folder / self.image.name
        if sz.returncode != 0 or not got.exists() \
                or got.read_bytes() != self.image_bytes:
            raise BenchError(f"ZMODEM {name} failed; see {self.work}/{name}-*")
        shutil.rmtree(folder)
        return {"wall_s": wall}

    # ---- the window ----

    def _settings(self, name: str, receive: bool, software: Path, target: Path) -> Path:
        ini = self.work / f"{name}.ini"
        ini.write_text(
            "[Setting]\r\n"
            f"UpdateSoftware={0 if receive else 1}\r\nSoftwarePath={software}\r\n"
            f"DownloadFlashLoader={1 if receive else 0}\r\nFlashloaderPath={target}\r\n"
            "PortNum=1\r\n")
        return ini

    def _window_command(self, device: str, ini: Path, extra: list) -> list:
        return [self.window, "--com1", device, "--settings", str(ini)] + extra

    def window_transfer(self, receive: bool) -> dict:
        """The window offscreen moves the whole image, then exits by itself."""
        name = self._name("window-" + ("receive" if receive else "download"))
        folder = self.work / name
        folder.mkdir()
        target = folder / "programme.bin"
        ini = self._settings(name, receive, self.image, target)
        with Line(self.work, name) as line:
            box_args = (["send", "--image", str(self.image), "--block", "4096"] if receive
                        else ["accept", "--expect", "1"])
            box = self._start_box(name, line.box, box_args)
            window = self._measured(
                name, self._window_command(line.pc, ini, ["--exit-when-done"] +
                                           (["--to-receive"] if receive else [])),
                folder, dict(os.environ, QT_QPA_PLATFORM="offscreen"))
            run = self._finish(name, window, box)
        if window.returncode != 0 or not run["report"]["completed"]:
            raise BenchError(f"window {name} failed; see {self.work}/{name}-*")
        shutil.rmtree(folder)
        return run

    # ---- idle ----

    def idle(self, window: bool, seconds: float) -> dict:
        """CPU share of the updater while its 1 ms beacon goes to a box that never answers."""
        name = self._name("idle-" + ("window" if window else "cli"))
        small = self._image_file(4096)
        with Line(self.work, name) as line:
            box = self._start_box(name, line.box, ["--silent-after", "0", "accept"])
            if window:
                proc = subprocess.Popen(
                    self._window_command(line.pc, self._settings(name, False, small, small), []),
                    cwd=self.work, env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
                    stdout=subprocess.DEVNULL,
                    stderr=open(self.work / f"{name}-window.err", "w"))
            else:
                proc = subprocess.Popen([self.cli, "--port", line.pc, "--software", str(small)],
                                        cwd=self.work, stdout=subprocess.DEVNULL,
                                        stderr=open(self.work / f"{name}-cli.err", "w"))
            time.sleep(1.5)  # past start-up
            if proc.poll() is not None:
                raise BenchError(f"{name}: the updater ended early; see {self.work}/{name}-*")
            t0, c0 = time.monotonic(), cpu_seconds(proc.pid)
            time.sleep(seconds)
            t1, c1 = time.monotonic(), cpu_seconds(proc.pid)
            proc.send_signal(signal.SIGTERM)
            wait_usage(proc, 10)
            box.send_signal(signal.SIGTERM)
            report = self._box_report(name, box)
        return {"share": (c1 - c0) / (t1 - t0),
                "beacons_per_s": report["bytes_in"] / max(report["seconds"], 1e-9)}

    # ---- many ports at once ----

    @staticmethod
    def _close_all(boxes: list, lines: list):
        for box in boxes:
            if box.poll() is None:
                box.kill()
                box.wait()
        for line in lines:
            line.close()

    def _lines(self, name: str, count: int) -> list:
        lines = []
        try:
            for i in range(count):
                lines.append(Line(self.work, f"{name}-{i:02d}"))
        except BenchError:
            for line in lines:
                line.close()
            raise
        return lines

    def idle_many(self, count: int, seconds: float, relayed: bool = True) -> dict:
        """CPU share of one vandrelux-cli waiting on `count` ports, each with a silent box, at
        its default beacon period; every box must have seen beacons all along. Each box sits
        behind a socat pair, or without `relayed` on a pseudo-terminal of its own."""
        name = self._name(f"idle-{count}")
        small = self._image_file(4096)
        lines = self._lines(name, count) if relayed else []
        boxes = []
        try:
            for i in range(count):
                boxes.append(self._start_box(f"{name}-{i:02d}", lines[i].box if relayed else None,
                                             ["--silent-after", "0", "accept"]))
            pcs = [line.pc for line in lines] if relayed else [box.line for box in boxes]
            ports = [arg for pc in pcs for arg in ("--port", pc)]
            proc = subprocess.Popen([self.cli] + ports + ["--software", str(small)],
                                    cwd=self.work, stdout=subprocess.DEVNULL,
                                    stderr=open(self.work / f"{name}-cli.err", "w"))
            time.sleep(2.0 + count / 128)  # past start-up: every port open and beaconing
            if proc.poll() is not None:
                raise BenchError(f"{name}: the CLI ended early; see {self.work}/{name}-*")
            t0, c0 = time.monotonic(), cpu_seconds(proc.pid)
            time.sleep(seconds)
            t1, c1 = time.monotonic(), cpu_seconds(proc.pid)
            still_running = proc.poll() is None
            proc.send_signal(signal.SIGTERM)
            wait_usage(proc, 10)
            rates = []
            for i, box in enumerate(boxes):
                box.send_signal(signal.SIGTERM)
                report = self._box_report(f"{name}-{i:02d}", box)
                rates.append(report["bytes_in"] / max(report["seconds"], 1e-9))
        finally:
            self._close_all(boxes, lines)
        return {"share": (c1 - c0) / (t1 - t0), "ok": still_running and min(rates) > 0,
                "beacons_per_s": (min(rates), max(rates))}

    def paced_many(self, count: int, size: int, baud: int, lean: bool = False,
                   relayed: bool = False, page: bool = False) -> dict:
        """One vandrelux-cli sends `size` bytes to each of `count` boxes paced at `baud`, all at
        once; the line efficiency of every box. With `lean`, a lean peer per box does it instead:
        what the machine allows that many boxes at once. Each box opens its own pseudo-terminal,
        or with `relayed` sits behind a socat pair: one more process per line, waking for every
        piece that crosses it, as no serial port has. With `page`, a station does it, with its
        page open, its event stream read and its metrics scraped (PageLoad)."""
        name = self._name(f"paced-{count}{'-lean' if lean else ''}{'-relayed' if relayed else ''}"
                          f"{'-page' if page else ''}")
        image = self._image_file(size)
        lines = self._lines(name, count) if relayed else []
        boxes = []
        try:
            for i in range(count):
                boxes.append(self._start_box(f"{name}-{i:02d}", lines[i].box if relayed else None,
                                             ["--baud", str(baud), "accept", "--expect", "1"]))
            pcs = [line.pc for line in lines] if relayed else [box.line for box in boxes]
            if lean:
                peers = [subprocess.Popen([self.lean_peer, "download", pc, str(image)],
                                          stdout=subprocess.DEVNULL,
                                          stderr=open(self.work / f"{name}-{i:02d}-lean.err", "w"))
                         for i, pc in enumerate(pcs)]
                for peer in peers:
                    wait_usage(peer)
                pc_failed = any(peer.returncode != 0 for peer in peers)
            elif page:
                ports = [arg for pc in pcs for arg in ("--port", pc)]
                err = self.work / f"{name}-cli.err"
                station = subprocess.Popen([self.cli, "--station"] + ports +
                                           ["--baud", str(baud), "--software", str(image),
                                            "--http", "0"],
                                           cwd=self.work, stdout=subprocess.DEVNULL,
                                           stderr=open(err, "w"))
                try:
                    load = PageLoad(station_address(err, station))
                    for box in boxes:
                        # Ended, but left for _box_report to reap with its usage.
                        os.waitid(os.P_PID, box.pid, os.WEXITED | os.WNOWAIT)
                    loaded = load.finish()
                finally:
                    station.send_signal(signal.SIGINT)
                    wait_usage(station)
                pc_failed = station.returncode != 0 or loaded["failures"] > 0
            else:
                ports = [arg for pc in pcs for arg in ("--port", pc)]
                cli = subprocess.Popen([self.cli] + ports + ["--baud", str(baud), "--software",
                                                             str(image), "--timeout",
                                                             str(RUN_LIMIT_S)],
                                       cwd=self.work, stdout=subprocess.DEVNULL,
                                       stderr=open(self.work / f"{name}-cli.err", "w"))
                wait_usage(cli)
                pc_failed = cli.returncode != 0
            effs = []
            for i, box in enumerate(boxes):
                if pc_failed:
                    box.terminate()
                report = self._box_report(f"{name}-{i:02d}", box)
                images = report["images"]
                if (box.returncode != 0 or len(images) != 1 or images[0]["bytes"] != size
                        or images[0]["checksum"] != byte_sum(self.image_bytes[:size])):
                    raise BenchError(f"{name}: box {i} did not get its image; see "
                                     f"{self.work}/{name}-*")
                effs.append(efficiency({"report": report}))
        finally:
            self._close_all(boxes, lines)
        if pc_failed:
            raise BenchError(f"{name}: the PC side failed; see {self.work}/{name}-*.err")
        return {"efficiencies": effs, "load": loaded if page else None}


class PageLoad:
    """What an open page asks of a station, and a scraper: the event stream read as it comes,
    the station, its slots and its latest units five times a second (as the page does while
    events flow), and the metrics every second."""

    def __init__(self, port: int):
        self.port = port
        self.stop = threading.Event()
        self.requests = self.events = self.failures = 0
        self.slowest = 0.0
        self.threads = [threading.Thread(target=self._stream, daemon=True),
                        threading.Thread(target=self._poll, daemon=True)]
        for thread in self.threads:
            thread.start()

    def _stream(self):
        try:
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
            connection.request("GET", "/api/v1/events")
            response = connection.getresponse()
            while not self.stop.is_set():
                line = response.readline()
                if not line:
                    break
                self.events += line.startswith(b"data: ")
        except OSError:
            self.failures += 1

    def _poll(self):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        tick = 0
        while not self.stop.wait(0.2):
            tick += 1
            paths = ["/api/v1/station", "/api/v1/slots", "/api/v1/units/recent"]
            for path in paths + (["/metrics"] if tick % 5 == 0 else []):
                begun = time.monotonic()
                try:
                    connection.request("GET", path)
                    response = connection.getresponse()
                    response.read()
                    self.failures += response.status != 200
                except OSError:
                    self.failures += 1
                    connection.close()
                self.requests += 1
                self.slowest = max(self.slowest, time.monotonic() - begun)

    def finish(self) -> dict:
        self.stop.set()
        for thread in self.threads:
            thread.join(15)
        return {"requests": self.requests, "events": self.events, "failures": self.failures,
                "slowest_ms": self.slowest * 1000}


def station_address(err: Path, proc: subprocess.Popen) -> int:
    """The port the station's web server took, from what it printed."""
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and proc.poll() is None:
        text = err.read_text(errors="replace")
        found = re.search(r"are at http://127\.0\.0\.1:(\d+)/", text)
        if found:
            return int(found.group(1))
        time.sleep(0.05)
    raise BenchError(f"the station did not serve its page; see {err}")


def many_rows(idle32: dict, idle64: dict, idle256: dict, paced_rounds: list,
              relayed: tuple) -> list:
    """Figures 8 to 11: one CLI on many ports. `paced_rounds` holds figure 10's rounds, each
    ours and the lean peers'; the round whose lowest box is the middle one counts. `relayed` is
    one such pair through socat relays, for context."""
    rows = []
    for figure, count, run, limit in ((8, 32, idle32, 0.10), (9, 64, idle64, 0.20),
                                      (11, 256, idle256, 0.25)):
        low, high = run["beacons_per_s"]
        rows.append((f"{figure} {count} ports waiting, CLI" + (", no relays" if figure == 11
                                                               else ""),
                     f"<= {limit * 100:g} % of one core" + ("" if count == 32 else
                                                            ", nothing fails"),
                     f"{run['share'] * 100:.1f} % ({low:.0f} to {high:.0f} beacons/s a box"
                     f"{'' if run['ok'] else '; a port FAILED'})",
                     verdict(run["share"] <= limit and run["ok"])))
    spread = lambda e: (f"lowest {min(e) * 100:.2f} %, median {sorted(e)[len(e) // 2] * 100:.2f} %"
                        f", highest {max(e) * 100:.2f} %")
    lowest = lambda run: min(run["efficiencies"])
    rounds = lambda side: ", ".join(f"{lowest(r[side]) * 100:.2f}" for r in paced_rounds)
    ours, lean, _ = sorted(paced_rounds, key=lambda r: lowest(r[0]))[len(paced_rounds) // 2]
    effs = ours["efficiencies"]
    rows.append((f"10 {len(effs)} boxes paced at 115200, 64 KiB each, at once", ">= 99.5 % each",
                 f"{spread(effs)}; lowest by round: {rounds(0)} (a lean peer per box: "
                 f"{spread(lean['efficiencies'])}; {rounds(1)})",
                 verdict(min(effs) >= 0.995)))
    page = sorted((r[2] for r in paced_rounds), key=lowest)[len(paced_rounds) // 2]
    load = page["load"]
    rows.append((f"10 {len(effs)} boxes as above, a station with its page open", ">= 99.5 % each",
                 f"{spread(page['efficiencies'])}; lowest by round: {rounds(2)} "
                 f"({load['requests']} requests and {load['events']} events, the slowest "
                 f"answer {load['slowest_ms']:.0f} ms)",
                 verdict(min(page["efficiencies"]) >= 0.995)))
    ours, lean = relayed
    rows.append((f"10 {len(effs)} boxes as above, through socat relays", "context",
                 f"{spread(ours['efficiencies'])} (a lean peer per box: "
                 f"{spread(lean['efficiencies'])})", "context"))
    # Figure 11 last: the rows go in the order of the figures' numbers.
    rows.append(rows.pop(2))
    return rows


def median_run(runs: list) -> dict:
    """The run with the median wall time."""
    return sorted(runs, key=lambda r: r["wall_s"])[len(runs) // 2]


def peak_text(run: dict) -> str:
    if run["peak_kib"] <= run["floor_kib"]:
        # The program stayed below the launcher it was forked from: this much is an upper bound.
        return f"<= {run['peak_kib'] / 1024:.1f} MiB (the launcher's own size)"
    return f"{run['peak_kib'] / 1024:.1f} MiB"


def verdict(ok: bool) -> str:
    return "met" if ok else "NOT met"


def measured_rows(runs, paced, idle_cli, idle_win, win_down, win_recv, peak_down, peak_recv,
                  size) -> list:
    """Figures 1 to 6."""
    down, z_down, recv, z_recv = (median_run(runs[k]) for k in ("down", "z_down", "recv", "z_recv"))
    rows = []
    for label, key, limit in (("median", "median", 100), ("p99", "p99", 1000)):
        # The middle round's figure, and every round's beside it.
        each = [r["report"]["turnaround_us"][key] for r in runs["down"]]
        middle = sorted(each)[len(each) // 2]
        # The pseudo-terminal's own round trip, not ours alone: figure 6 holds our share.
        rows.append((f"1 PC turnaround, {label}", "context",
                     f"{middle} us (rounds: {', '.join(str(v) for v in each)}; "
                     f"{limit} us was the aim)", "context"))
    for baud, target in ((115200, 0.995), (921600, 0.98)):
        frames = paced[baud]["report"]["frames"]
        eff = frames["efficiency"]
        rows.append((f"2 Line efficiency at {baud}", f">= {target * 100:g} %",
                     f"{eff * 100:.2f} % ({frames['ideal_seconds']:.2f} s ideal / "
                     f"{frames['seconds']:.2f} s)", verdict(eff >= target)))

    def rate(seconds):
        return f"{size / MIB / seconds:.1f} MiB/s"

    for label, ours, theirs in (("download", down, z_down), ("receive", recv, z_recv)):
        ratio = theirs["wall_s"] / ours["wall_s"]
        data_s = ours["report"]["frames"]["seconds"]
        # A streaming protocol against this stop-and-wait one: the protocol's price, for context.
        rows.append((f"3 Unpaced {label}, ours / ZMODEM", "context",
                     f"{ratio:.2f} ({ours['wall_s']:.2f} s vs {theirs['wall_s']:.2f} s, "
                     f"{rate(ours['wall_s'])} vs {rate(theirs['wall_s'])}; frames alone "
                     f"{data_s:.2f} s, {theirs['wall_s'] / data_s:.2f})", "context"))
    for label, idle in (("CLI", idle_cli), ("window", idle_win)):
        rows.append((f"4 Idle beacon, {label}", "<= 3 %",
                     f"{idle['share'] * 100:.2f} % ({idle['beacons_per_s']:.0f} beacons/s)",
                     verdict(idle["share"] <= 0.03)))
    cli_limit_kib = size // 1024 + 8 * 1024
    for label, run in (("download", peak_down), ("receive", peak_recv)):
        rows.append((f"5 Peak memory, CLI {label}", f"<= {cli_limit_kib / 1024:g} MiB",
                     peak_text(run), verdict(run["peak_kib"] <= cli_limit_kib)))
    for label, run in (("download", win_down), ("receive", win_recv)):
        rows.append((f"5 Peak memory, window {label}", "<= 80 MiB",
                     f"{peak_text(run)} ({run['wall_s']:.1f} s)",
                     verdict(run["peak_kib"] <= 80 * 1024)))
    for label, ours_key, lean_key in (("download", "down", "lean_down"),
                                      ("receive", "recv", "lean_recv")):
        # The box's span from the first frame byte to the final answer, the middle round of each.
        span = lambda key: sorted(r["report"]["frames"]["seconds"] for r in runs[key])[
            len(runs[key]) // 2]
        ratio = span(lean_key) / span(ours_key)
        rows.append((f"6 Unpaced {label}, lean peer / ours", ">= 0.95",
                     f"{ratio:.2f} ({span(lean_key):.2f} s vs {span(ours_key):.2f} s of frames)",
                     verdict(ratio >= 0.95)))
    return rows


def efficiency(run: dict) -> float:
    return run["report"]["frames"]["efficiency"]


def median_efficiency(runs: list) -> float:
    return sorted(efficiency(r) for r in runs)[len(runs) // 2]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bin", default="build/release/src", help="folder of the built programs")
    parser.add_argument("--lean-peer", default="build/release/bench/leanpeer",
                        help="the lean peer built from bench/leanpeer.c")
    parser.add_argument("--size-mib", type=int, default=16, help="image size for figures 1, 3, 5")
    parser.add_argument("--idle-seconds", type=float, default=5.0)
    parser.add_argument("--rounds", type=int, default=3,
                        help="unpaced runs each way; the median counts")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    parser.add_argument("--remote-only", action="store_true",
                        help="only figure 7, the paced line through ser2net and locally")
    parser.add_argument("--many-only", action="store_true",
                        help="only figures 8 to 11, one CLI on 32, 64 and 256 ports")
    args = parser.parse_args()

    for tool in ("socat", "sz", "rz", "ser2net"):
        if shutil.which(tool) is None:
            print(f"bench: {tool} is missing: sudo apt-get install socat lrzsz ser2net",
                  file=sys.stderr)
            return 2

    size = args.size_mib * MIB
    work = Path(tempfile.mkdtemp(prefix="vandrelux-bench."))
    rows = []
    try:
        bench = Bench(Path(args.bin).resolve(), work, size, Path(args.lean_peer).resolve())
        say = lambda text: print(f"bench: {text}", file=sys.stderr, flush=True)

        # The same paced box locally and behind each accepter, taking turns.
        remote_runs = {"local": [], "rfc2217": [], "raw": [], "rfc2217-nodelay": []}
        for round_no in range(1, 0 if args.many_only else args.rounds + 1):
            say(f"round {round_no} of {args.rounds}: 128 KiB paced at 115200 baud, locally and "
                "through ser2net's two accepters, and without its chardelay")
            for kind in remote_runs:
                remote_runs[kind].append(
                    bench.download(128 * 1024, 115200, "" if kind == "local" else kind))

        if not args.remote_only and not args.many_only:
            # Ours and the peer take turns, so a busy spell on the machine hits both alike.
            runs = {"down": [], "z_down": [], "lean_down": [], "recv": [], "z_recv": [],
                    "lean_recv": []}
            for round_no in range(1, args.rounds + 1):
                say(f"round {round_no} of {args.rounds}: {args.size_mib} MiB each way, ours, the "
                    "lean peer and ZMODEM")
                runs["down"].append(bench.download(size))
                runs["lean_down"].append(bench.lean(receive=False))
                runs["z_down"].append(bench.zmodem(pc_sends=True))
                runs["recv"].append(bench.receive())
                runs["lean_recv"].append(bench.lean(receive=True))
                runs["z_recv"].append(bench.zmodem(pc_sends=False))
            peak_down = max(runs["down"], key=lambda r: r["peak_kib"])
            peak_recv = max(runs["recv"], key=lambda r: r["peak_kib"])
            paced = {}
            for baud, paced_size in ((115200, 128 * 1024), (921600, 1 * MIB)):
                say(f"download of {paced_size // 1024} KiB paced at {baud} baud")
                paced[baud] = bench.download(paced_size, baud)
            say(f"idle, {args.idle_seconds:g} s each")
            idle_cli = bench.idle(False, args.idle_seconds)
            idle_win = bench.idle(True, args.idle_seconds)
            say(f"the window moving {args.size_mib} MiB each way")
            win_down = bench.window_transfer(receive=False)
            win_recv = bench.window_transfer(receive=True)
        if not args.remote_only:
            say(f"one CLI waiting on 32 and on 64 silent boxes, {args.idle_seconds:g} s each")
            idle32 = bench.idle_many(32, args.idle_seconds)
            idle64 = bench.idle_many(64, args.idle_seconds)
            say(f"one CLI waiting on 256 silent boxes without relays, {args.idle_seconds:g} s")
            idle256 = bench.idle_many(256, args.idle_seconds, relayed=False)
            paced_rounds = []
            for round_no in range(1, args.rounds + 1):
                say(f"round {round_no} of {args.rounds}: one CLI sending 64 KiB to each of 32 "
                    "boxes paced at 115200 baud, all at once, then a lean peer for each, then a "
                    "station with its page open")
                paced_rounds.append([bench.paced_many(32, 64 * 1024, 115200, lean=lean)
                                     for lean in (False, True)] +
                                    [bench.paced_many(32, 64 * 1024, 115200, page=True)])
            say("the same through a socat pair per box")
            relayed = [bench.paced_many(32, 64 * 1024, 115200, lean=lean, relayed=True)
                       for lean in (False, True)]
    except BenchError as e:
        print(f"bench: {e}", file=sys.stderr)
        print(f"bench: files kept in {work}", file=sys.stderr)
        return 1

    if not args.remote_only and not args.many_only:
        rows += measured_rows(runs, paced, idle_cli, idle_win, win_down, win_recv, peak_down,
                              peak_recv, size)
    if not args.many_only:
        local = median_efficiency(remote_runs["local"])
        for kind, label in (("rfc2217", "rfc2217://"), ("raw", "tcp://"),
                            ("rfc2217-nodelay", "rfc2217://, chardelay off")):
            eff = median_efficiency(remote_runs[kind])
            ratio = eff / local
            rounds = lambda key: ", ".join(f"{efficiency(r) * 100:.2f}" for r in remote_runs[key])
            rows.append((f"7 Line efficiency at 115200, {label} / local", ">= 99 %",
                         f"{ratio * 100:.2f} % ({eff * 100:.2f} % vs {local * 100:.2f} %; "
                         f"rounds: {rounds(kind)} vs {rounds('local')})",
                         verdict(ratio >= 0.99)))

    if not args.remote_only:
        rows += many_rows(idle32, idle64, idle256, paced_rounds, relayed)
    print(f"Vandrelux benchmarks, {args.size_mib} MiB image, {os.cpu_count()} cores, "
          f"load {os.getloadavg()[0]:.2f}, {platform.system()} {platform.release()}")
    widths = [max(len(r[i]) for r in rows + [("Figure", "Target", "Measured", "Verdict")])
              for i in range(4)]
    line = lambda cells: "| " + " | ".join(c.ljust(w) for c, w in zip(cells, widths)) + " |"
    print(line(("Figure", "Target", "Measured", "Verdict")))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    targets = [r for r in rows if r[3] != "context"]
    met = sum(1 for r in targets if r[3] == "met")
    print(f"{met} of {len(targets)} targets met.")
    if args.keep:
        print(f"Files kept in {work}")
    else:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
