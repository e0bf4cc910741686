#!/usr/bin/env python3
"""The ClickHouse store end to end: varno's CSV files of real captures, loaded by
scripts/clickhouse/varno_clickhouse_load.py into a private clickhouse-server, must arrive
exactly once and byte for byte, also when the loader is killed in the middle of an insert
or dies between its insert and its record, and when the loader process alone (not its
client) is killed at random moments of its run. varno-report over the store must say what
it says over the same CSV files and certificates.

    clickhouse_load_test.py VARNO_BINARY SOURCE_DIR SHARED_DIR VARNO_REPORT_BINARY

Exits 77 (skipped) when clickhouse-server or clickhouse-client is missing.
"""

import collections
import concurrent.futures
import calendar
import csv
import ctypes
import difflib
import importlib.util
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SKIPPED = 77

varno, source, shared, varno_report = (Path(a) for a in sys.argv[1:5])
loader_path = source / "scripts/clickhouse/varno_clickhouse_load.py"
queries_path = source / "scripts/clickhouse/queries.sql"
sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
spec = importlib.util.spec_from_file_location("loader", loader_path)
loader = importlib.util.module_from_spec(spec)
spec.loader.exec_module(loader)

failures = []


def check(condition, message):
    print(("ok      " if condition else "FAILED  ") + message, flush=True)
    if not condition:
        failures.append(message)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def die_with_parent():
    # The server must not outlive the test, however the test ends (a CTest time-out kills it).
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Server:
    """A clickhouse-server of its own: loopback only, its own port and data folder."""

    def __init__(self, scratch):
        self.dir = scratch / "server"
        self.dir.mkdir()
        self.port, self.http_port = free_port(), free_port()
        (self.dir / "users.xml").write_text(
            "<yandex><profiles><default/></profiles><quotas><default/></quotas><users><default>"
            "<password></password><networks><ip>127.0.0.1</ip></networks>"
            "<profile>default</profile><quota>default</quota></default></users></yandex>\n")
        (self.dir / "config.xml").write_text(f"""<yandex>
  <logger><level>warning</level><log>{self.dir}/server.log</log>
          <errorlog>{self.dir}/server.err.log</errorlog></logger>
  <listen_host>127.0.0.1</listen_host>
  <tcp_port>{self.port}</tcp_port>
  <http_port>{self.http_port}</http_port>
  <path>{self.dir}/data/</path>
  <tmp_path>{self.dir}/data/tmp/</tmp_path>
  <user_files_path>{self.dir}/data/user_files/</user_files_path>
  <format_schema_path>{self.dir}/data/format_schemas/</format_schema_path>
  <mark_cache_size>67108864</mark_cache_size>
  <users_config>{self.dir}/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
</yandex>
""")
        self.process = subprocess.Popen(
            ["clickhouse-server", f"--config-file={self.dir}/config.xml"], cwd=self.dir,
            stdout=subprocess.DEVNULL, stderr=open(self.dir / "stderr", "wb"), preexec_fn=die_with_parent)
        deadline = time.monotonic() + 60
        while subprocess.run(self.client("SELECT 1"), capture_output=True).returncode != 0:
            if self.process.poll() is not None or time.monotonic() > deadline:
                log = (self.dir / "stderr").read_text(errors="replace")[-2000:]
                raise RuntimeError(f"clickhouse-server did not start: {log}")
            time.sleep(0.2)

    def client(self, sql):
        return ["clickhouse-client", "--host", "127.0.0.1", "--port", str(self.port), "--query", sql]

    def query(self, sql):
        """Rows of cells, TabSeparated escapes undone, bytes kept as Latin-1 text."""
        out = subprocess.run(self.client(sql), capture_output=True, check=True).stdout.decode("latin-1")
        unescape = {"t": "\t", "n": "\n", "r": "\r", "0": "\0", "b": "\b", "f": "\f", "\\": "\\", "'": "'"}
        return [[re.sub(r"\\(.)", lambda m: unescape[m.group(1)], cell) for cell in line.split("\t")]
                for line in out.splitlines()]

    def count(self, table):
        return int(self.query(f"SELECT count() FROM varno.{table}")[0][0])

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(20)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def make_csv_files(spool):
    """varno -c -m over the project's captures and the shared ones, one prefix per capture."""
    captures = sorted((source / "tests/data").glob("*.pcap*"))
    if (shared / "captures").is_dir():
        for group in ("generated", "public"):
            captures += sorted((shared / "captures" / group).glob("*.pcap*"))
    else:
        print(f"note: no shared captures in {shared}; loading the project's own only")

    def run(capture):
        return subprocess.run([str(varno), "-p", str(capture), "-o", str(spool), "-P", capture.name, "-c", "-m",
                               "--format", "both"], capture_output=True, text=True)

    # One run at a time: varno refuses a second run into an output directory in use.
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        for capture, result in zip(captures, pool.map(run, captures)):
            if result.returncode != 0:
                raise RuntimeError(f"varno failed on {capture}: {result.stderr}")
    # Cells that need RFC 4180 quoting and TabSeparated escaping, and bytes that are not UTF-8.
    awkward = ("1700000000123,TLS,10.0.0.1,50000,,10.0.0.2,443,,TLSv1.2,"
               '"a,b ""q"" \\ tab\t\r\nx\xff",0xc02f,0x001d,,,0,,0,0,,""\n')
    (spool / "awkward.csv").write_bytes((",".join(loader.HEADER) + "\n" + awkward).encode("latin-1"))
    # A file varno is still writing: never to be loaded.
    shutil.copy(spool / "awkward.csv", spool / "unfinished.csv.tmp")
    return len(captures)


def csv_rows(files):
    rows = []
    for path in files:
        with open(path, newline="", encoding="latin-1") as f:
            rows += list(csv.reader(f))[1:]
    return rows


def big_csv(path, rows, count, blank=(18, 19), start_ms=1_700_000_000_000, step_ms=12_345):
    """count rows made from the given ones, each its own connection, step_ms apart (by default
    over three days); raw messages and key shares (the cells of blank) left out to keep the
    file small."""
    with open(path, "w", newline="", encoding="latin-1") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(loader.HEADER)
        for i in range(count):
            row = list(rows[i % len(rows)])
            row[0] = str(start_ms + i * step_ms)
            row[3] = str(1024 + i % 60000)
            for i in blank:
                row[i] = ""
            writer.writerow(row)


def load(server, *args):
    command = [sys.executable, str(loader_path), "--host", "127.0.0.1", "--port", str(server.port),
               "--sensor", "test-sensor", *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True)


def stored_rows(server):
    """The store's rows as the CSV wrote them."""
    columns = ["toString(toUInt64(ConnectionTime) * 1000 + ConnectionMilliseconds)"] + [
        f"toString({c})" for c in loader.HEADER[1:]]
    return server.query(f"SELECT {', '.join(columns)} FROM varno.handshakes")


# The JSON lines' fields that ClickHouse 18.16 imports (it takes one level of nested objects),
# each with the CSV column it must equal, or None where the value is checked by form.
JSON_FIELDS = [("@timestamp", "ConnectionTimestamp"), ("source.ip", "ClientIPAddress"),
               ("source.port", "ClientPortNumber"), ("source.mac", "ClientMACAddress"),
               ("destination.ip", "ServerIPAddress"), ("destination.port", "ServerPortNumber"),
               ("destination.mac", "ServerMACAddress"), ("network.protocol", "ProtocolType"),
               ("tls.version", "TLSVersion"), ("network.community_id", None)]


def check_json_lines(server, spool):
    """The JSON lines files inserted as they are with FORMAT JSONEachRow: the same handshakes."""
    columns = ", ".join(f"`{name}` {'UInt16' if name.endswith('.port') else 'String'}" for name, _ in JSON_FIELDS)
    server.query(f"CREATE TABLE varno.json_lines ({columns}) ENGINE = Memory")
    files = sorted(spool.glob("*.json"))
    for path in files:
        with open(path, "rb") as data:
            subprocess.run(server.client("INSERT INTO varno.json_lines FORMAT JSONEachRow")
                           + ["--input_format_import_nested_json=1", "--input_format_skip_unknown_fields=1"],
                           stdin=data, check=True, capture_output=True)
    stored = server.query(f"SELECT {', '.join(f'`{name}`' for name, _ in JSON_FIELDS)} FROM varno.json_lines")
    h = {name: i for i, name in enumerate(loader.HEADER)}

    def as_json(row):
        ms = int(row[h["ConnectionTimestamp"]])
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + f".{ms % 1000:03d}Z"
        version = row[h["TLSVersion"]]
        values = {"ConnectionTimestamp": stamp, "ProtocolType": "tls" if row[h["ProtocolType"]] in ("TLS", "SSL")
                  else row[h["ProtocolType"]].lower(), "TLSVersion": version[version.find("v") + 1:]}
        return [values.get(csv_name, row[h[csv_name]].replace(":", "-").upper() if "MAC" in csv_name
                           else row[h[csv_name]]) if csv_name else "" for _, csv_name in JSON_FIELDS]

    got = sorted(r[:-1] + [""] for r in stored)
    # awkward.csv is written by hand: it has no JSON twin.
    expected = sorted(as_json(r) for r in csv_rows(p for p in sorted(spool.glob("*.csv")) if p.name != "awkward.csv"))
    check(len(files) >= 1 and got == expected, f"{len(files)} JSON lines files inserted by JSONEachRow hold the "
                                              f"{len(expected)} handshakes of the CSV files, value for value")
    check(all(re.fullmatch(r"1:[A-Za-z0-9+/]{27}=", r[-1]) for r in stored), "each with a Community ID")


def named_queries():
    text = queries_path.read_text()
    return {name: re.sub(r"--[^\n]*", "", body).strip().rstrip(";")
            for name, body in re.findall(r"^-- name: (\S+)\n(.*?)(?=^-- name: |\Z)", text, re.M | re.S)}


def check_inventory(server, rows):
    queries = named_queries()
    for name, sql in queries.items():
        try:
            server.query(sql)
            check(True, f"query {name} runs")
        except subprocess.CalledProcessError as error:
            check(False, f"query {name} runs: {error.stderr.decode(errors='replace')}")
    h = {name: i for i, name in enumerate(loader.HEADER)}
    server_of = lambda r: (r[h["ServerIPAddress"]], r[h["ServerPortNumber"]])

    versions = collections.defaultdict(set)
    connections = collections.Counter()
    for r in rows:
        versions[server_of(r)].add(r[h["TLSVersion"]])
        connections[server_of(r)] += 1
    expected = sorted([ip, port, "[" + ",".join(f"'{v}'" for v in sorted(vs)) + "]", str(connections[ip, port])]
                      for (ip, port), vs in versions.items())
    got = sorted(server.query(queries["versions-per-server"]))
    check(got == expected, f"versions per server agree with the CSV ({len(got)} servers)")

    weak_sql = queries["weak-suites"]
    weak_versions = set(re.findall(r"'((?:SSL|TLS)v[0-9.]+)'", weak_sql))
    weak_suites = set(re.findall(r"'(0x[0-9a-f]{4})'", weak_sql))
    weak = collections.Counter(server_of(r) + (r[h["TLSVersion"]], r[h["CipherSuiteCodePoint"]]) for r in rows
                               if r[h["TLSVersion"]] in weak_versions or r[h["CipherSuiteCodePoint"]] in weak_suites)
    got = sorted(server.query(weak_sql))
    check(got == sorted(list(k) + [str(n)] for k, n in weak.items()),
          f"weak suites agree with the CSV ({sum(weak.values())} connections, {len(weak)} groups)")

    short = collections.Counter(server_of(r) + (r[h["TLSKEXParameter"]],) for r in rows
                                if r[h["TLSKEXParameter"]].isdigit() and int(r[h["TLSKEXParameter"]]) < 2048)
    got = sorted(server.query(queries["weak-key-exchange"]))
    check(got == sorted(list(k) + [str(n)] for k, n in short.items()),
          f"short key exchanges agree with the CSV ({sum(short.values())} connections)")
    for line in got:
        print("        " + "\t".join(line))


def without_input(text):
    """The text report without its Input paragraph, the one that names the source."""
    lines, out, skipping = text.split("\n"), [], False
    for line in lines:
        if line.startswith("Input"):
            skipping = True
        elif skipping and not line.startswith(" "):
            skipping = False
        if not skipping:
            out.append(line)
    return "\n".join(out)


def check_report(server, spool, scratch):
    """varno-report over the store against varno-report over the same CSV files and
    certificate store, whole and in a time window: the text, the JSON and the CBOM agree but
    for what says where the rows came from (and the CBOM's serial number and time).
    Rows without their messages repeat, so the store hands many over as one group."""
    directory = scratch / "report"
    directory.mkdir()
    for path in spool.iterdir():  # the rows varno wrote (not awkward.csv) and its certificates
        if path.suffix == ".csv" and path.name != "awkward.csv":
            (directory / path.name).symlink_to(path)
        elif re.fullmatch(r"[0-9a-f]{2}", path.name):  # copied: the CBOM lists every file of a store
            shutil.copytree(path, directory / path.name)
    # Some certificate expires in the middle of an hour; 5000 rows 0.1 s apart around that
    # moment show it, so some groups of an hour hold rows on both sides of its end.
    subprocess.run([str(varno_report), "--json", str(scratch / "certificates.json"), str(directory)],
                   capture_output=True, check=True)
    ends = sorted((calendar.timegm(time.strptime(c["not_after"], "%Y-%m-%dT%H:%M:%SZ")), c["sha1"])
                  for c in json.loads((scratch / "certificates.json").read_text())["certificates"]["list"] if c.get("not_after"))
    end, digest = next(((e, d) for e, d in ends if 600 < e % 3600 < 3000), (1_700_000_000, None))
    big_csv(directory / "output_20231114000000.csv", csv_rows(sorted(directory.glob("*.csv"))), 5000,
            start_ms=(end - 250) * 1000, step_ms=100)
    result = load(server, "--create", "--database", "report", directory)
    check(result.returncode == 0 and "certificates loaded" in result.stdout,
          f"rows and certificates loaded: {result.stdout.strip().splitlines()[-1:]} {result.stderr.strip()}")
    again = load(server, "--database", "report", directory)
    certificates = server.query("SELECT count(), uniqExact(Digest) FROM report.certificates")[0]
    check(again.returncode == 0 and " 0 of " in again.stdout and certificates[0] == certificates[1] != "0",
          f"a second run loads no certificate again ({certificates[0]} stored)")

    stamps = sorted(int(r[0]) // 1000 for r in csv_rows(sorted(directory.glob("*.csv"))))
    iso = lambda seconds: time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))
    window = ["--since", iso(stamps[len(stamps) // 4]), "--until", iso(stamps[3 * len(stamps) // 4])]
    # Since the middle, against the rows before it as the baseline.
    drift = ["--since", iso(stamps[len(stamps) // 2]), "--baseline-until", iso(stamps[len(stamps) // 2])]
    store = ["--clickhouse", f"127.0.0.1:{server.http_port}", "--database", "report"]
    for extra in ([], window, drift):
        outputs = []
        baseline = ["--baseline", str(directory), "--"] if extra is drift else []
        for source in (baseline + [str(directory)], store):
            json_path, cbom_path = scratch / f"report-{len(outputs)}.json", scratch / f"cbom-{len(outputs)}.json"
            page = scratch / f"page-{len(outputs)}.html"
            run = subprocess.run([str(varno_report), "--now", "2026-06-01", "--json", str(json_path), "--cbom",
                                  str(cbom_path), "-o", str(page)] + extra + source, capture_output=True, text=True)
            check(run.returncode == 0, f"varno-report {' '.join(extra + source[:2])} runs {run.stderr.strip()}")
            summary, cbom = json.loads(json_path.read_text()), json.loads(cbom_path.read_text())
            rows = summary["input"]["rows"]
            del summary["input"], cbom["serialNumber"], cbom["metadata"]["timestamp"]
            summary.get("drift", {}).get("baseline", {}).pop("directories", None)
            outputs.append((without_input(run.stdout), json.dumps(summary, indent=1), rows, json.dumps(cbom, indent=1)))
        (text, summary, rows, cbom), (store_text, store_summary, store_rows, store_cbom) = outputs
        what = " ".join(extra) or "whole"
        check(rows == store_rows and rows > 0, f"{what}: {rows} rows from the files, {store_rows} from the store")
        check(text == store_text, f"{what}: the text reports agree")
        check(summary == store_summary, f"{what}: the JSON summaries agree")
        check(cbom == store_cbom, f"{what}: the CBOMs agree")
        check(f"ClickHouse store 127.0.0.1:{server.http_port}/report" in page.read_text(),
              f"{what}: the page names the store it was made from")
        if digest and extra is not drift:
            certificate = next(c for c in json.loads(summary)["certificates"]["list"] if c["sha1"] == digest)
            check(0 < certificate["handshakes_invalid_when_used"] < certificate["handshakes"],
                  f"{what}: some of the handshakes with {digest} came after its end")
        if text != store_text or summary != store_summary or cbom != store_cbom:
            for a, b in ((text, store_text), (summary, store_summary), (cbom, store_cbom)):
                sys.stdout.writelines(difflib.unified_diff(a.splitlines(True), b.splitlines(True), n=1))


# A clickhouse-client that feeds an insert slowly and has it stored in small blocks (the
# server would otherwise gather up to a million rows into one), so that a test can kill
# the load in its middle.
SLOW_CLIENT = """#!/usr/bin/env python3
import subprocess, sys, time
args = ["clickhouse-client", "--max_insert_block_size=1000", "--min_insert_block_size_rows=1000"] + sys.argv[1:]
if not any(a.startswith("INSERT INTO varno.handshakes") for a in sys.argv):
    sys.exit(subprocess.call(args))
client = subprocess.Popen(args, stdin=subprocess.PIPE)
for chunk in iter(lambda: sys.stdin.buffer.read(32768), b""):
    client.stdin.write(chunk)
    client.stdin.flush()
    time.sleep(0.02)
client.stdin.close()
sys.exit(client.wait())
"""


def kill_mid_insert(server, path, rows_before):
    """Starts the loader on one big file through SLOW_CLIENT and kills it and its client
    once some of the rows are stored."""
    slow = path.parent / "slow-client"
    slow.write_text(SLOW_CLIENT)
    slow.chmod(0o755)
    command = [sys.executable, str(loader_path), "--host", "127.0.0.1", "--port", str(server.port),
               "--sensor", "test-sensor", "--client", str(slow), str(path)]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    deadline = time.monotonic() + 120
    while server.count("handshakes") == rows_before and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    os.killpg(process.pid, signal.SIGKILL)
    process.wait()
    time.sleep(1)  # the server notices the lost client and ends the insert
    return server.count("handshakes") - rows_before


def inserting(pid):
    """Whether the loader pid has a client inserting into handshakes."""
    try:
        children = Path(f"/proc/{pid}/task/{pid}/children").read_text().split()
    except OSError:
        return False
    for child in children:
        try:
            if b"INSERT INTO varno.handshakes" in Path(f"/proc/{child}/cmdline").read_bytes():
                return True
        except OSError:
            pass
    return False


def kill_loader_alone(server, scratch, rows, trials, seed, parallel=8):
    """In each of `trials` trials, kills the loader process alone (its client lives on) at a
    random moment of a load of a file of its own, then reruns it; the store must then hold
    each file's rows exactly once and no row of an unknown file. Half the kills fall
    anywhere in the load, half while its insert client runs (a loader that fed its client
    through a pipe left a cut last row there). Loaders run `parallel` at a time, each on
    its own directory; a first round of as many is not killed and times the load and its
    insert. Returns (kills, kills while an insert client ran)."""
    rng = random.Random(seed)
    ids, kills, mid_insert = set(), 0, 0
    start_rows = server.count("handshakes")
    # Short rows (no certificate chains either): a cut is then likely to fall in the FileId.
    count, span, total = 5000, None, trials + parallel
    for first in range(0, total, parallel):
        directories = []
        for trial in range(first, min(total, first + parallel)):
            directory = scratch / "kill" / f"{trial:02d}"
            directory.mkdir(parents=True)
            path = directory / f"output_2023111422{trial:04d}.csv"
            big_csv(path, rows[trial:] + rows[:trial], count, blank=(13, 15, 18, 19))
            ids.add(loader.CsvFile(path, "test-sensor").id)
            directories.append(directory)
        begin = time.monotonic()
        loaders = [subprocess.Popen([sys.executable, str(loader_path), "--host", "127.0.0.1", "--port",
                                     str(server.port), "--sensor", "test-sensor", str(d)],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for d in directories]
        if span is None:  # the undisturbed round
            seen = {}
            while any(p.poll() is None for p in loaders):
                for p in loaders:
                    if inserting(p.pid):
                        seen.setdefault(p.pid, [time.monotonic()])[1:] = [time.monotonic()]
                time.sleep(0.005)
            check(all(p.returncode == 0 for p in loaders), f"{len(loaders)} loaders side by side succeed")
            span = time.monotonic() - begin
            inserts = sorted(times[-1] - times[0] for times in seen.values()) or [span]
            insert_span = inserts[len(inserts) // 2]
            print(f"        {len(loaders)} undisturbed loads of {count} rows side by side take {span:.2f} s, "
                  f"an insert client {insert_span:.2f} s (median)")
            continue
        # pid -> (anywhere or in the insert, seconds after its start or after its insert began)
        plan = {p.pid: (i % 2 == 0, rng.uniform(0, span if i % 2 == 0 else insert_span))
                for i, p in enumerate(loaders)}
        insert_began = {}
        pending = list(loaders)
        while pending:
            now = time.monotonic()
            for p in list(pending):
                anywhere, delay = plan[p.pid]
                if p.poll() is not None:
                    pending.remove(p)
                    continue
                busy = inserting(p.pid)
                if busy:
                    insert_began.setdefault(p.pid, now)
                due = begin + delay if anywhere else insert_began.get(p.pid, float("inf")) + delay
                if now >= due:
                    p.kill()
                    kills += 1
                    mid_insert += busy
                    pending.remove(p)
            time.sleep(0.005)
        for process in loaders:
            process.wait()
        deadline = time.monotonic() + 60
        while True:  # a surviving client holds its directory's lock until it is done
            result = load(server, *directories)
            if "another loader is reading it" not in result.stderr or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        check(result.returncode == 0, f"rerun after the kills of trials {first} to {first + len(directories) - 1} "
                                      f"succeeds {result.stderr.strip()}")
    stored = server.query(f"SELECT FileId, count() FROM varno.handshakes WHERE FileId IN "
                          f"({loader.sql_list(ids)}) GROUP BY FileId")
    check(sorted(int(n) for _, n in stored) == [count] * total,
          f"each of {total} files, {trials} of them killed at random moments, stored exactly once")
    check(server.count("handshakes") == start_rows + total * count, "no extra row of an unknown file")
    check(int(server.query(f"SELECT count() FROM varno.loaded_files WHERE FileId IN ({loader.sql_list(ids)})")[0][0])
          == total, "each file recorded once")
    return kills, mid_insert


def main():
    for tool in ("clickhouse-server", "clickhouse-client"):
        if shutil.which(tool) is None:
            print(f"SKIPPED: {tool} is not installed (scripts/install-deps.sh installs Debian's)")
            return SKIPPED
    scratch = Path(tempfile.mkdtemp(prefix="varno-clickhouse-"))
    began = time.monotonic()
    server = None
    try:
        spool = scratch / "spool"
        spool.mkdir()
        captures = make_csv_files(spool)
        files = sorted(spool.glob("*.csv"))
        rows = csv_rows(files)
        print(f"{captures} captures gave {len(files) - 1} CSV files; with awkward.csv {len(rows)} rows")
        server = Server(scratch)
        print(f"clickhouse-server {server.query('SELECT version()')[0][0]} on 127.0.0.1:{server.port}")

        result = load(server, "--create", spool)
        check(result.returncode == 0, f"first load succeeds {result.stderr.strip()}")
        check(server.count("handshakes") == len(rows), f"store holds the {len(rows)} rows of the CSV files")
        check(server.count("loaded_files") == len(files), f"{len(files)} files recorded, .csv.tmp not among them")
        check(sorted(stored_rows(server)) == sorted(rows), "stored rows equal the CSV rows byte for byte")
        check_inventory(server, rows)
        check_json_lines(server, spool)
        check_report(server, spool, scratch)

        result = load(server, spool)
        check(result.returncode == 0 and result.stdout.count("already loaded") == len(files)
              and server.count("handshakes") == len(rows), "second load inserts nothing")

        # Killed in the middle of an insert: the next run removes the partial rows and loads
        # the file again.
        crash = scratch / "crash"
        crash.mkdir()
        big = crash / "output_20231114221320.csv"
        big_count = 20000
        big_csv(big, rows, big_count)
        partial = kill_mid_insert(server, big, len(rows))
        check(0 < partial < big_count, f"killed loader left part of its file: {partial} of {big_count} rows")
        result = load(server, crash)
        check(result.returncode == 0 and "from an interrupted load removed" in result.stdout,
              f"rerun removes the partial rows: {result.stdout.strip()} {result.stderr.strip()}")
        check(server.count("handshakes") == len(rows) + big_count, "then the file's rows are there exactly once")

        # Died after its insert, before its record: the rerun only records it, then moves it.
        late = crash / "late"
        late.mkdir()
        shutil.copy(spool / "awkward.csv", late / "late.csv")
        store = loader.Store("clickhouse-client", "127.0.0.1", server.port, "varno")
        store.insert(loader.CsvFile(late / "late.csv", "test-sensor"), "test-sensor")
        result = load(server, "--move-to", crash / "loaded", late)
        check(result.returncode == 0 and "stored by an interrupted run" in result.stdout,
              f"rerun records a complete insert without inserting again: {result.stdout.strip()}")
        check(server.count("handshakes") == len(rows) + big_count + 1, "its row is there exactly once")
        check((crash / "loaded" / "late.csv").exists() and not (late / "late.csv").exists(), "--move-to moved it")
        check(load(server, spool, crash).stdout.count("already loaded") == len(files) + 1
              and server.count("handshakes") == len(rows) + big_count + 1, "a last run finds nothing new")

        seed = int(os.environ.get("VARNO_KILL_SEED", time.time_ns() % 1_000_000))
        trials = int(os.environ.get("VARNO_KILL_TRIALS", "40"))
        kills, mid_insert = kill_loader_alone(server, scratch, rows, trials, seed)
        print(f"        {trials} trials, {kills} loaders killed, {mid_insert} of them while their insert client ran "
              f"(VARNO_KILL_SEED={seed})")
        print(f"store: {server.count('handshakes')} rows from {server.count('loaded_files')} files "
              f"after {time.monotonic() - began:.0f} s")
    finally:
        if server:
            server.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
