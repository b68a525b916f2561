#!/usr/bin/env python3
"""The line server against a real PostgreSQL and two real stations on simulated boxes.

record:  boxes with serial numbers in their banners on both stations while one station is
         killed and started again, the line server is killed (SIGKILL) mid-ingest and started
         again, and PostgreSQL is stopped for a while and started again: afterwards the database
         holds each unit of both units logs exactly once, and a search by box id finds its unit;
         then a log put in place of one station's whose records end where the old cursor
         points, and a rotation while the line server is down with a unit it has not read.
browser: the line's page in headless Chromium: both stations' slots, and a box id search.
Usage: line_test.py record|browser [SCREENSHOT.png] (CLI, BOXSIM and LINE name the programs)."""
import os
import re
import signal
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "http"))
from harness import Station  # noqa: E402
from linelab import Cluster, LineServer, free_port, log_digests, wait_for, write_history  # noqa: E402

LINE = os.environ["LINE"]
HISTORY = 20000  # units of earlier days in the second station's log: a few seconds to ingest


class LineStation(Station):
    """A station on one slot whose boxes say their serial number, on a port that stays."""

    def __init__(self, name):
        super().__init__(("a",), token=False,
                         args=("--station-id", name, "--box-id", r"S/N: (\w+)"), size=20000)
        self.name = name
        self.http_port = free_port()
        self.serial = 0

    def begin(self):
        return self.start(self.command(http="127.0.0.1:%d" % self.http_port))

    def url(self):
        return "http://127.0.0.1:%d" % self.http_port

    def next_box(self):
        """One box with the next serial number, once the slot waits for it (a banner sent
        before the line is open is lost); whether it took the files."""
        self.serial += 1
        self.wait_state("a", "waiting", 30)
        serial = "%s%04d" % (self.name.upper(), self.serial)
        status = self.box("a", "--banner", "Loader 2.1 S/N: %s\\r\\n" % serial, "accept",
                          "--out", os.path.join(self.work, "out"))
        return status == 0


class OddStation:
    """A station that answers with events whose fields have the wrong types, then hangs up."""

    def __init__(self):
        import http.server

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                bodies = {"/api/v1/station": b"{}", "/api/v1/slots": b'{"slots":[]}'}
                if self.path.startswith("/api/v1/units"):
                    body = b'{"units":[],"next":"0","more":false}'
                elif self.path == "/api/v1/events":
                    body = b'data: {"event":5}\n\ndata: {"event":{"event":[]}}\n\n: beat\n\n'
                else:
                    body = bodies.get(self.path)
                if body is None:
                    self.send_error(404)
                    return
                self.send_response(200)
                if self.path == "/api/v1/events":  # a stream, as long as the connection
                    self.send_header("Content-Type", "text/event-stream")
                else:
                    self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def url(self):
        return "http://127.0.0.1:%d" % self.server.server_address[1]

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def stored(cluster):
    try:
        return int(cluster.sql("SELECT count(*) FROM units")[0][0])
    except Exception:  # the schema is not there yet, or the server is paused
        return -1


def expect_exactly_the_logs(cluster, stations):
    wanted = sorted(d for s in stations for d in log_digests(s.units_log))

    def same():
        rows = cluster.sql("SELECT encode(digest, 'hex') FROM units ORDER BY 1")
        return sorted(row[0] for row in rows) == wanted
    wait_for("the database to hold exactly the units of both logs (%d)" % len(wanted), same, 60)
    return len(wanted)


def record():
    cluster = Cluster()
    work = tempfile.mkdtemp(prefix="vandrelux-line-")
    one, two = LineStation("st1"), LineStation("st2")
    write_history(two.units_log, "st2", HISTORY)
    odd = OddStation()  # beside the others all along: nothing it sends may end the line server
    line = LineServer(LINE, cluster.conninfo, [one.url(), two.url(), odd.url()], work)
    try:
        one.begin()
        two.begin()
        line.start()
        # Killed while it still ingests the history, and started again.
        wait_for("the line ingesting", lambda: stored(cluster) > 0)
        line.kill()
        assert stored(cluster) < HISTORY, "the history was in before the kill: make it longer"
        line.start()
        for station in (one, two):
            assert station.next_box(), station.stderr()

        # A station killed and started again on the same log and port, the other going on.
        one.process.send_signal(signal.SIGKILL)
        one.process.wait(10)
        assert two.next_box(), two.stderr()
        wait_for("the line seeing st1 gone", lambda: not line.get_json(
            "/api/v1/line")["stations"][0]["reachable"])
        one.begin()
        assert one.next_box(), one.stderr()

        # PostgreSQL away for a while, units going on meanwhile.
        cluster.pause()
        boxes = [threading.Thread(target=s.next_box) for s in (one, two)]
        for box in boxes:
            box.start()
        for box in boxes:
            box.join(60)
        status, _ = line.get("/api/v1/yields")
        assert status == 503, "yields without a database: %d" % status
        cluster.resume()
        assert one.next_box() and two.next_box()

        # PostgreSQL hanging: a question to the record gets its answer in bounded time, and the
        # page and the live part go on meanwhile.
        wait_for("the record answering again", lambda: line.get("/api/v1/yields")[0] == 200)
        cluster.hang()
        try:
            asked = []
            search = threading.Thread(
                target=lambda: asked.append(line.get("/api/v1/search?box=ST10001", 40)))
            search.start()
            time.sleep(0.5)
            began = time.monotonic()
            assert line.get_json("/api/v1/line")["stations"] and line.get("/")[0] == 200
            assert time.monotonic() - began < 5, "the page waited for the hanging database"
            search.join(40)
            assert asked and asked[0][0] == 503 and b"no answer" in asked[0][1], asked
        finally:
            cluster.hang(stop=False)
        # Given up on, the database is tried again a few seconds later.
        wait_for("the record answering after the hang",
                 lambda: line.get("/api/v1/yields")[0] == 200)

        count = expect_exactly_the_logs(cluster, (one, two))
        assert count == HISTORY + one.serial + two.serial, count
        for phrase in ("the database:", "station %s: cannot follow it" % one.url()):
            assert phrase in line.log(), "the log does not say " + phrase

        # Which box got what, and that software's boxes.
        found = line.get_json("/api/v1/search?box=ST10002")
        assert found["total"] == 1, found
        unit = found["units"][0]
        assert unit["station"] == "st1" and unit["outcome"] == "ok", unit
        digest = unit["images"][0]["sha256"]
        boxes = cluster.sql("""
            SELECT u.box_id, u.station, u.end_at, u.outcome, u.first_pass
            FROM units u JOIN images i ON i.unit_id = u.id
            WHERE i.sha256 = :'v1'
            ORDER BY u.end_at""", digest)
        assert [row[0] for row in boxes] == ["ST1%04d" % n for n in range(1, one.serial + 1)], boxes
        print("which boxes got %s:" % digest)
        for row in boxes:
            print("  " + " | ".join(row))

        # A log put in place of st1's while st1 and the line server are down, whose records end
        # exactly where the old cursor points (the old records with the next numbers, as
        # long): the ones before that point must not be passed over.
        assert line.stop() == 0
        one.process.send_signal(signal.SIGTERM)
        one.process.wait(10)
        rotated = one.units_log + ".1"
        os.rename(one.units_log, rotated)
        with open(rotated, "rb") as f:
            old = f.read()
        shift = old.count(b"\n")
        new = re.sub(rb'"seq":(\d)\b', lambda m: b'"seq":%d' % (int(m.group(1)) + shift), old)
        assert len(new) == len(old) and new != old, "st1's numbers must stay one digit"
        with open(one.units_log, "wb") as f:
            f.write(new)
        one.begin()
        assert one.next_box(), one.stderr()
        line.start()
        wanted = set(log_digests(rotated)) | set(log_digests(one.units_log)) | set(
            log_digests(two.units_log))
        wait_for("every unit of the replaced log", lambda: {
            row[0] for row in cluster.sql("SELECT encode(digest, 'hex') FROM units")} == wanted)
        assert "reading its log again from its start" in line.log(), line.log()

        # The packaged rotation (rename, SIGHUP) while the line server is down and st2 has a
        # unit it has not read: that unit is in the renamed log only.
        assert line.stop() == 0
        assert two.next_box(), two.stderr()
        os.rename(two.units_log, two.units_log + ".1")
        two.process.send_signal(signal.SIGHUP)
        assert two.next_box(), two.stderr()
        line.start()
        wanted |= set(log_digests(two.units_log + ".1")) | set(log_digests(two.units_log))
        wait_for("the unit only the renamed log holds", lambda: {
            row[0] for row in cluster.sql("SELECT encode(digest, 'hex') FROM units")} == wanted)
        assert "reading the log its last rotation renamed" in line.log(), line.log()
        count = len(wanted)
        assert line.stop() == 0
    finally:
        line.close()
        odd.close()
        one.close()
        two.close()
        cluster.close()
        os.system("rm -rf " + work)
    print("ok: %d units, each stored once" % count)


def browser(screenshot):
    from browser_test import FLAGS, on_page
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By

    cluster = Cluster()
    work = tempfile.mkdtemp(prefix="vandrelux-line-")
    one, two = LineStation("st1"), LineStation("st2")
    line = LineServer(LINE, cluster.conninfo, [one.url(), two.url()], work)
    driver = None
    try:
        one.begin()
        two.begin()
        line.start()
        assert one.next_box() and two.next_box()
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in FLAGS + ("--user-data-dir=" + tempfile.mkdtemp(dir=work),):
            options.add_argument(flag)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.set_page_load_timeout(20)
        driver.get("http://127.0.0.1:%d/" % line.port)

        def tiles():
            return {card.get_attribute("data-url"):
                    [t.get_attribute("data-state")
                     for t in card.find_elements(By.CSS_SELECTOR, ".tile")]
                    for card in driver.find_elements(By.CSS_SELECTOR, ".station")}
        wait_for("both stations' slots waiting", on_page(
            lambda: tiles() == {one.url(): ["waiting"], two.url(): ["waiting"]}))
        wait_for("yields of both stations", on_page(
            lambda: len(driver.find_elements(By.CSS_SELECTOR, "#perStation tr")) == 2), 30)
        driver.find_element(By.ID, "query").send_keys("ST20001")
        driver.find_element(By.CSS_SELECTOR, "#searchForm button").click()
        wait_for("the box's unit found", on_page(lambda: [
            [td.text for td in tr.find_elements(By.TAG_NAME, "td")][1:3]
            for tr in driver.find_elements(By.CSS_SELECTOR, "#results tbody tr")] ==
            [["ST20001", "st2"]]))
        if screenshot:
            driver.save_screenshot(screenshot)
    finally:
        if driver is not None:
            driver.quit()
        line.close()
        one.close()
        two.close()
        cluster.close()
        os.system("rm -rf " + work)
    print("ok: the line's page")


if __name__ == "__main__":
    if sys.argv[1] == "record":
        record()
    else:
        browser(sys.argv[2] if len(sys.argv) > 2 else None)
