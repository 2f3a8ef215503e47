#!/usr/bin/env python3
"""Every job of the `loric` tool against the simulator daemon at datasheet timing.

For each chip, link and job a fresh `tq6410-sim` daemon is started (typical timings by default),
the job runs once through the tool, and the daemon is stopped. Reported per job:

  wall     the tool's wall time
  floor    what the job cannot be faster than: the whole-second waits that the library's
           sequences make for it and the link's sleep after each byte programmed through the
           flash port, plus the chip's busy total from the daemon ("chip busy total"), plus
           over the serial adapter the line time of every frame and reply outside the chip's
           busy time ("serial line total")
  ratio    wall / floor
  cpu      the tool's processor time (user + system) / wall

    python3 bench/jobs.py [--build build] [--chips 29F040B,...] [--links driver,serial]
                          [--jobs blank,program,config,erase,dump] [--timings typical|max]
    python3 bench/jobs.py --smoke    (what CI runs: one chip, both links, every job but the
                                      slow loader job over the serial adapter; a 4 KiB dump)

The exit code is 1 when any job fails (its output goes to standard error); the speeds never
decide it.
"""
import argparse
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMAGES = os.path.join(ROOT, "sim", "images")
LOADER = os.path.join(IMAGES, "loader.bin")
FIRMWARE = os.path.join(IMAGES, "firmware.bin")
CONFIG_BIN = os.path.join(IMAGES, "config.bin")
CONFIG_JSON = os.path.join(ROOT, "examples", "config.json")

# Whole-second waits of the library's sequences for each job (WaitSeconds; over the serial link
# every bus reset waits one second more):
#   blank    loader: wait after the resets 1, FindUploaderNode 1 (+ 3 bus resets on serial);
#            firmware: upload mode 1
#   program  upload mode 1;  config: upload mode 1;  erase: upload mode 1;  dump: none
MANDATED = {
    "blank": {"driver": 3, "serial": 6},
    "program": {"driver": 1, "serial": 1},
    "config": {"driver": 1, "serial": 1},
    "erase": {"driver": 1, "serial": 1},
    "dump": {"driver": 0, "serial": 0},
}
JOBS = {
    "blank": ("blank to running (loader, firmware, configuration)", True,
              ["program", FIRMWARE, CONFIG_JSON, "--loader", LOADER]),
    "program": ("firmware and configuration of a running device", False,
                ["program", "--no-backup", FIRMWARE, CONFIG_JSON]),
    "config": ("configuration upload", False, ["config", "upload", "--no-backup", CONFIG_JSON]),
    "erase": ("erase of the whole chip", False, ["erase", "--all", "--yes"]),
    "dump": ("64 KiB dump", False, ["dump", "0", "64K", "-o", "@TMP@/dump.bin"]),
}


def start_daemon(sim, tmp, chip, serial, blank, timings):
    sock = os.path.join(tmp, "sim.sock")
    cmd = [sim, "--socket", sock, "--chip", chip, "--timings", timings, "--log", os.path.join(tmp, "sim.log")]
    if serial:
        cmd += ["--serial", "--paced"]
    if not blank:
        cmd += ["--firmware", FIRMWARE, "--config", CONFIG_BIN]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
    pty = None
    while True:
        line = proc.stdout.readline()
        if not line:
            raise RuntimeError("the simulator stopped: " + " ".join(cmd))
        if line.startswith("serial adapter: "):
            pty = line.split(": ", 1)[1].strip()
        if line.startswith("chip: "):
            return proc, sock, pty


def stop_daemon(proc):
    proc.send_signal(signal.SIGTERM)
    out = proc.communicate(timeout=30)[0]
    busy = re.search(r"chip busy total: ([0-9.]+) s", out)
    line = re.search(r"serial line total: ([0-9.]+) s", out)
    return float(busy.group(1)) if busy else 0.0, float(line.group(1)) if line else 0.0


def run_tool(tool, args, env):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    result = subprocess.run([tool] + args, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    wall = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return result.returncode, result.stdout, wall, cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--chips", default="29F040B,39SF020A,29LV800B-x16")
    parser.add_argument("--links", default="driver,serial")
    parser.add_argument("--jobs", default=",".join(JOBS))
    parser.add_argument("--timings", default="typical", choices=["typical", "max"])
    parser.add_argument("--smoke", action="store_true",
                        help="one chip, both links, every job except the serial loader job")
    opts = parser.parse_args()
    if opts.smoke:
        opts.chips = "29F040B"
        opts.links = "driver,serial"
    sim = os.path.join(opts.build, "sim", "tq6410-sim")
    tool = os.path.join(opts.build, "tools", "loric")

    print(f"timings {opts.timings}; wall, floor and CPU of the tool in seconds")
    print(f"| chip | link | job | wall | floor | wall/floor | CPU/wall | result |")
    print(f"|---|---|---|---|---|---|---|---|")
    failures = 0
    for chip in opts.chips.split(","):
        for link in opts.links.split(","):
            for job in opts.jobs.split(","):
                if opts.smoke and link == "serial" and job == "blank":
                    continue  # the loader through the flash port at the adapter's pace: minutes
                title, blank, args = JOBS[job]
                with tempfile.TemporaryDirectory(prefix="loric-bench-") as tmp:
                    proc, sock, pty = start_daemon(sim, tmp, chip, link == "serial", blank, opts.timings)
                    try:
                        env = dict(os.environ, BRENNOCK_SOCKET=sock)
                        target = ["--com", pty] if link == "serial" else []
                        job_args = [a.replace("@TMP@", tmp) for a in args]
                        if opts.smoke and job == "dump":
                            job_args = [("4K" if a == "64K" else a) for a in job_args]
                            title = "4 KiB dump"
                        rc, out, wall, cpu = run_tool(tool, target + ["--chip", chip, "--progress", "none"] + job_args,
                                                      env)
                        result = "ok" if rc == 0 else f"exit {rc}"
                        if rc == 0 and job in ("blank", "program"):
                            # Through the driver socket of the same daemon: no line time added.
                            vrc, vout, _, _ = run_tool(tool, ["--chip", chip, "verify", "--firmware", FIRMWARE], env)
                            result = "ok, firmware verifies" if vrc == 0 else f"verify exit {vrc}"
                            if vrc != 0:
                                out += vout
                    finally:
                        busy, line = stop_daemon(proc)
                floor = MANDATED[job][link] + busy + (line if link == "serial" else 0.0)
                if job == "blank":
                    # The link's sleep after each byte or word programmed through the flash port:
                    # the data file's 20 us on the driver, at least 1 ms on the serial link.
                    units = os.path.getsize(LOADER) // (2 if chip.endswith("x16") else 1)
                    floor += units * (0.001 if link == "serial" else 0.00002)
                ratio = f"{wall / floor:.3f}" if floor > 0.05 else "n/a"
                print(f"| {chip} | {link} | {title} | {wall:.2f} | {floor:.2f} | {ratio} | {100 * cpu / wall:.1f} % "
                      f"| {result} |", flush=True)
                if not result.startswith("ok"):
                    failures += 1
                    sys.stderr.write(out)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
