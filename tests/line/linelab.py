"""What the line server's end-to-end cases and its benchmark share: a private PostgreSQL cluster
(pg-cluster.sh), the line server as a process, queries through psql, and units logs of earlier
days written as a station writes them. Everything listens on 127.0.0.1 or a Unix socket and is
ended by close(); every wait has a deadline."""
import datetime
import hashlib
import json
import os
import random
import re
import signal
import socket
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PG_CLUSTER = os.path.join(HERE, "pg-cluster.sh")


def wait_for(what, test, seconds=30.0, every=0.05):
    deadline = time.monotonic() + seconds
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("waited in vain for " + what)
        time.sleep(every)


def free_port():
    """A port nothing listens on now, for a program that must come back on the same one."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    """A PostgreSQL cluster of its own, stopped when this process ends however it ends."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="vandrelux-pg-")
        os.rmdir(self.dir)
        subprocess.run([PG_CLUSTER, "start", self.dir, str(os.getpid())], check=True,
                       timeout=120)
        self.conninfo = "host=%s user=vandrelux dbname=postgres" % self.dir

    def sql(self, query, *args):
        """The rows of `query` as lists of text; psql's variables :'v1'... hold `args`."""
        command = ["psql", "-X", "-q", "-At", "-F", "\t", "-v", "ON_ERROR_STOP=1", self.conninfo]
        for i, arg in enumerate(args):
            command += ["-v", "v%d=%s" % (i + 1, arg)]
        done = subprocess.run(command, input=query, capture_output=True, text=True, timeout=60,
                              check=True)
        return [line.split("\t") for line in done.stdout.splitlines()]

    def pause(self):
        subprocess.run([PG_CLUSTER, "pause", self.dir], check=True, timeout=120)

    def resume(self):
        subprocess.run([PG_CLUSTER, "resume", self.dir], check=True, timeout=120)

    def hang(self, stop=True):
        """Stops (or, stop=False, continues) the server's processes: a server that hangs."""
        with open(os.path.join(self.dir, "data", "postmaster.pid")) as f:
            postmaster = int(f.readline())
        children = subprocess.run(["pgrep", "-P", str(postmaster)], capture_output=True,
                                  text=True).stdout.split()
        for pid in [postmaster] + [int(child) for child in children]:
            os.kill(pid, signal.SIGSTOP if stop else signal.SIGCONT)

    def close(self):
        subprocess.run([PG_CLUSTER, "stop", self.dir], check=False, timeout=120)


class LineServer:
    """vandrelux-line on `stations`, its page on a port of 127.0.0.1 that stays across restarts."""

    def __init__(self, program, conninfo, stations, work):
        self.program = program
        self.conninfo = conninfo
        self.stations = stations
        self.work = work
        self.port = free_port()
        self.process = None
        self.err_path = os.path.join(work, "line.err")

    def start(self):
        command = [self.program, "--db", self.conninfo, "--http", "127.0.0.1:%d" % self.port]
        for url in self.stations:
            command += ["--station", url]
        self.err = open(self.err_path, "ab")
        before = len(self.log())
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=self.err)
        wait_for("the line server's page", lambda: self.alive() and
                 "the line's page" in self.log()[before:])
        return self

    def alive(self):
        if self.process.poll() is not None:
            raise AssertionError("the line server ended: " + self.log())
        return True

    def log(self):
        try:
            with open(self.err_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def get(self, path, timeout=10):
        import http.client
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request("GET", path)
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def get_json(self, path):
        status, body = self.get(path)
        assert status == 200, "%s: %d %s" % (path, status, body)
        return json.loads(body)

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(10)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(30)

    def close(self):
        if self.process is not None and self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)


def log_digests(path):
    """The SHA-256 of each record of a units log, as the line identifies its units."""
    digests = []
    with open(path, "rb") as f:
        for line in f:
            line = line.rstrip(b"\n")
            try:
                if isinstance(json.loads(line), dict):
                    digests.append(hashlib.sha256(line).hexdigest())
            except ValueError:
                pass
    return digests


KINDS = ("bootstrap", "ucode", "logo", "tvprogram", "software")


def write_history(path, station, count, days=30, seed=1, box_prefix=None):
    """`count` units of a station's earlier days, as its units log holds them: the software
    alone or with a bootstrap and a logo, three builds over the days, about one unit in twenty
    failed and one in ten not at the first go."""
    rng = random.Random(seed)
    prefix = box_prefix or station.upper()
    sizes = {"bootstrap": 65536, "logo": 180000, "software": 4 << 20}
    start = datetime.datetime(2026, 11, 1, tzinfo=datetime.timezone.utc)
    step = days * 86400.0 / count

    def utc(moment):
        return moment.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (moment.microsecond // 1000)

    with open(path, "w", encoding="utf-8") as f:
        for seq in range(1, count + 1):
            began = start + datetime.timedelta(seconds=seq * step)
            build = (seq * 3) // (count + 1)
            failed = rng.random() < 0.05
            sent = []
            for kind in ("software",) if seq % 3 else ("bootstrap", "logo", "software"):
                size = sizes[kind] + build
                took = size / 11400.0
                sent.append({"accepted": not failed, "bytes_per_second": 11400.0,
                             "checksum": "%08x" % rng.getrandbits(32), "kind": kind,
                             "naks": 1 if rng.random() < 0.1 else 0,
                             "path": "/srv/vandrelux/%s-%d.bin" % (kind, build), "resends": 0,
                             "seconds": round(took, 3),
                             "sha256": hashlib.sha256(b"%s %d" % (kind.encode(), build)).hexdigest(),
                             "size": size})
            seconds = sum(image["seconds"] for image in sent)
            box = "%s%07d" % (prefix, seq)
            record = {"box_id": box, "box_text": "Loader 2.1 S/N: %s" % box,
                      "end": utc(began + datetime.timedelta(seconds=seconds)),
                      "first_pass": not failed and all(i["naks"] == 0 for i in sent),
                      "images": sent, "outcome": "box-failure" if failed else "ok",
                      "reason": "the box refused the software's check" if failed else "",
                      "seconds": round(seconds, 3), "seq": seq, "slot": "/dev/ttyUSB%d" % (seq % 8),
                      "start": utc(began), "station": station, "unit": seq // 8 + 1}
            f.write(json.dumps(record, sort_keys=True, separators=(",", ":")) + "\n")


def station_port(err_path):
    with open(err_path, encoding="utf-8", errors="replace") as f:
        found = re.search(r"are at http://127\.0\.0\.1:(\d+)/", f.read())
    return found and int(found.group(1))
