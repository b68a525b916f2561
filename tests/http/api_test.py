#!/usr/bin/env python3
"""The station's API over real HTTP, against boxes from the box simulator.
Usage: api_test.py CASE (CLI and BOXSIM name the two programs)."""
import hashlib
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time

from prometheus_client.parser import text_string_to_metric_families

from harness import CLI, TOKEN, Station, wait_for


def check(condition, what):
    if not condition:
        raise AssertionError(what)


def case_endpoints(s):
    """Every read, from a station started by its config file: without a token file it takes no
    commands, but it is read all the same."""
    config = os.path.join(s.work, "station.conf")
    with open(config, "w", encoding="utf-8") as f:
        f.write('station = true\nsoftware = "%s"\nunits-log = "%s"\nrearm-quiet = 0.3\n'
                'retries = 0\nhttp = "0"\nport = ["%s", "%s"]\n'
                % (s.software, s.units_log, s.slot("a"), s.slot("b")))
    s.start([CLI, "--config", config])
    s.good_box("a")
    check(s.box("b", "accept", "--out", s.work + "/out", "--nak-first-verdict",
                timeout=5) != 0, "the refusing box took its image")
    s.await_units(2)

    station = s.get_json("/api/v1/station")
    with open(s.software, "rb") as f:
        software = f.read()
    check(station["files"][0]["sha256"] == hashlib.sha256(software).hexdigest() and
          station["files"][0]["size"] == len(software) and
          station["files"][0]["path"] == s.software, station["files"])
    check((station["units"], station["passed"], station["failed"]) == (2, 1, 1), station)
    check(station["first_pass_yield"] == 0.5 and station["control"] is False, station)
    version = subprocess.run([CLI, "--version"], capture_output=True, text=True).stdout
    check(station["version"] in version, station["version"])

    s.wait_state("b", "waiting")
    a, b = s.slot_state("a"), s.slot_state("b")
    check(a["passed"] == 1 and a["last"]["outcome"] == "ok", a)
    check(b["failed"] == 1 and b["last"]["outcome"] == "box-failure" and b["last"]["reason"], b)

    # The latest units newest first, each the units log's record.
    recent = s.get_json("/api/v1/units/recent")["units"]
    check(recent == list(reversed(s.units())), recent)
    status, headers, body = s.request("GET", "/api/v1/units/log")
    with open(s.units_log, "rb") as f:
        check(status == 200 and body == f.read(), body)

    status, headers, page = s.request("GET", "/")
    check(status == 200 and headers["Content-Type"].startswith("text/html"), headers)
    check(b"<title>Vandrelux station</title>" in page, "not the page")
    check(not re.search(rb"(src|href)=\"(https?:)?//", page), "the page fetches from elsewhere")

    for method, path, want in (("GET", "/nope", 404), ("POST", "/api/v1/station", 405),
                               ("GET", "/api/v1/station/drain", 405),
                               ("POST", "/api/v1/station/drain", 403)):
        status, _, body = s.request(method, path, token=TOKEN)
        check(status == want, "%s %s: %d %s" % (method, path, status, body))
    check(s.stop() == 0, "the station's status")


def case_paging(s):
    """Units by cursor: every record once, exactly its line, across a torn line and a log that
    grows; a cursor that is no record's start is refused."""
    records = ['{"slot":"old","unit":%d,"outcome":"ok"}' % n for n in range(1, 26)]
    with open(s.units_log, "w", encoding="utf-8") as f:
        f.write("\n".join(records[:10]) + '\n{"slot":"torn\n' + "\n".join(records[10:]) + "\n")
    s.start()
    size = os.path.getsize(s.units_log)

    got, cursor, pages = [], "", 0
    while True:
        path = "/api/v1/units?limit=7" + ("&cursor=" + cursor if cursor else "")
        status, _, body = s.request("GET", path)
        check(status == 200, body)
        page = json.loads(body)
        lines = [json.dumps(unit, separators=(",", ":")) for unit in page["units"]]
        expected = '{"units":[%s],"next":"%s","more":%s}' % (
            ",".join(lines), page["next"], "true" if page["more"] else "false")
        check(body.decode() == expected, "not the log's lines: %s" % body)
        got += lines
        cursor, pages = page["next"], pages + 1
        if not page["more"]:
            break
    check(got == records and pages == 4 and int(cursor) == size, (got, pages, cursor, size))

    s.good_box("a")
    s.await_units(26)
    page = s.get_json("/api/v1/units?cursor=" + cursor)
    with open(s.units_log, encoding="utf-8") as f:
        last = f.read().splitlines()[-1]
    check([json.dumps(u, separators=(",", ":")) for u in page["units"]] == [last], page)
    check(page["next"] == str(os.path.getsize(s.units_log)), page)

    for query in ("cursor=5", "cursor=%d" % (size + 10**6), "limit=0", "limit=1001",
                  "cursor=abc"):
        status, _, body = s.request("GET", "/api/v1/units?" + query)
        check(status == 400, "%s: %d %s" % (query, status, body))


class Stream:
    """The event stream's events, read on a thread of its own."""

    def __init__(self, station):
        self.events = []
        self.ended = threading.Event()
        self.connection = http.client.HTTPConnection("127.0.0.1", station.port, timeout=30)
        self.connection.request("GET", "/api/v1/events")
        self.response = self.connection.getresponse()
        check(self.response.status == 200 and
              self.response.getheader("Content-Type") == "text/event-stream",
              "no event stream")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        try:
            for line in self.response:
                if line.startswith(b"data: "):
                    self.events.append(json.loads(line[6:]))
        except OSError:
            pass
        self.ended.set()

    def has(self, kind):
        return any(event["event"] == kind for event in self.events)


def without_time(events):
    return [{key: value for key, value in event.items() if key != "t"} for event in events]


def unit_window(events, port):
    """The port's events from its unit's start to its end."""
    mine = [e for e in events if e.get("port") == port]
    first = next(i for i, e in enumerate(mine) if e["event"] == "unit_started")
    last = next(i for i, e in enumerate(mine) if e["event"] == "unit_complete")
    return without_time(mine[first:last + 1])


def case_events(s):
    """The stream carries what --json prints, and ends with the station."""
    s.args = ["--json"]
    s.start()
    stream = Stream(s)
    s.good_box("a")
    s.await_units(1)
    wait_for("unit_complete on the stream", lambda: stream.has("unit_complete"))
    check(s.stop() == 0, "the station's status")
    check(stream.ended.wait(10), "the stream outlived the station")
    check(stream.events[-1]["event"] == "station_complete", stream.events[-3:])
    with open(os.path.join(s.work, "station.out"), encoding="utf-8") as f:
        printed = [json.loads(line) for line in f]
    on_stream = unit_window(stream.events, s.slot("a"))
    check(len(on_stream) > 5 and on_stream == unit_window(printed, s.slot("a")),
          "the stream differs from --json")


class PacedBox(threading.Thread):
    """A box paced at 115200 baud on a slot, in the background: a unit of a few seconds."""

    def __init__(self, s, name):
        super().__init__(daemon=True)
        self.s, self.name, self.status = s, name, None
        self.start()

    def run(self):
        self.status = self.s.box(self.name, "--baud", "115200", "accept", "--out",
                                 self.s.work + "/paced")


def case_control(s):
    """Commands need the token, do nothing without it, and do what they say with it."""
    s.start()
    pause = json.dumps({"slot": s.slot("a")})
    for token, status in ((None, 401), ("wrong" * 7, 403), (TOKEN[:-1], 403)):
        got, _, body = s.request("POST", "/api/v1/slots/pause", pause, token=token)
        check(got == status, "token %r: %d %s" % (token, got, body))
    for body, status in (("{", 400), ('{"slot": 1}', 400), ('{"slot": "/nope"}', 404),
                         ("x" * 5000, 413)):
        got, _, answer = s.request("POST", "/api/v1/slots/pause", body, token=TOKEN)
        check(got == status, "%s: %d %s" % (body[:20], got, answer))
    got, _, _ = s.request("GET", "/api/v1/slots", headers={"X-Big": "x" * 9000})
    check(got == 431, "oversized headers: %d" % got)
    check(s.slot_state("a")["state"] == "waiting", "a refused command changed the slot")

    # Paused, the slot leaves its line: a box there hears no beacon. Resumed, it serves again.
    got, _, _ = s.request("POST", "/api/v1/slots/pause", pause, token=TOKEN)
    check(got == 202, "pause: %d" % got)
    s.wait_state("a", "paused")
    check(s.box("a", "accept", "--listen-ms", "1000", timeout=5) != 0, "a paused slot served")
    got, _, _ = s.request("POST", "/api/v1/slots/resume", pause, token=TOKEN)
    check(got == 202, "resume: %d" % got)
    s.wait_state("a", "waiting")
    s.good_box("a")

    # A pause during a unit lets it finish, then the slot arms no more.
    s.wait_state("a", "waiting")
    box = PacedBox(s, "a")
    s.wait_state("a", "unit")
    s.request("POST", "/api/v1/slots/pause", pause, token=TOKEN)
    box.join(30)
    check(box.status == 0, "the paused slot's unit did not finish")
    s.wait_state("a", "paused")
    check(s.units()[-1]["outcome"] == "ok", s.units()[-1])

    # Drain lets the unit under way finish; stop then abandons it, and the station ends.
    s.request("POST", "/api/v1/slots/resume", pause, token=TOKEN)
    s.wait_state("a", "waiting")
    box = PacedBox(s, "a")
    s.wait_state("a", "unit")
    got, _, _ = s.request("POST", "/api/v1/station/drain", "", token=TOKEN)
    check(got == 202 and s.get_json("/api/v1/station")["halt"] == "drain", "drain: %d" % got)
    check(s.slot_state("a")["state"] == "unit", "the drain ended the unit")
    got, _, _ = s.request("POST", "/api/v1/station/stop", "", token=TOKEN)
    check(got == 202, "stop: %d" % got)
    check(s.process.wait(30) == 0, "the station's status")
    check(s.units()[-1]["outcome"] == "abandoned", s.units()[-1])
    check("stop asked for over HTTP" in s.stderr(), s.stderr())


def slow_client(port, source):
    """A connection that sends its request's headers a line a second and never ends them."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=20,
                                    source_address=(source, 0))
    sock.sendall(b"GET /api/v1/station HTTP/1.1\r\nHost: 127.0.0.1\r\n")
    return sock


def case_slowloris(s):
    """Sixteen slow connections from one address: that address is refused more, the others are
    answered at once, and the slow ones are cut off once their time is up."""
    s.start()
    slow = [slow_client(s.port, "127.0.0.1") for _ in range(16)]
    opened = time.monotonic()
    try:
        status = s.request("GET", "/api/v1/station")[0]
    except ConnectionResetError:
        status = 503  # refused before the answer could be read
    check(status == 503, "a seventeenth connection from one address: %d" % status)

    other = socket.socket()
    other.bind(("127.0.0.2", 0))
    elsewhere = http.client.HTTPConnection("127.0.0.1", s.port, timeout=5)
    elsewhere.sock = other
    other.connect(("127.0.0.1", s.port))
    for _ in range(5):
        begun = time.monotonic()
        elsewhere.request("GET", "/api/v1/slots")
        response = elsewhere.getresponse()
        response.read()
        check(response.status == 200 and time.monotonic() - begun < 1, "held up by slow ones")
        for sock in slow:
            sock.sendall(b"X-Slow: 1\r\n")
        time.sleep(1)
    elsewhere.close()

    for sock in slow:
        sock.settimeout(15)
        try:
            while sock.recv(4096):
                pass
        except (ConnectionResetError, BrokenPipeError):
            pass
        sock.close()
    check(time.monotonic() - opened < 13, "slow requests were not cut off in time")
    wait_for("room again", lambda: s.request("GET", "/api/v1/station")[0] == 200, 5)


def case_refused_at_start(s):
    """What cannot make a safe server ends the program before any slot opens."""
    short = os.path.join(s.work, "short")
    with open(short, "w", encoding="ascii") as f:
        f.write("tooshort\n")
    taken = socket.socket()
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    base = [CLI, "--station", "--port", s.slot("a"), "--software", s.software]
    for args, status, words in (
            (["--http", "0.0.0.0:0"], 2, "--http-token-file"),
            (["--http", "[::]:0"], 2, "--http-token-file"),
            (["--http", "::1:80"], 2, "ADDR:PORT"),
            (["--http", "host.example:80"], 2, "ADDR:PORT"),
            (["--http-token-file", s.token_file], 2, "goes with --http"),
            (["--http", "0", "--http-token-file", short], 4, "fewer than 16"),
            (["--http", "0", "--http-token-file", s.work + "/none"], 4, "cannot read"),
            (["--http", str(taken.getsockname()[1])], 2, "cannot serve the page")):
        run = subprocess.run(base + args, capture_output=True, text=True, timeout=20)
        check(run.returncode == status and words in run.stderr,
              "%s: %d %s" % (args, run.returncode, run.stderr))
    run = subprocess.run([CLI, "--port", s.slot("a"), "--software", s.software, "--http", "0"],
                         capture_output=True, text=True, timeout=20)
    check(run.returncode == 2 and "goes with --station" in run.stderr, run.stderr)
    taken.close()


def case_metrics(s):
    """The metrics parse as the exposition format and agree with the units log."""
    s.args = ["--unit-silence", "1", "--retries", "3"]
    s.start()
    out = s.work + "/out"
    s.good_box("a")
    check(s.box("b", "accept", "--out", out, "--nak-share", "0.3", "--nak-first-verdict") == 0,
          "the box refusing some frames failed")
    s.box("a", "--silent-after", "3", "accept", "--out", out, timeout=4)
    s.await_units(3)

    status, headers, body = s.request("GET", "/metrics")
    check(status == 200 and headers["Content-Type"].startswith("text/plain; version=0.0.4"),
          headers)
    samples = {}
    for family in text_string_to_metric_families(body.decode()):
        for sample in family.samples:
            samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value

    def value(name, **labels):
        return samples[(name, tuple(sorted(labels.items())))]

    units = s.units()
    outcomes = {(u["slot"], u["outcome"]) for u in units}
    check({o for _, o in outcomes} == {"ok", "timed-out"}, outcomes)
    for name in ("a", "b"):
        slot = s.slot(name)
        mine = [u for u in units if u["slot"] == slot]
        images = [i for u in mine for i in u["images"]]
        for outcome in ("ok", "box-failure", "timed-out", "line-lost", "abandoned"):
            check(value("vandrelux_units_total", slot=slot, outcome=outcome) ==
                  sum(u["outcome"] == outcome for u in mine), (name, outcome))
        for metric, total in (("vandrelux_images_sent_total", len(images)),
                              ("vandrelux_image_bytes_sent_total",
                               sum(i["done"] for i in images)),
                              ("vandrelux_refused_frames_total", sum(i["naks"] for i in images)),
                              ("vandrelux_resent_images_total",
                               sum(i["resends"] for i in images))):
            check(value(metric, slot=slot) == total, (name, metric, total))
        states = [k for k, v in samples.items()
                  if k[0] == "vandrelux_slot_state" and ("slot", slot) in k[1] and v == 1]
        check(len(states) == 1, states)
    check(value("vandrelux_refused_frames_total", slot=s.slot("b")) > 0, "no refused frames")
    check(value("vandrelux_resent_images_total", slot=s.slot("b")) == 1, "no resent image")
    check(value("vandrelux_unit_duration_seconds_count") == len(units) ==
          value("vandrelux_unit_duration_seconds_bucket", le="+Inf"), "histogram count")
    check(abs(value("vandrelux_unit_duration_seconds_sum") -
              sum(u["seconds"] for u in units)) < 1e-3, "histogram sum")
    check(abs(value("vandrelux_start_time_seconds") - time.time()) < 120, "start time")
    station = s.get_json("/api/v1/station")
    check(station["first_pass_yield"] == 1 / 3, station)


CASES = {
    "endpoints": ("a", "b"),
    "paging": ("a",),
    "events": ("a",),
    "control": ("a",),
    "slowloris": ("a",),
    "refused_at_start": ("a",),
    "metrics": ("a", "b"),
}


def main():
    name = sys.argv[1]
    station = Station(CASES[name], token=name != "endpoints")
    try:
        globals()["case_" + name](station)
    except Exception:
        print(station.stderr() if station.process else "", file=sys.stderr)
        raise
    finally:
        station.close()
    print("ok: " + name)


if __name__ == "__main__":
    main()
