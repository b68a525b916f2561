#!/usr/bin/env python3
"""The station against boxes that misbehave as real ones do.

One station serves several slots, each a pair of pseudo-terminals joined by socat. On each slot
boxes come one after another, each with a behaviour drawn at random: well-behaved, with a boot
banner, after a stray byte on the line, rebooting and talking after its update, in a reboot loop
that never answers, silent mid-image, refusing every frame, refusing some frames and its first
image, or on a line that vanishes mid-unit. As an operator does, the next box goes on once the
station has recorded the unit of the last one. Every box listens for the beacon only for
--rearm-quiet plus a second after it is powered on, so a slot that does not serve it in time is a
wedged slot. At the end every line of the units log must parse, every slot's units must be the
ones its boxes began, in order and each once, and every box the station passed must hold exactly
the update files.

With --wine-ports the station is the Windows build under Wine: each slot is a COM port whose
link in that folder points at the slot's pair (the caller holds the folder and sets up Wine).

Prints the figures as one JSON object; exits 1 when any of them is wrong.
"""
import argparse
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

# The COM ports of the Wine test prefix that lead where their links do (COM3 leads nowhere).
WINE_COM_PORTS = [1, 2, 4, 5, 6, 7]

# Behaviour -> the outcome of the unit its box begins, or None when it begins none.
BEHAVIOURS = {
    "good": "ok",
    "banner": "ok",
    "stray": "ok",
    "reboot-talk": "ok",
    "refuse-some": "ok",
    "reboot-loop": None,
    "silent": "timed-out",
    "refuse-all": "timed-out",
    "vanish": "line-lost",
}


class Slot:
    def __init__(self, work, name, events, com=None):
        self.name = name
        self.host = os.path.join(work, name + "-host")
        self.box = os.path.join(work, name + "-box")
        # What the station is told, and what it calls the slot in its events and units.
        self.port = self.host if com is None else "COM%d" % com
        self.called = self.host if com is None else "\\\\.\\COM%d" % com
        self.socat = None
        self.keep = None
        # Between boxes the line's end is read and dropped, as a serial line whose box is off
        # loses what is sent; a pseudo-terminal would keep it for the next box.
        self.idle = threading.Event()
        threading.Thread(target=self.drain, daemon=True).start()
        self.events = events
        self.offset = 0
        self.counts = {"unit_started": 0, "unit_complete": 0}
        self.expected = []  # outcomes of the units its boxes began, in order
        self.ran = []       # behaviours, in order
        self.problems = []

    def connect(self):
        self.socat = subprocess.Popen(
            ["socat", "pty,link=%s,raw,echo=0" % self.host, "pty,link=%s,raw,echo=0" % self.box],
            stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(self.host) and os.path.exists(self.box):
                break
            time.sleep(0.01)
        # Held open so the pair stays up between boxes; the stray byte goes through it.
        self.keep = os.open(self.box, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.idle.set()

    def disconnect(self):
        self.idle.clear()
        if self.keep is not None:
            os.close(self.keep)
            self.keep = None
        if self.socat is not None:
            self.socat.terminate()
            self.socat.wait()
            self.socat = None

    def drain(self):
        while True:
            self.idle.wait()
            fd = self.keep
            try:
                readable, _, _ = select.select([fd], [], [], 0.01)
                if readable and self.idle.is_set():
                    os.read(fd, 65536)
            except (OSError, TypeError, ValueError):
                time.sleep(0.01)

    def power_on(self):
        """Stops the draining: the next box has the line to itself."""
        self.idle.clear()
        time.sleep(0.03)

    def await_event(self, kind, count, seconds):
        """Whether the station's events for this slot reach `count` of `kind` in time."""
        deadline = time.monotonic() + seconds
        while True:
            # Lines as written: Windows ends them with CR LF, which may come in two writes.
            with open(self.events, encoding="utf-8", newline="") as f:
                f.seek(self.offset)
                for line in f:
                    if not line.endswith("\n"):
                        break
                    self.offset += len(line.encode("utf-8"))
                    event = json.loads(line)
                    if event.get("port") == self.called and event["event"] in self.counts:
                        self.counts[event["event"]] += 1
            if self.counts[kind] >= count:
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.02)


def padded(data):
    return data + b"\0" if len(data) % 2 else data


def box_command(args, slot, behaviour, n, out, files):
    """The box's command line: its options, and the scenario's."""
    quiet, silence = args.rearm_quiet, args.unit_silence
    # Served late at worst, then stalled until the station gives up on it.
    stall = quiet + 1 + silence + 0.5
    before, timeout = [], 20.0
    scenario = ["accept", "--out", out, "--expect", str(len(files)),
                "--listen-ms", str(int((quiet + 1) * 1000))]
    if behaviour == "banner":
        before = ["--banner", "Loader 2.1 S/N: %s%03d\\r\\n" % (slot.name, n)]
    elif behaviour == "reboot-talk":
        scenario += ["--reboot-text", "booting...\\r\\nlogin: ",
                     "--reboot-ms", str(int(quiet * 1000) + 300)]
    elif behaviour == "refuse-some":
        scenario += ["--nak-share", "0.2", "--nak-first-verdict"]
    elif behaviour == "reboot-loop":
        before, timeout = ["--reboot-loop-ms", "300"], 2.0
    elif behaviour == "silent":
        before, timeout = ["--silent-after", "3"], stall
    elif behaviour == "refuse-all":
        scenario += ["--nak-share", "1", "--give-up-after", "0"]
        timeout = stall
    elif behaviour == "vanish":
        before = ["--baud", "115200"]
    return ([args.boxsim, "--device", slot.box, "--report", out + ".json",
             "--timeout", str(timeout)] + before + scenario)


def run_slot(args, slot, files, rng, count):
    try:
        run_boxes(args, slot, files, rng, count)
    except Exception as e:  # a broken run is a failed one, not a shorter one
        slot.problems.append("the run of its boxes broke: %r" % e)


def run_boxes(args, slot, files, rng, count):
    for n in range(count):
        behaviour = rng.choice(sorted(BEHAVIOURS))
        out = os.path.join(args.work, "%s-%03d" % (slot.name, n))
        if behaviour == "stray":
            os.write(slot.keep, b"x")
            time.sleep(0.05)
        started = slot.counts["unit_started"]
        slot.power_on()
        box = subprocess.Popen(box_command(args, slot, behaviour, n, out, files),
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        began = True
        if behaviour == "vanish":
            # The line goes once the unit is under way, and comes back as a new pair.
            began = slot.await_event("unit_started", started + 1, args.rearm_quiet + 5)
            if not began:
                slot.problems.append("box %d (%s): no unit began" % (n, behaviour))
            slot.disconnect()
            box.wait()
            slot.connect()
        status = box.wait()
        slot.idle.set()
        slot.ran.append(behaviour)
        # A unit that never began has no record to wait for: the next boxes' are counted right.
        outcome = BEHAVIOURS[behaviour] if began else None
        if outcome is not None:
            slot.expected.append(outcome)
            if not slot.await_event("unit_complete", len(slot.expected), args.unit_silence + 5):
                slot.problems.append("box %d (%s): its unit was not recorded" % (n, behaviour))
        try:
            with open(out + ".json", encoding="utf-8") as f:
                ended = json.load(f)["ended"]
        except (OSError, ValueError, KeyError):
            ended = "no report"
        if ended == "no-beacon":
            slot.problems.append("box %d (%s) never heard the beacon: wedged" % (n, behaviour))
            continue
        if outcome == "ok" and status != 0:
            slot.problems.append("box %d (%s) failed: %s" % (n, behaviour, ended))
            continue  # its folder and report stay for a look
        if outcome == "ok":
            for kind, data in files.items():
                try:
                    with open(os.path.join(out, kind + ".bin"), "rb") as f:
                        exact = f.read() == padded(data)
                except FileNotFoundError:
                    exact = False
                if not exact:
                    slot.problems.append("box %d: %s not stored exactly" % (n, kind))
        shutil.rmtree(out, ignore_errors=True)


def check(args, slots, log, events, status, began):
    records, torn, recorded = [], 0, {}
    with open(log, encoding="utf-8") as f:
        for line in f:
            try:
                records.append(json.loads(line))
            except ValueError:
                torn += 1
    for record in records:
        recorded.setdefault(record["slot"], []).append(record)
    duplicated = 0
    for slot in slots:
        units = recorded.get(slot.called, [])
        numbers = [u["unit"] for u in units]
        duplicated += len(numbers) - len(set(numbers))
        outcomes = [u["outcome"] for u in units]
        if outcomes != slot.expected:
            slot.problems.append("units %s, boxes %s -> %s" % (outcomes, slot.ran, slot.expected))
        if numbers != list(range(1, len(numbers) + 1)):
            slot.problems.append("unit numbers %s" % numbers)
    with open(events, encoding="utf-8") as f:
        started = sum('"event":"unit_started"' in line for line in f)
    return {
        "slots": len(slots),
        "boxes": sum(len(s.ran) for s in slots),
        "units": len(records),
        "units_started": started,
        "wedged_slots": sum(any("wedged" in p or "never armed" in p for p in s.problems)
                            for s in slots),
        "records_lost": max(0, started - (len(records) - duplicated)),
        "records_duplicated": duplicated,
        "torn_lines": torn,
        "station_status": status,
        "seconds": round(time.monotonic() - began, 1),
        "problems": [s.name + ": " + p for s in slots for p in s.problems],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--boxsim", required=True)
    parser.add_argument("--slots", type=int, default=3)
    parser.add_argument("--boxes", type=int, default=8, help="boxes per slot")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rearm-quiet", type=float, default=0.5)
    parser.add_argument("--unit-silence", type=float, default=1.0)
    parser.add_argument("--keep", action="store_true", help="keep the run's files")
    parser.add_argument("--wine-ports", help="run the Windows --cli under Wine, its COM links here")
    parser.add_argument("--wine-preload", default="", help="LD_PRELOAD for Wine alone")
    args = parser.parse_args()

    args.work = tempfile.mkdtemp(prefix="vandrelux-chaos-")
    rng = random.Random(args.seed)
    files = {"bootstrap": os.urandom(5001), "software": os.urandom(40000)}
    paths = {}
    for kind, data in files.items():
        paths[kind] = os.path.join(args.work, kind + "-in.bin")
        with open(paths[kind], "wb") as f:
            f.write(data)
    log = os.path.join(args.work, "units.jsonl")
    events = os.path.join(args.work, "events.jsonl")
    errors = os.path.join(args.work, "station.err")
    if args.wine_ports and args.slots > len(WINE_COM_PORTS):
        parser.error("--wine-ports has %d COM ports for slots" % len(WINE_COM_PORTS))
    coms = WINE_COM_PORTS if args.wine_ports else [None] * args.slots
    slots = [Slot(args.work, "s%d" % i, events, coms[i]) for i in range(args.slots)]
    station = None
    began = time.monotonic()
    try:
        for slot in slots:
            slot.connect()
            if args.wine_ports:
                link = os.path.join(args.wine_ports, slot.port.lower())
                if os.path.lexists(link):
                    os.remove(link)
                os.symlink(slot.host, link)
        wine = ["wine"] if args.wine_ports else []
        command = wine + [args.cli, "--station", "--json", "--units-log", log,
                   "--bootstrap", paths["bootstrap"], "--software", paths["software"],
                   "--rearm-quiet", str(args.rearm_quiet), "--unit-silence", str(args.unit_silence)]
        for slot in slots:
            command += ["--port", slot.port]
        with open(events, "w") as out, open(errors, "w") as err:
            env = dict(os.environ, LD_PRELOAD=args.wine_preload) if args.wine_ports else None
            station = subprocess.Popen(command, stdout=out, stderr=err, env=env,
                                       stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with open(errors, encoding="utf-8", errors="replace") as f:
                text = f.read()
            if all("%s  waiting for a box" % s.called in text for s in slots):
                break
            time.sleep(0.05)
        else:
            for slot in slots:
                slot.problems.append("never armed")
        workers = [threading.Thread(target=run_slot,
                                    args=(args, slot, files, random.Random(rng.random()), args.boxes))
                   for slot in slots]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        station.send_signal(signal.SIGINT)
        status = station.wait(timeout=30)
        station = None
        figures = check(args, slots, log, events, status, began)
        print(json.dumps(figures, indent=2))
        bad = (figures["wedged_slots"] or figures["records_lost"] or figures["records_duplicated"]
               or figures["torn_lines"] or status != 0 or figures["problems"])
        if bad:
            args.keep = True
        return 1 if bad else 0
    finally:
        if station is not None:
            station.kill()
            station.wait()
        for slot in slots:
            slot.disconnect()
        if args.keep:
            sys.stderr.write("the run's files are kept in %s\n" % args.work)
        else:
            shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
