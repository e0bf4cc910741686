#!/usr/bin/env python3
"""Replays the seed onto a veth pair at several speeds and compares what a live monitor
writes with what the monitor writes from tcpdump's capture of the same replay.

  live.py VARNO SEED.pcap WORK_DIR

Two network namespaces joined by a veth pair (MTU 1500, offloads as the driver sets them): tcpreplay sends
the seed from one end; on the other end either tcpdump (libpcap's defaults, the monitor's
capture filter) writes a file that `varno -p` then reads, or `varno -i` listens itself.
Each speed (1x, 20x, top speed; BENCH_LIVE_SPEEDS="1 20 top") is replayed once for each
side, BENCH_LIVE_RUNS times (default 1). For each run the table gives the frames
tcpreplay sent and its rate, tcpdump's counters, the rows from its file, the live rows,
the live drops (libpcap's counters from the monitor's log) and whether the live rows are
the rows of the file (compared without the capture-time column, which differs between
two replays).

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

CAPTURE_FILTER = "tcp && ip[2:2] - ((ip[0] & 0xf) << 2) - ((tcp[12] & 0xf0) >> 2) > 0"
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
    """The rows of every CSV file in directory, without the capture-time column, sorted."""
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


def tcpdump_side(link, varno, seed, speed, work):
    capture = os.path.join(work, "tcpdump.pcap")
    err = open(os.path.join(work, "tcpdump.err"), "w+")
    tcpdump = subprocess.Popen(link.in_sensor(["tcpdump", "-i", link.sensor_if, "-w", capture, CAPTURE_FILTER]),
                               stdout=subprocess.DEVNULL, stderr=err)
    if not link.wait_for_socket(tcpdump.pid):
        raise SystemExit("live.py: tcpdump did not start")
    sent, rate = link.replay(seed, speed)
    time.sleep(1)
    stop(tcpdump)
    err.seek(0)
    text = err.read()
    count = lambda what: int(re.search(r"(\d+) packets? " + what, text).group(1))
    out = os.path.join(work, "from-file")
    shutil.rmtree(out, ignore_errors=True)
    sh(varno, "-p", capture, "-o", out)
    return {"sent": sent, "rate": rate, "captured": count("captured"), "dropped": count("dropped by kernel"),
            "rows": rows_of(out)}


def live_side(link, varno, seed, speed, work):
    out = os.path.join(work, "live")
    shutil.rmtree(out, ignore_errors=True)
    varno_run = subprocess.Popen(link.in_sensor([varno, "-i", link.sensor_if, "-o", out, "-s", "warning"]),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if not link.wait_for_socket(varno_run.pid):
        raise SystemExit("live.py: varno did not start: " + varno_run.stderr.read())
    sent, rate = link.replay(seed, speed)
    time.sleep(1)
    status = stop(varno_run)
    if status != 0:
        raise SystemExit(f"live.py: varno -i exited with {status}: {varno_run.stderr.read()}")
    log = "".join(open(p, encoding="latin-1").read() for p in sorted(glob.glob(os.path.join(out, "varno*.log"))))
    stats = STATS.findall(log)
    kernel, interface = (int(stats[-1][2]), int(stats[-1][3])) if stats else (0, 0)
    return {"sent": sent, "rate": rate, "drops": kernel + interface, "rows": rows_of(out)}


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
                dump = tcpdump_side(link, varno, seed, speed, work)
                live = live_side(link, varno, seed, speed, work)
                same = live["rows"] == dump["rows"]
                if dump["dropped"] == 0 and not same:
                    failed = True
                label = "top" if speed == "top" else speed + "x"
                print(f"| {label} | {live['sent']} | {live['rate']:,.0f} | {dump['captured']} | {dump['dropped']} | "
                      f"{len(dump['rows'])} | {len(live['rows'])} | {live['drops']} | {'yes' if same else 'NO'} |",
                      flush=True)
    if failed:
        print("live.py: the live monitor wrote other rows than it does from tcpdump's capture", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
