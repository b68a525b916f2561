"""A station with --http on pseudo-terminal slots, boxes from the box simulator, and HTTP
requests to it. Everything it starts listens on 127.0.0.1 and is ended by close(), which the
cases call in a finally; every wait has a deadline."""
import http.client
import json
import os
import re
import select
import signal
import subprocess
import tempfile
import threading
import time

CLI = os.environ["CLI"]
BOXSIM = os.environ["BOXSIM"]
TOKEN = "0123456789abcdef0123456789abcdef"


def wait_for(what, test, seconds=20.0):
    deadline = time.monotonic() + seconds
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("waited in vain for " + what)
        time.sleep(0.05)


class Slot:
    """A line boxes come and go on: two pseudo-terminals joined by socat. Between boxes the box's
    end is read and dropped, as a serial line whose box is off loses what is sent."""

    def __init__(self, work, name):
        self.host = os.path.join(work, name + "-host")
        self.box = os.path.join(work, name + "-box")
        self.socat = subprocess.Popen(
            ["socat", "pty,link=%s,raw,echo=0" % self.host, "pty,link=%s,raw,echo=0" % self.box],
            stderr=subprocess.DEVNULL)
        wait_for("the pair " + name, lambda: os.path.exists(self.host) and os.path.exists(self.box))
        self.keep = os.open(self.box, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.idle = threading.Event()
        self.idle.set()
        self.closed = False
        self.boxes = []
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        while not self.closed:
            if not self.idle.wait(0.1):
                continue
            try:
                readable, _, _ = select.select([self.keep], [], [], 0.01)
                if readable and self.idle.is_set():
                    os.read(self.keep, 65536)
            except (OSError, ValueError):
                time.sleep(0.01)

    def run_box(self, work, *args, timeout=30):
        """Runs one box on the line until it ends; its exit status."""
        self.idle.clear()
        time.sleep(0.03)
        box = subprocess.Popen(
            [BOXSIM, "--device", self.box, "--report", os.path.join(work, "box.json"),
             "--timeout", str(timeout)] + list(args),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.boxes.append(box)
        try:
            return box.wait(timeout + 10)
        finally:
            self.idle.set()

    def close(self):
        self.closed = True
        for box in self.boxes:
            if box.poll() is None:
                box.kill()
                box.wait(10)
        self.socat.terminate()
        self.socat.wait(10)
        os.close(self.keep)


class Station:
    """vandrelux-cli --station on slots named `names`, sending sw.bin, its units in units.jsonl."""

    def __init__(self, names=("a",), token=True, args=(), size=30000):
        self.work = tempfile.mkdtemp(prefix="vandrelux-http-")
        self.software = os.path.join(self.work, "sw.bin")
        with open(self.software, "wb") as f:
            f.write(os.urandom(size))
        self.units_log = os.path.join(self.work, "units.jsonl")
        self.token_file = os.path.join(self.work, "token")
        with open(self.token_file, "w", encoding="ascii") as f:
            f.write(TOKEN + "\n")
        self.slots = {}
        self.process = None
        self.port = 0
        for name in names:
            self.slots[name] = Slot(self.work, name)
        self.args = args
        self.token = token

    def command(self, http="0"):
        command = [CLI, "--station", "--software", self.software, "--units-log", self.units_log,
                   "--rearm-quiet", "0.3", "--http", http]
        for slot in self.slots.values():
            command += ["--port", slot.host]
        if self.token:
            command += ["--http-token-file", self.token_file]
        return command + list(self.args)

    def start(self, command=None):
        self.out = open(os.path.join(self.work, "station.out"), "wb")
        self.err_path = os.path.join(self.work, "station.err")
        self.err = open(self.err_path, "wb")
        self.process = subprocess.Popen(command or self.command(), stdout=self.out,
                                        stderr=self.err, cwd=self.work)

        def address():
            with open(self.err_path, encoding="utf-8", errors="replace") as f:
                found = re.search(r"are at http://127\.0\.0\.1:(\d+)/", f.read())
            if self.process.poll() is not None:
                raise AssertionError("the station ended: " + self.stderr())
            return found and int(found.group(1))

        self.port = wait_for("the station's address", address)
        return self

    def stderr(self):
        with open(self.err_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def slot(self, name):
        return self.slots[name].host

    def box(self, name, *args, timeout=30):
        return self.slots[name].run_box(self.work, *args, timeout=timeout)

    def good_box(self, name):
        status = self.box(name, "accept", "--out", os.path.join(self.work, "out"))
        assert status == 0, "a box on %s failed: %s" % (name, self.stderr())

    def units(self):
        """The units log's records; a line that does not parse is no record, as readers know."""
        records = []
        try:
            with open(self.units_log, encoding="utf-8") as f:
                for line in f:
                    try:
                        records.append(json.loads(line))
                    except ValueError:
                        pass
        except FileNotFoundError:
            pass
        return records

    def await_units(self, count):
        wait_for("%d units" % count, lambda: len(self.units()) >= count)

    def request(self, method, path, body=None, token=None, headers=None, timeout=10):
        """The status, the headers and the body of one request."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            sent = dict(headers or {})
            if token is not None:
                sent["Authorization"] = "Bearer " + token
            connection.request(method, path, body=body, headers=sent)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def get_json(self, path, **kwargs):
        status, _, body = self.request("GET", path, **kwargs)
        assert status == 200, "%s: %d %s" % (path, status, body)
        return json.loads(body)

    def slot_state(self, name):
        for slot in self.get_json("/api/v1/slots")["slots"]:
            if slot["slot"] == self.slot(name):
                return slot
        raise AssertionError("no slot " + name)

    def wait_state(self, name, state, seconds=20.0):
        return wait_for("%s %s" % (name, state),
                        lambda: self.slot_state(name)["state"] == state, seconds)

    def stop(self):
        """SIGINT; the station's exit status."""
        self.process.send_signal(signal.SIGINT)
        return self.process.wait(30)

    def close(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        for slot in self.slots.values():
            slot.close()
        subprocess.run(["rm", "-rf", self.work], check=False)
