#!/usr/bin/env python3
"""Times the monitor, the libpcap floor and the peers on the benchmark captures, checks
the monitor's output and the targets, and prints one table (standard library only).

  measure.py VARNO CAPTURE_DIR WORK_DIR

CAPTURE_DIR holds sequential, sequential-half, dense, sequential-vxlan and quic (.pcap with a
.json manifest from scale.py). The VXLAN layout is timed against the floor with the same
capture filter (the monitor's for Ethernet), and must give sequential's rows; the QUIC
layout gives microseconds per QUIC handshake and rows per second, and one row per
handshake. Runs alternate: every round runs each command once on each layout, so a slow
moment of the machine falls on all of them alike. Wall time is taken around each run;
peak resident memory is what /usr/bin/time reports for it. The table gives the median of
the runs' times and peaks ("peak MiB") and the highest peak of all runs ("max MiB").

Environment: BENCH_RUNS (default 5, at least 5) rounds for the monitor, the floor and
ndpiReader; BENCH_TSHARK_RUNS (default 3) for tshark, which takes about a minute a run.
"""

import glob
import hashlib
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time

# The floor reads with the monitor's own capture filter; the monitor logs it at debug severity.
CAPTURE_FILTER = None
# The same filter without its FIN and RST clauses: segments with payload (and SYNs), what the
# monitor must at least read.
PAYLOAD_FILTER = None
LAYOUTS = ("sequential", "sequential-half", "dense", "sequential-vxlan", "quic")
MIB = 1024 * 1024

# Targets
FLOOR_RATIO_DEFAULT = 1.5
FLOOR_RATIO_FULL = 2.0
FLOOR_RATIO_DENSE = 3.0
JSON_RATIO = 1.3  # JSON lines against CSV, wall time
CPU_RATIO = 2.5  # CPU time (user + system) against the floor's
NDPI_SPEEDUP = 10.0
TSHARK_SPEEDUP = 50.0
DENSE_BASE_BYTES = 64 * MIB
DENSE_PER_FLOW_BYTES = 8 * 1024
LINEAR_SLACK = 1.05  # twice the packets: at most 2.1x the time
SEQ_MEMORY_SLACK = 1.10  # the full sequential capture may peak at most 10% above the half


class Command:
    def __init__(self, name, layouts, runs, argv, is_varno=False):
        self.name = name
        self.layouts = layouts
        self.runs = runs
        self.argv = argv  # function(capture, outdir) -> argv list
        self.is_varno = is_varno


def commands(varno, runs, tshark_runs):
    return [
        Command("varno", LAYOUTS, runs, lambda f, o: [varno, "-p", f, "-o", o], True),
        Command("varno -c -k -m", LAYOUTS, runs, lambda f, o: [varno, "-p", f, "-o", o, "-c", "-k", "-m"], True),
        Command("varno json", ("sequential", "dense"), runs,
                lambda f, o: [varno, "-p", f, "-o", o, "--format", "json"], True),
        Command("varno both", ("sequential", "dense"), runs,
                lambda f, o: [varno, "-p", f, "-o", o, "--format", "both"], True),
        Command("floor: tcpdump", LAYOUTS, runs, lambda f, o: ["tcpdump", "-r", f, "-w", "/dev/null", CAPTURE_FILTER]),
        Command("floor: payload", ("sequential", "dense"), runs,
                lambda f, o: ["tcpdump", "-r", f, "-w", "/dev/null", PAYLOAD_FILTER]),
        Command("ndpiReader", ("sequential", "dense"), runs,
                lambda f, o: ["ndpiReader", "-i", f, "-f", CAPTURE_FILTER, "-q"]),
        Command("tshark", ("sequential", "dense"), tshark_runs,
                lambda f, o: ["tshark", "-r", f, "-Y", "tls.handshake.type==1 || tls.handshake.type==2", "-T",
                              "fields", "-e", "tls.handshake.extensions_server_name", "-e",
                              "tls.handshake.ciphersuite", "-e", "tls.handshake.version"]),
    ]


def monitor_filter(varno, capture, work):
    """The capture filter the monitor installs on this capture, from its debug log."""
    out = os.path.join(work, "filter-run")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    subprocess.run([varno, "-p", capture, "-o", os.path.join(out, "rows"), "-g", out, "-s", "debug"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    text = "".join(open(os.path.join(out, f), errors="replace").read() for f in sorted(os.listdir(out))
                   if f.endswith(".log"))
    marker = "Capture filter: "
    line = next((l for l in text.splitlines() if marker in l), None)
    if line is None:
        raise SystemExit("measure.py: the monitor logged no capture filter")
    shutil.rmtree(out, ignore_errors=True)
    return line.split(marker, 1)[1].strip()


def run_once(argv, outdir, stdout_path):
    """Runs argv under /usr/bin/time; returns (wall seconds, peak RSS bytes, CPU seconds)."""
    shutil.rmtree(outdir, ignore_errors=True)
    rss_file = outdir + ".rss"
    wrapped = ["/usr/bin/time", "-f", "%M %U %S", "-o", rss_file] + argv
    with open(stdout_path, "wb") as out, open(stdout_path + ".err", "wb") as err:
        start = time.perf_counter()
        result = subprocess.run(wrapped, stdout=out, stderr=err)
        wall = time.perf_counter() - start
    if result.returncode != 0:
        with open(stdout_path + ".err", "rb") as err:
            tail = err.read()[-2000:].decode(errors="replace")
        raise SystemExit(f"measure.py: {' '.join(argv)} exited with {result.returncode}:\n{tail}")
    with open(rss_file) as f:
        rss_kib, user, system = f.read().split()[-3:]
    return wall, int(rss_kib) * 1024, float(user) + float(system)


def csv_rows(outdir):
    """(row count, sha1 of the sorted rows without header lines) of the CSV files in outdir."""
    rows = []
    for path in sorted(glob.glob(os.path.join(outdir, "*.csv"))):
        with open(path, "rb") as f:
            lines = f.read().split(b"\n")
        if lines and lines[-1] == b"":
            lines.pop()
        rows.extend(lines[1:])
    rows.sort()
    digest = hashlib.sha1(b"\n".join(rows) + (b"\n" if rows else b"")).hexdigest()
    return len(rows), digest


def tool_version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=20)
        text = (out.stdout + out.stderr).strip().splitlines()
        return text[0] if text else "?"
    except (OSError, subprocess.TimeoutExpired):
        return "?"


def over_floor(value, floor):
    """value / floor as "N.Nx"; /usr/bin/time counts CPU in 10 ms steps, so a short floor can read 0."""
    return f"{value / floor:.1f}x" if floor > 0 else "-"


def fmt_mib(value):
    return f"{value / MIB:.1f}"


def main():
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    varno, capture_dir, work = os.path.abspath(sys.argv[1]), sys.argv[2], sys.argv[3]
    runs = max(5, int(os.environ.get("BENCH_RUNS", "5")))
    tshark_runs = max(1, int(os.environ.get("BENCH_TSHARK_RUNS", "3")))
    os.makedirs(work, exist_ok=True)
    # Every run uses one copy of the binary, so a rebuild while the benchmark runs cannot
    # mix two builds in one table.
    with open(varno, "rb") as f:
        binary = f.read()
    varno_sha1 = hashlib.sha1(binary).hexdigest()
    tested = os.path.join(work, "varno")
    with open(tested + ".tmp", "wb") as f:
        f.write(binary)
    os.chmod(tested + ".tmp", 0o755)
    os.replace(tested + ".tmp", tested)
    source, varno = varno, tested

    manifests = {}
    for layout in LAYOUTS:
        with open(os.path.join(capture_dir, layout + ".json")) as f:
            manifests[layout] = json.load(f)
    captures = {layout: os.path.join(capture_dir, layout + ".pcap") for layout in LAYOUTS}
    global CAPTURE_FILTER, PAYLOAD_FILTER
    CAPTURE_FILTER = monitor_filter(varno, captures["sequential-half"], work)
    PAYLOAD_FILTER = re.sub(r" or link\[\d+\] & 0x05 != 0", "", CAPTURE_FILTER)
    cmds = commands(varno, runs, tshark_runs)

    print(f"machine: {os.cpu_count()} cores, {platform.processor() or platform.machine()}, "
          f"{platform.release()}")
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    print(f"cpu: {cpu}")
    print(f"varno: {source} (sha1 {varno_sha1[:12]}, run from a copy)")
    print(f"tcpdump: {tool_version(['tcpdump', '--version'])}; tshark: {tool_version(['tshark', '--version'])}; "
          f"ndpiReader: {tool_version(['ndpiReader', '-h'])}")
    seed = manifests["sequential"]
    print(f"seed: {seed['seed_packets']} packets over {seed['seed_span_us'] / 1e6:.2f} s, "
          f"{seed['seed_connections']} TCP connections, {seed['seed_complete']} complete handshakes, "
          f"sha1 {seed['seed_sha1'][:12]}")
    quic = manifests["quic"]
    print(f"QUIC seed: {quic['seed_packets']} packets over {quic['seed_span_us'] / 1e6:.2f} s, "
          f"{quic['seed_connections']} connections (ngtcp2, every fourth after a Retry), "
          f"{quic['seed_quic_handshakes']} handshakes, sha1 {quic['seed_sha1'][:12]}")
    for layout in LAYOUTS:
        m = manifests[layout]
        size = os.path.getsize(captures[layout])
        what = "QUIC handshakes" if layout == "quic" else "complete handshakes"
        print(f"{layout:16s} {m['copies']:3d} copies, {m['packets']:>9,d} packets ({m['payload_packets']:,d} with "
              f"payload), {size / MIB:,.0f} MiB, {m['span_seconds']:.1f} s of capture time at {m['pace']} pace, "
              f"{m['expected_rows']:,d} {what}, {m['alive_at_once']:,d} flows alive at once"
              + (f", in {m['encapsulation']}" if "encapsulation" in m else ""))
    print(f"runs: {runs} per command (alternating), tshark {tshark_runs} "
          f"(about a minute a run; BENCH_TSHARK_RUNS to change)")
    print(f"floor: tcpdump -r FILE -w /dev/null FILTER, with the monitor's capture filter for Ethernet "
          f"({len(CAPTURE_FILTER)} characters)")
    print("ndpiReader: ndpiReader -i FILE -f '<the same capture filter>' -q")
    print()
    sys.stdout.flush()

    # Warm the page cache, so no command pays for the first read of a file.
    for path in captures.values():
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass

    times = {}
    cpus = {}
    rss = {}
    rows = {}
    for r in range(max(c.runs for c in cmds)):
        for layout in LAYOUTS:
            for c in cmds:
                if layout not in c.layouts or r >= c.runs:
                    continue
                key = (c.name, layout)
                outdir = os.path.join(work, "out")
                stdout_path = os.path.join(work, "stdout")
                wall, peak, cpu_s = run_once(c.argv(captures[layout], outdir), outdir, stdout_path)
                times.setdefault(key, []).append(wall)
                cpus.setdefault(key, []).append(cpu_s)
                rss.setdefault(key, []).append(peak)
                if c.is_varno:
                    rows.setdefault(key, []).append(csv_rows(outdir))
                print(f"  round {r + 1}: {layout:16s} {c.name:16s} {wall:8.3f} s {fmt_mib(peak):>8s} MiB",
                      file=sys.stderr, flush=True)
    shutil.rmtree(os.path.join(work, "out"), ignore_errors=True)

    med = {k: statistics.median(v) for k, v in times.items()}
    cpu_med = {k: statistics.median(v) for k, v in cpus.items()}
    # Peak memory moves from run to run with how far the capture thread runs ahead of the
    # workers (the channels between them hold what is not yet done): the median run's peak
    # judges growth, the highest peak of all runs judges the budget.
    peak = {k: statistics.median(v) for k, v in rss.items()}
    top = {k: max(v) for k, v in rss.items()}
    checks = []

    def check(ok, text, correctness=False):
        checks.append((ok, text, correctness))

    header = (f"{'layout':16s} {'command':16s} {'runs':>4s} {'median s':>9s} {'min s':>8s} {'max s':>8s} "
              f"{'Mpkt/s':>7s} {'cpu s':>7s} {'cpu us/pkt':>10s} {'peak MiB':>9s} {'max MiB':>8s} {'/floor':>7s} "
              f"{'cpu/floor':>9s} {'peer/varno':>10s}")
    print(header)
    print("-" * len(header))
    for layout in LAYOUTS:
        packets = manifests[layout]["packets"]
        floor = med[("floor: tcpdump", layout)]
        floor_cpu = cpu_med[("floor: tcpdump", layout)]
        for c in cmds:
            key = (c.name, layout)
            if key not in med:
                continue
            t = med[key]
            peer = ""
            if not c.name.startswith("varno") and not c.name.startswith("floor"):
                peer = f"{t / med[('varno', layout)]:.1f}x"
            cpu_s = cpu_med[key]
            print(f"{layout:16s} {c.name:16s} {len(times[key]):4d} {t:9.3f} {min(times[key]):8.3f} "
                  f"{max(times[key]):8.3f} {packets / t / 1e6:7.2f} {cpu_s:7.3f} {cpu_s / packets * 1e6:10.3f} "
                  f"{fmt_mib(peak[key]):>9s} {fmt_mib(top[key]):>8s} {t / floor:6.1f}x {over_floor(cpu_s, floor_cpu):>9s} "
                  f"{peer:>10s}")
        print()

    print("rows and row-set digests (sha1 of the sorted CSV rows without header):")
    for layout in LAYOUTS:
        expected = manifests[layout]["expected_rows"]
        for name in ("varno", "varno -c -k -m"):
            results = rows[(name, layout)]
            counts = sorted({n for n, _ in results})
            digests = sorted({d for _, d in results})
            print(f"  {layout:16s} {name:16s} rows {','.join(map(str, counts))} (expected {expected}) "
                  f"digest {','.join(digests)}")
            what = "QUIC handshakes" if layout == "quic" else "complete handshakes"
            check(counts == [expected], f"{layout} {name}: {counts} rows, {expected} {what}", True)
            check(len(digests) == 1, f"{layout} {name}: the same rows on every run", True)
        if layout == "sequential-vxlan":
            for name in ("varno", "varno -c -k -m"):
                same = {d for _, d in rows[(name, layout)]} == {d for _, d in rows[(name, "sequential")]}
                check(same, f"{layout} {name}: the rows of sequential (same digest)", True)
    print()

    # VXLAN: the same frames one encapsulation deeper, against the floor with the same filter.
    vx = "sequential-vxlan"
    for name in ("varno", "varno -c -k -m"):
        print(f"{vx} {name}: {med[(name, vx)] / med[('floor: tcpdump', vx)]:.2f}x the floor "
              f"(sequential: {med[(name, 'sequential')] / med[('floor: tcpdump', 'sequential')]:.2f}x), "
              f"{med[(name, vx)] / med[(name, 'sequential')]:.2f}x the time of sequential")
    # QUIC: each handshake is one or two client Initials and a server Initial to decrypt.
    handshakes = manifests["quic"]["expected_rows"]
    for name in ("varno", "varno -c -k -m"):
        t = med[(name, "quic")]
        written = rows[(name, "quic")][0][0]
        print(f"quic {name}: {t / handshakes * 1e6:.2f} us per QUIC handshake (wall), "
              f"{cpu_med[(name, 'quic')] / handshakes * 1e6:.2f} us CPU, {written / t:,.0f} rows per second "
              f"({written:,d} rows for {handshakes:,d} handshakes), {t / med[('floor: tcpdump', 'quic')]:.2f}x the floor")
    print()

    seq = "sequential"
    ratio = med[("varno", seq)] / med[("floor: tcpdump", seq)]
    check(ratio <= FLOOR_RATIO_DEFAULT, f"{seq} varno: {ratio:.2f}x the floor (target <= {FLOOR_RATIO_DEFAULT:g}x)")
    ratio = med[("varno -c -k -m", seq)] / med[("floor: tcpdump", seq)]
    check(ratio <= FLOOR_RATIO_FULL, f"{seq} varno -c -k -m: {ratio:.2f}x the floor (target <= {FLOOR_RATIO_FULL:g}x)")
    ratio = med[("varno", "dense")] / med[("floor: tcpdump", "dense")]
    check(ratio <= FLOOR_RATIO_DENSE, f"dense varno: {ratio:.2f}x the floor (target <= {FLOOR_RATIO_DENSE:g}x)")
    ratio = cpu_med[("varno", seq)] / cpu_med[("floor: tcpdump", seq)]
    check(ratio <= CPU_RATIO, f"{seq} varno: CPU time {ratio:.2f}x the floor's (target <= {CPU_RATIO:g}x)")
    ratio = cpu_med[("varno -c -k -m", seq)] / cpu_med[("floor: tcpdump", seq)]
    print(f"{seq} varno -c -k -m: CPU time {ratio:.2f}x the floor's (no target)")
    json_ratio = med[("varno json", seq)] / med[("varno", seq)]
    check(json_ratio <= JSON_RATIO, f"{seq} varno json: {json_ratio:.2f}x the time of CSV (target <= {JSON_RATIO:g}x)")
    for name in ("varno", "varno json", "varno both"):
        for layout in (seq, "dense"):
            print(f"{layout} {name}: {med[(name, layout)] / med[('floor: payload', layout)]:.2f}x the payload floor's "
                  f"wall time, CPU {cpu_med[(name, layout)] / max(cpu_med[('floor: payload', layout)], 0.01):.2f}x "
                  f"(goal 1.5x and 2.5x on {seq}); {med[(name, layout)] / med[('varno', layout)]:.2f}x CSV")
    speedup = med[("ndpiReader", seq)] / med[("varno", seq)]
    check(speedup >= NDPI_SPEEDUP, f"{seq} varno: {speedup:.1f}x faster than ndpiReader (target >= {NDPI_SPEEDUP:g}x)")
    speedup = med[("tshark", seq)] / med[("varno", seq)]
    check(speedup >= TSHARK_SPEEDUP, f"{seq} varno: {speedup:.1f}x faster than tshark (target >= {TSHARK_SPEEDUP:g}x)")

    alive = manifests["dense"]["alive_at_once"]
    budget = DENSE_BASE_BYTES + DENSE_PER_FLOW_BYTES * alive
    print(f"dense memory budget: 64 MiB + 8 KiB x {alive:,d} flows alive at once = {fmt_mib(budget)} MiB")
    for name in ("varno", "varno -c -k -m"):
        p = top[(name, "dense")]
        check(p <= budget, f"dense {name}: peak {fmt_mib(p)} MiB (highest run), budget {fmt_mib(budget)} MiB "
              f"({(p - DENSE_BASE_BYTES) / alive / 1024:.1f} KiB per flow above 64 MiB)")

    half = "sequential-half"
    packet_ratio = manifests[seq]["packets"] / manifests[half]["packets"]
    for name in ("varno", "varno -c -k -m"):
        t_ratio = med[(name, seq)] / med[(name, half)]
        limit = LINEAR_SLACK * packet_ratio
        check(t_ratio <= limit, f"linear, {name}: {packet_ratio:.2f}x the packets took {t_ratio:.2f}x as long "
              f"(target <= {limit:.2f}x)")
        grow = peak[(name, seq)] / peak[(name, half)]
        check(grow <= SEQ_MEMORY_SLACK, f"sequential memory, {name}: median peak {fmt_mib(peak[(name, seq)])} MiB for "
              f"the full capture, {fmt_mib(peak[(name, half)])} MiB for the half ({grow:.2f}x; target <= "
              f"{SEQ_MEMORY_SLACK:.2f}x, no growth with the capture's length)")

    print("checks:")
    for ok, text, _ in checks:
        print(f"  [{'PASS' if ok else 'FAIL'}] {text}")
    failed = sum(1 for ok, _, _ in checks if not ok)
    print(f"{len(checks) - failed} of {len(checks)} checks passed")
    # A missed speed or memory target is a figure to read; wrong rows are an error.
    sys.exit(1 if any(not ok and correctness for ok, _, correctness in checks) else 0)


if __name__ == "__main__":
    main()
