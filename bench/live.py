#!/usr/bin/env python3
"""Replays the seed onto a veth pair at several speeds and compares what a live monitor
writes with what the monitor writes from tcpdump's capture of the same replay.

  live.py VARNO SEED.pcap WORK_DIR

Two network namespaces joined by a veth pair (MTU 1500, offloads as the driver sets them): tcpreplay sends
the seed from one end; on the other end tcpdump (libpcap's defaults, the monitor's own capture
filter for Ethernet) writes a file that `varno -p` reads afterwards, and `varno -i` listens itself, both
on the same replay, so both see the same frames at the same times (two replays would not:
the seed reuses client ports, and how connections fall into the monitor's 10 s flows
depends on the replay's timing). Each speed (1x, 20x, top speed;
BENCH_LIVE_SPEEDS="1 20 top") is replayed BENCH_LIVE_RUNS times (default 1). For each run
the table gives the frames tcpreplay sent and its rate, tcpdump's counters, the rows from
its file, the live rows, the live drops (libpcap's counters from the monitor's log) and
whether the live rows are the rows of the file (all columns but the capture time).

Exit status: non-zero when at a speed where tcpdump dropped nothing the live monitor
wrote other rows. Needs root, tcpreplay, tcpdump and iproute2.
"""

import csv
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import time

from measure import monitor_filter

STATS = re.compile(r"(warning|error) - Capture statistics on \S+: (\d+) received, (\d+) dropped by the kernel, "
                   r"(\d+) dropped by the interface")


def sh(*argv, check=True, **kw):
    return subprocess.run(argv, check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


class Link:
    """Two namespaces and a veth pair between them, removed again on exit."""

    def __init__(self):
        tag = f"vl{os.getpid() % 100000}"
        self.replay_ns, self.sensor_ns = tag + "-r", tag + "-s"
        self.replay_if, self.sensor_if = tag + "r", tag + "s"

    def __enter__(self):
        sh("ip", "netns", "add", self.replay_ns)
        sh("ip", "netns", "add", self.sensor_ns)
        sh("ip", "link", "add", self.replay_if, "netns", self.replay_ns, "type", "veth", "peer", "name",
           self.sensor_if, "netns", self.sensor_ns)
        for ns, dev in ((self.replay_ns, self.replay_if), (self.sensor_ns, self.sensor_if)):
            # Offloads stay as the driver sets them, as on a sensor's capture port.
            sh("ip", "-n", ns, "link", "set", dev, "mtu", "1500", "up")
        # varno -i takes only a device with an address; one outside the seed's.
        sh("ip", "-n", self.sensor_ns, "addr", "add", "198.19.255.1/30", "dev", self.sensor_if)
        return self

    def __exit__(self, *exc):
        sh("ip", "netns", "del", self.replay_ns, check=False)
        sh("ip", "netns", "del", self.sensor_ns, check=False)

    def in_sensor(self, argv):
        return ["ip", "netns", "exec", self.sensor_ns] + argv

    def replay(self, seed, speed):
        pace = ["--topspeed"] if speed == "top" else ["--multiplier=" + speed]
        out = sh("ip", "netns", "exec", self.replay_ns, "tcpreplay", "-i", self.replay_if, *pace, seed).stdout
        sent = re.search(r"Actual: (\d+) packets", out)
        rate = re.search(r"Rated: [\d.]+ Bps, [\d.]+ Mbps, ([\d.]+) pps", out)
        return int(sent.group(1)) if sent else 0, float(rate.group(1)) if rate else 0.0

    def wait_for_socket(self, pid, timeout=20.0):
        """Waits until process pid holds a packet socket in the sensor namespace."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            out = sh(*self.in_sensor(["ss", "-0", "-p", "-n"]), check=False).stdout
            if f"pid={pid}," in out:
                time.sleep(0.5)  # the filter goes on after the socket is made
                return True
            time.sleep(0.1)
        return False


def rows_of(directory):
    """The rows of every CSV file in directory without the capture-time column (each
    capture socket takes its own time, a millisecond apart at times), sorted."""
    rows = []
    for path in glob.glob(os.path.join(directory, "*.csv")):
        with open(path, newline="", encoding="latin-1") as f:
            rows.extend(tuple(r[1:]) for r in list(csv.reader(f))[1:])
    return sorted(rows)


def stop(process, timeout=60):
    process.send_signal(signal.SIGINT)
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


def log_drops(directory):
    """Drops in libpcap's last counters of a live run, from its log; 0 when none were logged."""
    log = "".join(open(p, encoding="latin-1").read() for p in sorted(glob.glob(os.path.join(directory, "varno*.log"))))
    stats = STATS.findall(log)
    return int(stats[-1][2]) + int(stats[-1][3]) if stats else 0


def replay_once(link, varno, seed, speed, work, capture_filter):
    """One replay with tcpdump and the live monitor on the same end of the link."""
    capture, live_out, file_out = (os.path.join(work, name) for name in ("tcpdump.pcap", "live", "from-file"))
    for directory in (live_out, file_out):
        shutil.rmtree(directory, ignore_errors=True)
    err = open(os.path.join(work, "tcpdump.err"), "w+")
    tcpdump = subprocess.Popen(link.in_sensor(["tcpdump", "-i", link.sensor_if, "-w", capture, capture_filter]),
                               stdout=subprocess.DEVNULL, stderr=err)
    monitor = subprocess.Popen(link.in_sensor([varno, "-i", link.sensor_if, "-o", live_out, "-s", "warning"]),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if not link.wait_for_socket(tcpdump.pid) or not link.wait_for_socket(monitor.pid):
        raise SystemExit("live.py: tcpdump or varno did not start: " + monitor.stderr.read())
    sent, rate = link.replay(seed, speed)
    time.sleep(1)
    stop(tcpdump)
    status = stop(monitor)
    if status != 0:
        raise SystemExit(f"live.py: varno -i exited with {status}: {monitor.stderr.read()}")
    err.seek(0)
    text = err.read()
    count = lambda what: int(re.search(r"(\d+) packets? " + what, text).group(1))
    sh(varno, "-p", capture, "-o", file_out)
    return {"sent": sent, "rate": rate, "captured": count("captured"), "dropped": count("dropped by kernel"),
            "file rows": rows_of(file_out), "live rows": rows_of(live_out), "live drops": log_drops(live_out)}


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    varno, seed, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
    for tool in ("tcpreplay", "tcpdump", "ip", "ss"):
        if not shutil.which(tool):
            raise SystemExit(f"live.py: {tool} is missing (scripts/install-deps.sh --bench)")
    if os.geteuid() != 0:
        raise SystemExit("live.py: network namespaces and live capture need root")
    speeds = os.environ.get("BENCH_LIVE_SPEEDS", "1 20 top").split()
    runs = int(os.environ.get("BENCH_LIVE_RUNS", "1"))
    os.makedirs(work, exist_ok=True)
    # tcpdump must keep what the monitor keeps (the SYNs among it split reused ports).
    capture_filter = monitor_filter(varno, seed, work)

    load = os.getloadavg()[0]
    print(f"Live capture: the seed replayed with tcpreplay onto a veth pair (load average {load:.1f}, "
          f"{os.cpu_count()} CPUs)")
    header = ("speed", "sent", "frames/s", "tcpdump captured", "tcpdump dropped", "rows from file",
              "live rows", "live drops", "same rows")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    failed = False
    with Link() as link:
        for speed in speeds:
            for _ in range(runs):
                run = replay_once(link, varno, seed, speed, work, capture_filter)
                same = run["live rows"] == run["file rows"]
                if run["dropped"] == 0 and not same:
                    failed = True
                label = "top" if speed == "top" else speed + "x"
                print(f"| {label} | {run['sent']} | {run['rate']:,.0f} | {run['captured']} | {run['dropped']} | "
                      f"{len(run['file rows'])} | {len(run['live rows'])} | {run['live drops']} | "
                      f"{'yes' if same else 'NO'} |", flush=True)
    if failed:
        print("live.py: the live monitor wrote other rows than it does from tcpdump's capture", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
