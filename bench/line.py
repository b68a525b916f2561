#!/usr/bin/env python3
"""The line server at scale: STATIONS stations (10), each serving a units log of UNITS units
(100,000) from earlier days through its API, no box on any slot, into a PostgreSQL cluster of
the benchmark's own (fsync on, the server's defaults otherwise). Figures:

  ingest        units per second from the line server's start until the database holds every
                unit of every log (goal: 20,000 or more)
  second pass   the line server started again with every station's cursor forgotten, as after
                a rotation: it reads every log again and must add no unit
  size          the database's size per million units
  search        a search by box id through the line's API with all units stored (goal: under
                50 ms), median and slowest of 50; a search by an image's digest beside it

Usage: bench/line.py [--bin build/release/src] [--stations N] [--units N] [--keep]
bench/run-line.sh builds the release programs first, then runs this."""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "line"))
from linelab import Cluster, LineServer, station_port, wait_for, write_history  # noqa: E402


def history(args):
    path, name, units, seed = args
    write_history(path, name, units, seed=seed, box_prefix=name.upper())
    return path


def start_station(cli, work, name, log):
    err = os.path.join(work, name + ".err")
    process = subprocess.Popen(
        [cli, "--station", "--watch", os.path.join(work, "no-slots", "*"), "--software",
         os.path.join(work, "sw.bin"), "--units-log", log, "--http", "127.0.0.1:0",
         "--station-id", name],
        stdout=subprocess.DEVNULL, stderr=open(err, "wb"), cwd=work)
    port = wait_for(name + "'s address", lambda: station_port(err), 30)
    return process, "http://127.0.0.1:%d" % port


def count(cluster):
    return int(cluster.sql("SELECT count(*) FROM units")[0][0])


def stored(line):
    return sum(s["stored"] for s in line.get_json("/api/v1/line")["stations"])


def caught_up(line, since):
    """Every station's log read to its end by this run of the line server."""
    stations = line.get_json("/api/v1/line")["stations"]
    return all(s["pulling"] and not s["behind"] and s["last_stored"] and s["last_stored"] >= since
               for s in stations)


def timed_search(line, path):
    started = time.perf_counter()
    status, body = line.get(path)
    took = time.perf_counter() - started
    assert status == 200, body
    return took, json.loads(body)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", default="build/release/src")
    parser.add_argument("--stations", type=int, default=10)
    parser.add_argument("--units", type=int, default=100000)
    parser.add_argument("--keep", action="store_true")
    args = parser.parse_args()
    cli = os.path.abspath(os.path.join(args.bin, "cli", "vandrelux-cli"))
    program = os.path.abspath(os.path.join(args.bin, "line", "vandrelux-line"))
    work = tempfile.mkdtemp(prefix="vandrelux-bench-line-")
    with open(os.path.join(work, "sw.bin"), "wb") as f:
        f.write(os.urandom(1024))
    names = ["st%02d" % (i + 1) for i in range(args.stations)]
    logs = [os.path.join(work, name + ".jsonl") for name in names]
    print("writing %d units logs of %d units..." % (len(names), args.units), file=sys.stderr)
    with ProcessPoolExecutor() as pool:
        list(pool.map(history, [(log, name, args.units, i) for i, (log, name)
                                in enumerate(zip(logs, names))]))
    total = args.units * len(names)
    log_bytes = sum(os.path.getsize(log) for log in logs)

    cluster = Cluster()
    stations = []
    line = None
    try:
        for name, log in zip(names, logs):
            stations.append(start_station(cli, work, name, log))
        line = LineServer(program, cluster.conninfo, [url for _, url in stations], work)
        started = time.perf_counter()
        line.start()
        # The line's own count, which costs nothing: a count(*) every moment would take a
        # core from what is measured.
        wait_for("every unit stored", lambda: stored(line) >= total, 3600, 0.2)
        ingest = time.perf_counter() - started
        assert count(cluster) == total

        line.stop()
        cluster.sql("UPDATE stations SET cursor = ''")
        again_started = time.perf_counter()
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime())
        line.start()
        wait_for("the second pass", lambda: caught_up(line, stamp), 3600, 0.2)
        again = time.perf_counter() - again_started
        added = count(cluster) - total

        size = int(cluster.sql("SELECT pg_database_size(current_database())")[0][0])
        cluster.sql("VACUUM ANALYZE")
        rng = random.Random(7)
        box_times = []
        for _ in range(50):
            box = "%s%07d" % (rng.choice(names).upper(), rng.randrange(1, args.units + 1))
            took, found = timed_search(line, "/api/v1/search?box=" + box)
            assert found["total"] == 1, (box, found)
            box_times.append(took)
        digest = cluster.sql("SELECT sha256 FROM images WHERE kind = 'logo' LIMIT 1")[0][0]
        digest_time, found = timed_search(line, "/api/v1/search?digest=" + digest)
        figures = {
            "stations": len(names), "units": total,
            "ingest_seconds": round(ingest, 1), "units_per_second": round(total / ingest),
            "second_pass_seconds": round(again, 1), "second_pass_added": added,
            "log_mb": round(log_bytes / 1e6), "database_mb": round(size / 1e6),
            "database_mb_per_million": round(size / 1e6 / (total / 1e6)),
            "box_search_ms_median": round(1000 * statistics.median(box_times), 1),
            "box_search_ms_max": round(1000 * max(box_times), 1),
            "digest_search_ms": round(1000 * digest_time, 1), "digest_search_units": found["total"],
        }
    finally:
        if line is not None:
            line.close()
        for process, _ in stations:
            process.kill()
            process.wait(10)
        cluster.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    print("%-44s %s" % ("units ingested per second (goal >= 20000)", figures["units_per_second"]))
    print("%-44s %s s" % ("all %d units in" % total, figures["ingest_seconds"]))
    print("%-44s %d units added, %s s" % ("second pass, every cursor forgotten",
                                          added, figures["second_pass_seconds"]))
    print("%-44s %s MB (logs %s MB)" % ("database per million units",
                                        figures["database_mb_per_million"], figures["log_mb"]))
    print("%-44s %s ms median, %s ms slowest" % ("search by box id (goal < 50 ms)",
                                                 figures["box_search_ms_median"],
                                                 figures["box_search_ms_max"]))
    print("%-44s %s ms (%d units)" % ("search by an image's digest", figures["digest_search_ms"],
                                      figures["digest_search_units"]))
    print(json.dumps(figures))
    return 0 if added == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
