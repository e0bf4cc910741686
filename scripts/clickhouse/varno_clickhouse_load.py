#!/usr/bin/env python3
"""Load VARNO's complete CSV files into ClickHouse, each file exactly once.

    varno_clickhouse_load.py [--host H] [--port P] [--database DB] [--sensor NAME]
                             [--create] [--move-to DIR] [--client CMD] PATH...

PATH is a .csv file or a directory of them (not searched below). Only names ending in
.csv are read: a .csv.tmp file is one that varno is still writing. Run it as often as you
like (cron, a systemd timer): files already in the store are skipped.

The certificate store of each directory (ab/cd/abcd....pem, written by varno -c) goes to
the certificates table, each certificate once per sensor. A file is taken only when whole:
the SHA-1 of the DER bytes it holds must be its name, so one that varno is still writing
waits for the next run. A batch of certificates is one insert, stored whole or not at all,
and only those the store does not hold yet are inserted.

A file is known by its FileId: the SHA-256 of the sensor name, the file name and the
SHA-256 of the file's bytes (FileDigest). The same file shipped again is skipped; another
sensor's file with the same bytes is its own observation and is loaded.

Exactly once, wherever the loader or the server dies. Every stored row carries its file's
FileId, and loaded_files gets a FileId only after all of the file's rows have been counted
in handshakes. For a file not yet in loaded_files, a crash
  1. before its insert leaves nothing of it: it is inserted;
  2. during its insert can leave some of its rows (ClickHouse stores an INSERT block by
     block): fewer rows than the file holds are found, so they are deleted (an ALTER ...
     DELETE mutation, waited for) and the file is inserted again;
  3. after its insert, before the record, leaves all of its rows: it is only recorded;
  4. during the record: a one-block insert, stored whole or not at all (3, or done);
  5. after the record, before --move-to: the record says done, the file is only moved.
The client only ever reads complete input: what it inserts is first written whole to an
unlinked temporary file (beside the CSV file, else in TMPDIR), which becomes its standard
input. Fed through a pipe, a client whose loader was killed mid-write takes the end of the
pipe for the end of the data and stores a last row cut inside its FileId column, a row no
repair finds. A client that outlives its killed loader inserts the whole file (case 3).
A killed client does not stop the server at once, so before counting, the loader waits
until no insert of these files is running (inserts carry the query id varno-load-FILEID)
and no delete is pending. The server refuses a second query with an id that is running,
so two loaders never insert one file at once; each loader also locks the directories it
reads, and its clients hold those locks too, so no rerun starts while the client of a
killed loader still runs. Loaders of different directories may run side by side, as long
as no file is in two of those directories at the same time. (A crash of the server's
machine is another matter: ClickHouse does not sync its data to disk on each insert.)
"""

import argparse
import base64
import binascii
import csv
import fcntl
import hashlib
import os
import re
import shlex
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HEADER = [
    "ConnectionTimestamp", "ProtocolType", "ClientIPAddress", "ClientPortNumber", "ClientMACAddress",
    "ServerIPAddress", "ServerPortNumber", "ServerMACAddress", "TLSVersion", "SNI",
    "CipherSuiteCodePoint", "TLSKEXParameter", "TLS13KEXNamedGroupCodePoint", "ServerCertificateChain",
    "IsClientAuthRequested", "ClientCertificateChain", "IsRenegotiated", "IsCompressed",
    "KeyShareExtension", "HandshakeMessages",
]
# The CSV's first column becomes two; the loader adds the last two.
COLUMNS = ["ConnectionTime", "ConnectionMilliseconds"] + HEADER[1:] + ["Sensor", "FileId"]
PORTS = (HEADER.index("ClientPortNumber"), HEADER.index("ServerPortNumber"))
FLAGS = (HEADER.index("IsClientAuthRequested"), HEADER.index("IsRenegotiated"), HEADER.index("IsCompressed"))
MAX_DATETIME = 2**32 - 1  # DateTime is 32-bit unsigned seconds
FILES_PER_BATCH = 200  # bounds the length of the IN (...) lists and records progress as it goes
CERTIFICATES_PER_BATCH = 500
MAX_PEM_BYTES = 4 << 20  # a Certificate message is read up to 1 MiB; its PEM text is larger
PEM_NAME = re.compile(r"[0-9a-f]{40}\.pem")
HEX2 = re.compile(r"[0-9a-f]{2}")
WAIT_SECONDS = 600


class BadFile(Exception):
    pass


class StoreError(Exception):
    pass


def tsv(text):
    """Escapes a cell for ClickHouse's TabSeparated format."""
    return (text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
            .replace("\r", "\\r").replace("\0", "\\0"))


def latin1(text):
    """A name as the bytes the system gave, in the Latin-1 text that goes to the client."""
    return os.fsencode(text).decode("latin-1")


def sql_list(values):
    return ", ".join("'" + v + "'" for v in values)  # only hex digests and ids go through here


def sql_string(text):
    """A ClickHouse string literal of any text (given as Latin-1)."""
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def whole_pem(digest, data):
    """The PEM text when data holds the one certificate whose DER bytes have this digest."""
    text = data.decode("ascii", "replace")
    lines = text.strip().split("\n")
    if len(lines) < 3 or lines[0] != "-----BEGIN CERTIFICATE-----" or lines[-1] != "-----END CERTIFICATE-----":
        return None
    try:
        der = base64.b64decode("".join(lines[1:-1]), validate=True)
    except (binascii.Error, ValueError):
        return None
    return text if hashlib.sha1(der).hexdigest() == digest else None


def pem_files(directory):
    """(digest, PEM text) of each whole certificate in the store varno -c keeps in directory."""
    found = []
    for first in sorted(p for p in Path(directory).iterdir() if HEX2.fullmatch(p.name) and p.is_dir()):
        for second in sorted(p for p in first.iterdir() if HEX2.fullmatch(p.name) and p.is_dir()):
            for path in sorted(second.iterdir()):
                digest = path.name[:-4]
                if not PEM_NAME.fullmatch(path.name) or not digest.startswith(first.name + second.name):
                    continue
                try:
                    if not path.is_file() or path.stat().st_size > MAX_PEM_BYTES:
                        continue
                    pem = whole_pem(digest, path.read_bytes())
                except OSError as error:  # left for the next run, but not in silence
                    print(f"{path}: cannot read: {error.strerror}", file=sys.stderr)
                    continue
                if pem:
                    found.append((digest, pem))
    return found


def read_rows(path):
    """Yields the table's values (without Sensor and FileId) for each row of a varno CSV
    file. Text is read as Latin-1 so that every byte comes back unchanged."""
    with open(path, newline="", encoding="latin-1") as f:
        reader = csv.reader(f, strict=True)
        if next(reader, None) != HEADER:
            raise BadFile("not a varno CSV file (unexpected header)")
        for cells in reader:
            where = f"line {reader.line_num}"
            if len(cells) != len(HEADER):
                raise BadFile(f"{where}: {len(cells)} cells, expected {len(HEADER)}")
            stamp = cells[0]
            if not (stamp.isascii() and stamp.isdigit()) or int(stamp) // 1000 > MAX_DATETIME:
                raise BadFile(f"{where}: bad ConnectionTimestamp {stamp!r}")
            for i in PORTS:
                if not (cells[i].isascii() and cells[i].isdigit() and int(cells[i]) <= 65535):
                    raise BadFile(f"{where}: bad {HEADER[i]} {cells[i]!r}")
            for i in FLAGS:
                if cells[i] not in ("0", "1"):
                    raise BadFile(f"{where}: bad {HEADER[i]} {cells[i]!r}")
            seconds, millis = divmod(int(stamp), 1000)
            yield [str(seconds), str(millis)] + cells[1:]


def staged(blocks, directory=None):
    """The blocks of bytes in an unlinked temporary file, positioned at its start; nothing
    is left on disk however the process ends."""
    try:
        f = tempfile.TemporaryFile(dir=directory)
    except OSError:  # a read-only spool directory
        f = tempfile.TemporaryFile()
    try:
        for block in blocks:
            f.write(block)
        f.flush()
        f.seek(0)
    except BaseException:
        f.close()
        raise
    return f


class CsvFile:
    """A file's identity and what the store must end up holding of it."""

    def __init__(self, path, sensor):
        self.path = Path(path)
        data = hashlib.sha256()
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(1 << 20), b""):
                data.update(chunk)
        self.digest = data.hexdigest()
        self.id = hashlib.sha256(b"\0".join([os.fsencode(sensor), os.fsencode(self.path.name),
                                              self.digest.encode()])).hexdigest()
        self.size = self.path.stat().st_size
        self.rows, self.first, self.last = 0, MAX_DATETIME, 0
        for values in read_rows(path):  # validates every row before anything is stored
            seconds = int(values[0])
            self.rows += 1
            self.first, self.last = min(self.first, seconds), max(self.last, seconds)

    @property
    def query_id(self):
        return "varno-load-" + self.id


class Store:
    def __init__(self, client, host, port, database):
        self.command = shlex.split(client) + ["--host", host, "--port", str(port)]
        self.db = database
        self.held = []  # descriptors of the directory locks, which every client inherits

    def client(self, command, data):
        """Runs the client on data (an open file, or None); returns its standard output."""
        result = subprocess.run(command, stdin=data, capture_output=True, pass_fds=self.held)
        if result.returncode != 0:
            message = result.stderr.decode("utf-8", "replace").strip().splitlines()
            raise StoreError(message[-1] if message else f"clickhouse-client exited with {result.returncode}")
        return result.stdout.decode("utf-8", "replace")

    def run(self, sql, data=None, query_id=None, database=None):
        command = self.command + ["--query", sql]
        if query_id:
            command += ["--query_id", query_id]
        if database:
            command += ["--database", database]
        if data is None:
            return self.client(command, None)
        with staged([data]) as f:
            return self.client(command, f)

    def create(self):
        self.run(f"CREATE DATABASE IF NOT EXISTS {self.db}")
        schema = Path(__file__).with_name("schema.sql").read_text()
        # One statement per call: a multi-statement query needs --multiquery, whose reading
        # of --query differs between client versions.
        for statement in re.sub(r"--[^\n]*", "", schema).split(";"):
            if statement.strip():
                self.run(statement, database=self.db)

    def scalar(self, sql):
        return int(self.run(sql).strip())

    def recorded(self, files):
        out = self.run(f"SELECT DISTINCT FileId FROM {self.db}.loaded_files "
                       f"WHERE FileId IN ({sql_list(f.id for f in files)})")
        return set(out.split())

    def stored_rows(self, files):
        """Rows of each file in handshakes; the time range lets ClickHouse skip other days."""
        out = self.run(f"SELECT FileId, count() FROM {self.db}.handshakes "
                       f"WHERE FileId IN ({sql_list(f.id for f in files)}) "
                       f"AND ConnectionTime >= toDateTime({min(f.first for f in files)}) "
                       f"AND ConnectionTime <= toDateTime({max(f.last for f in files)}) "
                       f"GROUP BY FileId")
        counts = {}
        for line in out.splitlines():
            file_id, count = line.split("\t")
            counts[file_id] = int(count)
        return counts

    def wait_until_settled(self, files):
        """Waits until no insert of these files runs and no delete is pending."""
        sql = (f"SELECT (SELECT count() FROM system.processes WHERE query_id IN "
               f"({sql_list(f.query_id for f in files)})) + (SELECT count() FROM system.mutations "
               f"WHERE database = '{self.db}' AND table = 'handshakes' AND is_done = 0)")
        deadline = time.monotonic() + WAIT_SECONDS
        while self.scalar(sql) != 0:
            if time.monotonic() > deadline:
                raise StoreError(f"an insert or delete on {self.db}.handshakes is still running "
                                 f"after {WAIT_SECONDS} s (see system.processes, system.mutations)")
            time.sleep(0.2)

    def delete(self, files):
        self.run(f"ALTER TABLE {self.db}.handshakes DELETE WHERE FileId IN "
                 f"({sql_list(f.id for f in files)})")
        self.wait_until_settled(files)

    def insert(self, file, sensor):
        sql = f"INSERT INTO {self.db}.handshakes ({', '.join(COLUMNS)}) FORMAT TabSeparated"
        command = self.command + ["--query", sql, "--query_id", file.query_id]
        extra = "\t" + tsv(latin1(sensor)) + "\t" + file.id + "\n"

        def blocks():
            batch = []
            for values in read_rows(file.path):
                batch.append("\t".join(tsv(v) for v in values) + extra)
                if len(batch) == 4096:
                    yield "".join(batch).encode("latin-1")
                    batch = []
            yield "".join(batch).encode("latin-1")

        with staged(blocks(), file.path.parent) as data:
            self.client(command, data)

    def load_certificates(self, certificates, sensor):
        """Inserts those of the (digest, PEM) pairs the store does not hold for this sensor;
        returns how many."""
        added = 0
        for start in range(0, len(certificates), CERTIFICATES_PER_BATCH):
            batch = certificates[start:start + CERTIFICATES_PER_BATCH]
            held = set(self.run(f"SELECT Digest FROM {self.db}.certificates WHERE Sensor = "
                                f"{sql_string(latin1(sensor))} AND Digest IN ({sql_list(d for d, _ in batch)})").split())
            new = [(d, pem) for d, pem in batch if d not in held]
            if not new:
                continue
            now = int(time.time())
            data = "".join(f"{d}\t{tsv(pem)}\t{tsv(latin1(sensor))}\t{now}\n" for d, pem in new)
            self.run(f"INSERT INTO {self.db}.certificates (Digest, Pem, Sensor, LoadedAt) FORMAT TabSeparated",
                     data=data.encode("latin-1"))
            added += len(new)
        return added

    def record(self, files, sensor):
        now = int(time.time())
        data = "".join(f"{f.id}\t{tsv(latin1(f.path.name))}\t{f.size}\t{f.digest}\t{f.rows}\t"
                       f"{tsv(latin1(sensor))}\t{now}\n" for f in files)
        self.run(f"INSERT INTO {self.db}.loaded_files "
                 f"(FileId, FileName, FileSize, FileDigest, Rows, Sensor, LoadedAt) FORMAT TabSeparated",
                 data=data.encode("latin-1"))


class Loader:
    def __init__(self, store, sensor, move_to):
        self.store, self.sensor, self.move_to = store, sensor, move_to
        self.failures = 0

    def fail(self, path, message):
        print(f"{path}: {message}", file=sys.stderr)
        self.failures += 1

    def done(self, file):
        if self.move_to is None:
            return
        target = self.move_to / file.path.name
        if target.exists():
            self.fail(file.path, f"loaded, but not moved: {target} exists")
        else:
            os.rename(file.path, target)

    def load(self, paths):
        files = []
        for path in paths:
            try:
                files.append(CsvFile(path, self.sensor))
            except (BadFile, csv.Error, OSError) as error:
                self.fail(path, f"not loaded: {error}")
        for start in range(0, len(files), FILES_PER_BATCH):
            self.load_batch(files[start:start + FILES_PER_BATCH])

    def load_batch(self, files):
        store = self.store
        by_id = {}
        for f in files:
            by_id.setdefault(f.id, []).append(f)
        recorded = store.recorded(files)
        for file_id in recorded:
            for f in by_id[file_id]:
                print(f"{f.path}: already loaded")
                self.done(f)
        # The same file given twice (two paths to it, or a copy in another directory) is
        # loaded once.
        pending = [same[0] for file_id, same in by_id.items() if file_id not in recorded]
        if not pending:
            return
        store.wait_until_settled(pending)
        present = store.stored_rows(pending)
        complete = [f for f in pending if present.get(f.id, 0) == f.rows]  # crash after insert
        partial = [f for f in pending if present.get(f.id, 0) not in (0, f.rows)]
        if partial:
            store.delete(partial)
            left = store.stored_rows(partial)
            if any(left.values()):
                raise StoreError("rows of a partly loaded file are still there after their delete")
            for f in partial:
                print(f"{f.path}: {present[f.id]} of {f.rows} rows from an interrupted load removed")
        inserted = []
        for f in pending:
            if f in complete:
                continue
            try:
                store.insert(f, self.sensor)
                inserted.append(f)
            except (StoreError, BadFile, csv.Error, OSError) as error:
                self.fail(f.path, f"not loaded: {error}")
        counted = store.stored_rows(inserted) if inserted else {}
        verified = complete + [f for f in inserted if counted.get(f.id, 0) == f.rows]
        for f in inserted:
            if counted.get(f.id, 0) != f.rows:
                self.fail(f.path, f"{counted.get(f.id, 0)} of {f.rows} rows stored; "
                                  f"the next run removes and loads them again")
        if verified:
            store.record(verified, self.sensor)
        for f in verified:
            rows = f"{f.rows} row" + ("" if f.rows == 1 else "s")
            print(f"{f.path}: loaded, {rows}" + (" (stored by an interrupted run)" if f in complete else ""))
            for same in by_id[f.id]:
                if same is not f:
                    print(f"{same.path}: same file as {f.path}, already loaded")
                self.done(same)


def csv_files(path):
    """The complete CSV files of a path, and the directory to lock for them."""
    path = Path(path)
    if path.is_dir():
        return sorted(p for p in path.iterdir() if p.name.endswith(".csv") and p.is_file()), path
    if not path.name.endswith(".csv"):
        raise BadFile("not a .csv file")
    return [path], path.parent


def lock(directory):
    """An exclusive lock on a directory for the life of the process, or None if another
    loader holds it."""
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return fd
    except BlockingIOError:
        os.close(fd)
        return None


def main():
    parser = argparse.ArgumentParser(description="Load VARNO's complete CSV files into ClickHouse, each once.")
    parser.add_argument("paths", nargs="*", metavar="PATH", help=".csv files or directories of them")
    parser.add_argument("--host", default="localhost")
    parser.add_argument("--port", type=int, default=9000, help="native protocol port (default 9000)")
    parser.add_argument("--database", default="varno")
    parser.add_argument("--sensor", default=socket.gethostname(),
                        help="name stored with each row, e.g. host/interface (default: host name)")
    parser.add_argument("--create", action="store_true", help="create the database and tables if missing")
    parser.add_argument("--move-to", type=Path, metavar="DIR", help="move each file here once it is loaded")
    parser.add_argument("--client", default="clickhouse-client",
                        help="client command, with options such as --user (default: clickhouse-client)")
    args = parser.parse_args()
    if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", args.database):
        parser.error("--database must be a plain identifier")
    if not args.paths and not args.create:
        parser.error("nothing to do: give PATHs, --create or both")

    store = Store(args.client, args.host, args.port, args.database)
    loader = Loader(store, args.sensor, args.move_to)
    try:
        if args.create:
            store.create()
        if args.move_to:
            args.move_to.mkdir(parents=True, exist_ok=True)
        paths, locks = [], {}
        for path in args.paths:
            try:
                files, directory = csv_files(path)
            except (BadFile, OSError) as error:
                loader.fail(path, f"not loaded: {error}")
                continue
            key = directory.resolve()
            if key not in locks:
                locks[key] = lock(directory)
                if locks[key] is None:
                    print(f"{directory}: another loader is reading it; skipped", file=sys.stderr)
                else:
                    store.held.append(locks[key])
            if locks[key] is not None:
                paths += files
        loader.load(paths)
        for directory, fd in locks.items():
            if fd is not None:
                certificates = pem_files(directory)
                added = store.load_certificates(certificates, args.sensor)
                if certificates:
                    print(f"{directory}: {added} of {len(certificates)} certificates loaded, "
                          f"{len(certificates) - added} were in the store")
    except (StoreError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 1 if loader.failures else 0


if __name__ == "__main__":
    sys.exit(main())
