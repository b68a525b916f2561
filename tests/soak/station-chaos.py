#!/usr/bin/env python3
"""The station against boxes that misbehave as real ones do.

One station serves several slots, each a pair of pseudo-terminals joined by socat. On each slot
boxes come one after another, each with a behaviour drawn at random: well-behaved, with a boot
banner, after a stray byte on the line, rebooting and talking after its update, in a reboot loop
that never answers, silent mid-image, refusing every frame, refusing some frames and its first
image, or on a line that vanishes mid-unit. Each well-behaved box listens for the beacon only for
--rearm-quiet plus a second after it is powered on, so a slot that does not serve it in time is a
wedged slot. At the end every line of the units log must parse, every slot's units must be the
ones its boxes began, in order and each once, and every box the station passed must hold exactly
the update files.

Prints the figures as one JSON object; exits 1 when any of them is wrong.
"""
import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

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
    def __init__(self, work, name):
        self.name = name
        self.host = os.path.join(work, name + "-host")
        self.box = os.path.join(work, name + "-box")
        self.socat = None
        self.keep = None
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

    def disconnect(self):
        if self.keep is not None:
            os.close(self.keep)
            self.keep = None
        if self.socat is not None:
            self.socat.terminate()
            self.socat.wait()
            self.socat = None


def padded(data):
    return data + b"\0" if len(data) % 2 else data


def await_text(path, text, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.02)
    return False


def run_slot(args, slot, files, rng, count, events):
    quiet, silence = args.rearm_quiet, args.unit_silence
    listen_ms = int((quiet + 1.0) * 1000)
    for n in range(count):
        behaviour = rng.choice(sorted(BEHAVIOURS))
        out = os.path.join(args.work, "%s-%03d" % (slot.name, n))
        common = ["--device", slot.box, "--report", out + ".json"]
        scenario = ["accept", "--out", out, "--expect", str(len(files)), "--listen-ms", str(listen_ms)]
        before, timeout = [], 20.0
        if behaviour == "banner":
            before = ["--banner", "Loader 2.1 S/N: %s%03d\\r\\n" % (slot.name, n)]
        elif behaviour == "stray":
            os.write(slot.keep, b"x")
            time.sleep(0.05)
        elif behaviour == "reboot-talk":
            scenario += ["--reboot-text", "booting...\\r\\nlogin: ",
                         "--reboot-ms", str(int(quiet * 1000) + 300)]
        elif behaviour == "refuse-some":
            scenario += ["--nak-share", "0.2", "--nak-first-verdict"]
        elif behaviour == "reboot-loop":
            before, timeout = ["--reboot-loop-ms", "300"], 2.0
        elif behaviour == "silent":
            before, timeout = ["--silent-after", "3"], silence + 0.5
        elif behaviour == "refuse-all":
            scenario += ["--nak-share", "1", "--give-up-after", "0"]
            timeout = silence + 0.5
        elif behaviour == "vanish":
            before = ["--baud", "115200"]
        box = subprocess.Popen([args.boxsim] + common + ["--timeout", str(timeout)] + before + scenario,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if behaviour == "vanish":
            # The line goes once the unit is under way, and comes back as a new pair.
            if not await_unit_started(events, slot.host, len(slot.expected) + 1, quiet + 5):
                slot.problems.append("box %d (%s): no unit began" % (n, behaviour))
            slot.disconnect()
            box.wait()
            slot.connect()
        status = box.wait()
        slot.ran.append(behaviour)
        outcome = BEHAVIOURS[behaviour]
        if outcome is not None:
            slot.expected.append(outcome)
        try:
            with open(out + ".json", encoding="utf-8") as f:
                ended = json.load(f)["ended"]
        except (OSError, ValueError, KeyError):
            ended = "no report"
        if ended == "no-beacon":
            slot.problems.append("box %d (%s) never heard the beacon: wedged" % (n, behaviour))
        elif outcome == "ok" and status != 0:
            slot.problems.append("box %d (%s) failed: %s" % (n, behaviour, ended))
        elif outcome == "ok":
            for kind, data in files.items():
                try:
                    with open(os.path.join(out, kind + ".bin"), "rb") as f:
                        exact = f.read() == padded(data)
                except FileNotFoundError:
                    exact = False
                if not exact:
                    slot.problems.append("box %d: %s not stored exactly" % (n, kind))
        shutil.rmtree(out, ignore_errors=True)


def await_unit_started(events, host, number, seconds):
    want = ('"slot":"%s"' % host, '"unit":%d' % number)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(events, encoding="utf-8") as f:
            for line in f:
                if '"event":"unit_started"' in line and all(w in line for w in want):
                    return True
        time.sleep(0.02)
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--boxsim", required=True)
    parser.add_argument("--slots", type=int, default=3)
    parser.add_argument("--boxes", type=int, default=8, help="boxes per slot")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rearm-quiet", type=float, default=0.5)
    parser.add_argument("--unit-silence", type=float, default=1.0)
    args = parser.parse_args()

    args.work = tempfile.mkdtemp(prefix="vandrelux-chaos-")
    rng = random.Random(args.seed)
    files = {"bootstrap": os.urandom(5001), "software": os.urandom(40000)}
    paths = {}
    for kind, data in files.items():
        paths[kind] = os.path.join(args.work, kind + "-in.bin")
        with open(paths[kind], "wb") as f:
            f.write(data)
    slots = [Slot(args.work, "s%d" % i) for i in range(args.slots)]
    station = None
    began = time.monotonic()
    try:
        for slot in slots:
            slot.connect()
        log = os.path.join(args.work, "units.jsonl")
        events = os.path.join(args.work, "events.jsonl")
        command = [args.cli, "--station", "--json", "--units-log", log,
                   "--bootstrap", paths["bootstrap"], "--software", paths["software"],
                   "--rearm-quiet", str(args.rearm_quiet), "--unit-silence", str(args.unit_silence)]
        for slot in slots:
            command += ["--port", slot.host]
        with open(events, "w") as out, open(os.path.join(args.work, "station.err"), "w") as err:
            station = subprocess.Popen(command, stdout=out, stderr=err)
        for slot in slots:
            if not await_text(os.path.join(args.work, "station.err"),
                              "%s  waiting for a box" % slot.host, 10):
                slot.problems.append("never armed")
        workers = [threading.Thread(target=run_slot,
                                    args=(args, slot, files, random.Random(rng.random()),
                                          args.boxes, events))
                   for slot in slots]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        # The last units are recorded once their boxes are done; then the station ends.
        time.sleep(args.unit_silence + 0.5)
        station.send_signal(signal.SIGINT)
        status = station.wait(timeout=30)
        station = None

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
            units = recorded.get(slot.host, [])
            numbers = [u["unit"] for u in units]
            duplicated += len(numbers) - len(set(numbers))
            outcomes = [u["outcome"] for u in units]
            if outcomes != slot.expected:
                slot.problems.append("units %s, boxes %s -> %s" % (outcomes, slot.ran, slot.expected))
            if numbers != list(range(1, len(numbers) + 1)):
                slot.problems.append("unit numbers %s" % numbers)
        with open(events, encoding="utf-8") as f:
            started = sum('"event":"unit_started"' in line for line in f)
        wedged = sum(any("wedged" in p or "never armed" in p for p in s.problems) for s in slots)
        figures = {
            "slots": len(slots),
            "boxes": sum(len(s.ran) for s in slots),
            "units": len(records),
            "units_started": started,
            "wedged_slots": wedged,
            "records_lost": max(0, started - (len(records) - duplicated)),
            "records_duplicated": duplicated,
            "torn_lines": torn,
            "station_status": status,
            "seconds": round(time.monotonic() - began, 1),
            "problems": [s.name + ": " + p for s in slots for p in s.problems],
        }
        print(json.dumps(figures, indent=2))
        bad = (wedged or figures["records_lost"] or duplicated or torn or status != 0
               or figures["problems"])
        if bad:
            with open(os.path.join(args.work, "station.err"), encoding="utf-8", errors="replace") as f:
                sys.stderr.write("".join(f.readlines()[-40:]))
        return 1 if bad else 0
    finally:
        if station is not None:
            station.kill()
            station.wait()
        for slot in slots:
            slot.disconnect()
        shutil.rmtree(args.work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
