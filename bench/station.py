#!/usr/bin/env python3
"""A production run: boards through `loric station` against the simulator daemon.

Each run starts a `tq6410-sim` daemon with its boards on the shelf (unplugged), starts
`loric station --count N` on it, and plugs the boards in one after another through the daemon's
control socket: a board goes in as soon as the station says it waits for one, and comes out as
soon as it shows PASS or FAIL. Reported per run:

  cycle    a board's time from being plugged in to its PASS, the mean over the boards
  floor    what a board cannot be faster than, by bench/jobs.py's rule for its job (the
           library's whole-second waits, the chip's busy time, over the serial adapter the line
           time of every frame), and the read-back: over the serial adapter its frames are in the
           line time; through the driver it is the read-back steps' time in the job record
  ratio    cycle / floor
  cpu      the station's processor time (user + system) / its wall time
  boards/h throughput

Then two stations at once, each with a daemon and serial adapter of its own (driver sockets with
--links driver), against one station: their throughput together over one station's.

    python3 bench/station.py [--build build] [--boards 10] [--links driver,serial]
                             [--serial-boards N] [--state running|blank] [--timings typical|max]
    python3 bench/station.py --smoke    (what CI runs: 2 running boards through the driver,
                                         and two stations of 2 boards on two driver daemons)

The exit code is 1 when a board fails or a station does not end as it should; the speeds never
decide it.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import jobs  # noqa: E402  (its floor rule, images and daemon totals)

CHIP = "29F040B"


class Daemon:
    """A daemon with `boards` boards on the shelf, and its control."""

    def __init__(self, sim, tmp, boards, state, serial, timings):
        self.sim, self.tmp = sim, tmp
        self.sock = os.path.join(tmp, "sim.sock")
        self.control = os.path.join(tmp, "control.sock")
        cmd = [sim, "--socket", self.sock, "--control", self.control, "--chip", CHIP,
               "--timings", timings, "--log", os.path.join(tmp, "sim.log")]
        if serial:
            cmd += ["--serial", "--paced"]
        for i in range(boards):
            cmd += ["--device", f"state={state},plugged=no,guid=00C0DE00000001{i:02X}"]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        self.pty = None
        while True:
            line = self.proc.stdout.readline()
            if not line:
                raise RuntimeError("the simulator stopped: " + " ".join(cmd))
            if line.startswith("serial adapter: "):
                self.pty = line.split(": ", 1)[1].strip()
            if line.startswith("chip: "):
                break

    def send(self, command):
        subprocess.run([self.sim, "--control", self.control, "--send", command], check=True,
                       stdout=subprocess.DEVNULL)

    def stop(self):
        return jobs.stop_daemon(self.proc)  # chip busy total, serial line total


def run_station(tool, daemon, boards, serial, tmp):
    """One station through `boards` boards: per-board cycles, wall, CPU, exit code, output."""
    env = dict(os.environ, BRENNOCK_SOCKET=daemon.sock, LORIC_LOCK_DIR=os.path.join(tmp, "locks"))
    cmd = [tool] + (["--com", daemon.pty] if serial else []) + [
        "--chip", CHIP, "--progress", "none", "station", "--loader", jobs.LOADER, "--firmware",
        jobs.FIRMWARE, "--config", jobs.CONFIG_JSON, "--count", str(boards), "--no-backup",
        "--report", os.path.join(tmp, "station.jsonl")]
    start = time.monotonic()
    proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    out, cycles, plugged, board = [], [], 0.0, 0
    for line in proc.stdout:
        out.append(line)
        if re.match(r"Board \d+: waiting", line):
            daemon.send(f"plug {board}")
            plugged = time.monotonic()
        elif re.match(r"Board \d+: (PASS|FAIL)", line):
            cycles.append(time.monotonic() - plugged)
            daemon.send(f"unplug {board}")
            board += 1
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    passed = sum(1 for line in out if re.match(r"Board \d+: PASS", line))
    return cycles, wall, usage.ru_utime + usage.ru_stime, code, passed, "".join(out)


def readback_seconds(report):
    """The read-back steps of each board's job, from the job record: their mean duration."""
    with open(report) as f:
        lines = [json.loads(line) for line in f]
    total = sum(step["seconds"] for r in lines for step in r.get("steps", [])
                if step["name"].startswith("Reading back"))
    return total / max(len(lines), 1)


def one_station(sim, tool, link, boards, state, timings):
    serial = link == "serial"
    with tempfile.TemporaryDirectory(prefix="loric-station-bench-") as tmp:
        daemon = Daemon(sim, tmp, boards, state, serial, timings)
        try:
            cycles, wall, cpu, code, passed, out = run_station(tool, daemon, boards, serial, tmp)
            readback = readback_seconds(os.path.join(tmp, "station.jsonl"))
        finally:
            busy, line = daemon.stop()
    job = "blank" if state == "blank" else "program"
    floor = jobs.MANDATED[job][link] + busy / boards + (line / boards if serial else readback)
    if state == "blank":
        units = os.path.getsize(jobs.LOADER)
        floor += units * (0.001 if serial else 0.00002)
    ok = code == 0 and passed == boards
    if not ok:
        sys.stderr.write(out)
    return {"cycles": cycles, "wall": wall, "cpu": cpu, "floor": floor, "ok": ok, "boards": boards}


def two_stations(sim, tool, link, boards, state, timings):
    results = [None, None]

    def run(i):
        results[i] = one_station(sim, tool, link, boards, state, timings)

    start = time.monotonic()
    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results, time.monotonic() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(jobs.ROOT, "build"))
    parser.add_argument("--boards", type=int, default=10)
    parser.add_argument("--serial-boards", type=int, default=0,
                        help="boards over the serial adapter (default: --boards)")
    parser.add_argument("--links", default="driver,serial")
    parser.add_argument("--state", default="running", choices=["running", "blank"])
    parser.add_argument("--timings", default="typical", choices=["typical", "max"])
    parser.add_argument("--smoke", action="store_true")
    opts = parser.parse_args()
    if opts.smoke:
        opts.boards, opts.links, opts.serial_boards = 2, "driver", 0
    sim = os.path.join(opts.build, "sim", "tq6410-sim")
    tool = os.path.join(opts.build, "tools", "loric")

    print(f"timings {opts.timings}, {opts.state} boards; seconds; cycle and floor are per board")
    print("| link | boards | cycle (mean) | cycle (max) | floor | cycle/floor | CPU/wall | boards/h | result |")
    print("|---|---|---|---|---|---|---|---|---|")
    failures = 0
    single = {}
    for link in opts.links.split(","):
        boards = opts.serial_boards or opts.boards if link == "serial" else opts.boards
        r = one_station(sim, tool, link, boards, opts.state, opts.timings)
        single[link] = r
        mean = sum(r["cycles"]) / max(len(r["cycles"]), 1)
        print(f"| {link} | {boards} | {mean:.2f} | {max(r['cycles'] or [0]):.2f} | {r['floor']:.2f} | "
              f"{mean / r['floor']:.3f} | {100 * r['cpu'] / r['wall']:.2f} % | "
              f"{3600 * boards / r['wall']:.0f} | {'ok' if r['ok'] else 'FAILED'} |", flush=True)
        failures += 0 if r["ok"] else 1

    link = "driver" if opts.smoke else "serial"
    if link in single:
        boards = single[link]["boards"]
        pair, wall = two_stations(sim, tool, link, boards, opts.state, opts.timings)
        one = boards / single[link]["wall"]
        both = 2 * boards / wall
        ok = all(r["ok"] for r in pair)
        print()
        print("| stations | link | boards each | wall | boards/h | vs one station | result |")
        print("|---|---|---|---|---|---|---|")
        print(f"| 1 | {link} | {boards} | {single[link]['wall']:.1f} | {3600 * one:.0f} | 1.00 | ok |")
        print(f"| 2 | {link} | {boards} | {wall:.1f} | {3600 * both:.0f} | {both / one:.2f} | "
              f"{'ok' if ok else 'FAILED'} |", flush=True)
        failures += 0 if ok else 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
