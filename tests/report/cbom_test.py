#!/usr/bin/env python3
"""varno-report --cbom end to end: the monitor runs with -c -k -m 1, the report writes the
CycloneDX document, and the document is held against the rows, the certificate store and
openssl's reading of the certificates.

    cbom_test.py schema VARNO VARNO_REPORT SOURCE_DIR SHARED_DIR
    cbom_test.py facts  VARNO VARNO_REPORT SOURCE_DIR SHARED_DIR

schema: the captures of tests/data and, where SHARED_DIR exists, every shared capture. The
document must validate against the CycloneDX 1.7 schema (fetched by
scripts/fetch-cyclonedx-schemas.sh into the build directory) with Debian's
python3-jsonschema; every endpoint and version of the rows has its protocol asset with the
negotiated suite, group and a key exchange with a quantum security level; every certificate
of the store appears with its fingerprint; every reference resolves.

facts: a few captures of known content (finite-field DH, RSA key transport, an ECDSA chain,
post-quantum hybrids) and one written row of X25519MLKEM768, checked value by value.
"""

import csv
import json
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

mode = sys.argv[1]
varno, report, source, shared = (Path(a) for a in sys.argv[2:6])
failures = []

COLUMNS = ("ConnectionTimestamp,ProtocolType,ClientIPAddress,ClientPortNumber,ClientMACAddress,"
           "ServerIPAddress,ServerPortNumber,ServerMACAddress,TLSVersion,SNI,CipherSuiteCodePoint,"
           "TLSKEXParameter,TLS13KEXNamedGroupCodePoint,ServerCertificateChain,IsClientAuthRequested,"
           "ClientCertificateChain,IsRenegotiated,IsCompressed,KeyShareExtension,HandshakeMessages").split(",")
KIND = {"TLS": "tls", "SSL": "tls", "QUIC": "quic", "DTLS": "dtls"}


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def split_row(line):
    """Cells of a row: nine from the left, the quoted last cell and nine from the right, the
    SNI (which may hold commas) between them."""
    left = line.split(",", 9)
    rest = left.pop()
    start = len(rest) - 1
    while True:
        start = rest.rfind('"', 0, start)
        if start > 0 and rest[start - 1] == '"':
            start -= 1
            continue
        break
    right = rest[:start - 1].rsplit(",", 9)
    return dict(zip(COLUMNS, left + right + [rest[start:]]))


def rows_of(out):
    rows = []
    for path in sorted(out.glob("*.csv")):
        for line in path.read_text(errors="replace").splitlines()[1:]:
            if line:
                rows.append(split_row(line))
    return rows


def record(capture, out):
    out.mkdir(parents=True)
    subprocess.run([str(varno), "-p", str(capture), "-o", str(out), "-c", "-k", "-m", "1"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def cbom_of(dirs, scratch):
    path = scratch / "cbom.json"
    subprocess.run([str(report), "--now", "2030-01-01", "--cbom", str(path)] + [str(d) for d in dirs],
                   check=True, stdout=subprocess.DEVNULL)
    return json.loads(path.read_text())


def iana_suites():
    names = {}
    with open(source / "data/iana/tls-cipher-suites.csv", newline="") as f:
        for r in csv.DictReader(f):
            v = r["Value"]
            if len(v) == 9 and r["Description"] not in ("Unassigned",) and not r["Description"].startswith("Reserved"):
                names[(v[2:4].upper(), v[7:9].upper())] = r["Description"]
    return names


def iana_groups():
    with open(source / "data/iana/tls-supported-groups.csv", newline="") as f:
        return {int(r["Value"]): r["Description"].split(" (")[0] for r in csv.DictReader(f) if r["Value"].isdigit()}


class Bom:
    """The document's components by bom-ref, and its protocol assets by endpoint."""

    def __init__(self, doc):
        self.doc = doc
        self.by_ref = {}
        for c in doc["components"]:
            check(c["bom-ref"] not in self.by_ref, "bom-ref twice: " + c["bom-ref"])
            self.by_ref[c["bom-ref"]] = c
        self.protocols = {}
        for c in doc["components"]:
            p = c["cryptoProperties"].get("protocolProperties")
            if p is None:
                continue
            props = [(x["name"], x["value"]) for x in c.get("properties", [])]
            server = dict(props)["varno:server"]
            version = p.get("version") or dict(props).get("varno:tlsVersion")
            self.protocols[(p["type"], version, server)] = c

    def algorithm(self, ref):
        return self.by_ref[ref]["cryptoProperties"]["algorithmProperties"]

    def protocol(self, row):
        version = row["TLSVersion"].rsplit("v", 1)[-1]
        server = row["ServerIPAddress"]
        server = ("[%s]" % server if ":" in server else server) + ":" + row["ServerPortNumber"]
        return self.protocols.get((KIND.get(row["ProtocolType"], "unknown"), version, server))

    def suite(self, row):
        protocol = self.protocol(row)
        if not protocol:
            return None
        code = row["CipherSuiteCodePoint"][2:].upper()
        for s in protocol["cryptoProperties"]["protocolProperties"]["cipherSuites"]:
            if s["identifiers"] == ["0x" + code[:2], "0x" + code[2:]]:
                return s
        return None

    def key_exchange(self, row):
        """The algorithm of the suite that agrees on keys, with the group or size of this row."""
        suite = self.suite(row) or {}
        group = row["TLS13KEXNamedGroupCodePoint"] or (row["TLSKEXParameter"] if row["TLSKEXParameter"].startswith("0x") else "")
        for ref in suite.get("algorithms", []):
            a = self.algorithm(ref)
            if a.get("primitive") not in ("key-agree", "kem", "pke"):
                continue
            size = row["TLSKEXParameter"]
            if group or a.get("parameterSetIdentifier", "") == size or not size:
                return self.by_ref[ref]
        return None


def every_ref_resolves(bom):
    refs = []
    for d in bom.doc["dependencies"]:
        refs += [d["ref"]] + d.get("dependsOn", [])
    for c in bom.doc["components"]:
        cp = c["cryptoProperties"]
        for p in cp.values():
            if isinstance(p, dict):
                refs += [r["ref"] for r in p.get("relatedCryptographicAssets", [])]
                refs += [p[k] for k in ("signatureAlgorithmRef", "subjectPublicKeyRef", "algorithmRef") if k in p]
                for s in p.get("cipherSuites", []):
                    refs += s.get("algorithms", [])
    for r in refs:
        check(r in bom.by_ref, "dangling reference " + r)


def validate(doc):
    import jsonschema
    warnings.simplefilter("ignore", DeprecationWarning)
    # The schemas as the CycloneDX project publishes them, next to the build.
    schemas = report.parent / "cyclonedx-schemas"
    fetch = subprocess.run([str(source / "scripts/fetch-cyclonedx-schemas.sh"), str(schemas)],
                           capture_output=True, text=True)
    if fetch.returncode != 0:
        failures.append("could not fetch the CycloneDX schemas: " + fetch.stderr.strip())
        return
    store = {}
    for path in schemas.glob("*.schema.json"):
        schema = json.loads(path.read_text())
        store["http://cyclonedx.org/schema/" + path.name] = schema
        store[schema["$id"]] = schema
    root = store["http://cyclonedx.org/schema/bom-1.7.SNAPSHOT.schema.json"]
    resolver = jsonschema.RefResolver("http://cyclonedx.org/schema/bom-1.7.SNAPSHOT.schema.json", root, store=store)
    validator = jsonschema.Draft7Validator(root, resolver=resolver, format_checker=jsonschema.FormatChecker())
    errors = sorted(validator.iter_errors(doc), key=lambda e: list(e.absolute_path))
    for e in errors[:20]:
        failures.append("schema: %s: %s" % ("/".join(str(p) for p in e.absolute_path), e.message[:300]))
    # A curve outside the referenced list must fail: the referenced schemas are at work.
    broken = json.loads(json.dumps(doc))
    broken["components"][-1]["cryptoProperties"]["algorithmProperties"]["ellipticCurve"] = "x25519"
    check(not validator.is_valid(broken), "the schema takes a curve outside its list")


def check_rows(bom, rows, stores):
    suites, groups = iana_suites(), iana_groups()
    for row in rows:
        where = "%s %s %s:%s" % (row["ProtocolType"], row["TLSVersion"], row["ServerIPAddress"], row["ServerPortNumber"])
        if not check(bom.protocol(row), "no protocol asset for " + where):
            continue
        code = row["CipherSuiteCodePoint"]
        suite = bom.suite(row)
        if not code or not check(suite, "suite %s missing on %s" % (code, where)):
            continue
        check(suite["name"] == suites.get((code[2:4].upper(), code[4:6].upper()), code), "suite name of " + code)
        group = row["TLS13KEXNamedGroupCodePoint"] or (row["TLSKEXParameter"] if row["TLSKEXParameter"].startswith("0x") else "")
        if group:
            check(groups.get(int(group, 16), group) in suite.get("tlsGroups", []), "group %s of %s" % (group, where))
        if group or row["TLSKEXParameter"]:
            kex = bom.key_exchange(row)
            if check(kex, "no key exchange for %s on %s" % (code, where)):
                check("nistQuantumSecurityLevel" in kex["cryptoProperties"]["algorithmProperties"],
                      "no quantum level: " + kex["bom-ref"])
        certs = {r["ref"] for r in bom.protocol(row)["cryptoProperties"]["protocolProperties"].get("relatedCryptographicAssets", [])}
        for digest in filter(None, row["ServerCertificateChain"].split(":")):
            check("certificate/" + digest in certs, "certificate %s not related to %s" % (digest, where))
    for store in stores:
        for pem in store.glob("??/??/*.pem"):
            c = bom.by_ref.get("certificate/" + pem.stem)
            if check(c, "certificate of the store missing: " + pem.stem):
                check(c["cryptoProperties"]["certificateProperties"]["fingerprint"] == {"alg": "SHA-1", "content": pem.stem},
                      "fingerprint of " + pem.stem)


def run_schema(scratch):
    captures = [source / "tests/data"]
    if shared.is_dir():
        captures += [shared / "captures/generated", shared / "captures/public"]
    else:
        print("shared captures not available (no directory %s): tests/data only" % shared)
    outs = []
    for i, capture in enumerate(captures):
        outs.append(scratch / ("out%d" % i))
        record(capture, outs[-1])
    doc = cbom_of(outs, scratch)
    validate(doc)
    bom = Bom(doc)
    every_ref_resolves(bom)
    rows = [r for out in outs for r in rows_of(out)]
    check(len(rows) > 0, "no rows")
    check(len(bom.protocols) > 0, "no protocol assets")
    check_rows(bom, rows, outs)
    print("%d rows, %d components validated" % (len(rows), len(doc["components"])))


def openssl_facts(pem):
    """Serial, key size, curve and signature algorithm as openssl reads them."""
    text = subprocess.run(["openssl", "x509", "-noout", "-serial", "-text", "-in", str(pem)],
                          check=True, capture_output=True, text=True).stdout
    facts = {"serial": text.split("serial=", 1)[1].split()[0]}
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("Public-Key: ("):
            facts["bits"] = int(line.split("(")[1].split()[0])
        elif line.startswith("ASN1 OID:"):
            facts["curve"] = line.split(":")[1].strip()
        elif line.startswith("Signature Algorithm:"):
            facts["signature"] = line.split(":")[1].strip()
    return facts


# capture (or None: the written ML-KEM row), directory, what the key exchange of its one
# endpoint must say, the key algorithms its chain must hold (leaf first).
FACTS = [
    ("t12_dhe_rsa_ffdhe2048.pcap", "own",
     {"primitive": "key-agree", "algorithmFamily": "FFDH", "parameterSetIdentifier": "2048",
      "classicalSecurityLevel": 112, "nistQuantumSecurityLevel": 0}, None),
    ("t12_rsa_kx_chain2.pcap", "own",
     {"primitive": "pke", "algorithmFamily": "RSAES-PKCS1", "padding": "pkcs1v15", "nistQuantumSecurityLevel": 0},
     [{"primitive": "pke"}, {"primitive": "pke"}]),
    ("t12_ecdhe_ecdsa_p384.pcap", "generated",
     {"primitive": "key-agree", "algorithmFamily": "ECDH", "ellipticCurve": "secg/secp384r1",
      "classicalSecurityLevel": 192, "nistQuantumSecurityLevel": 0},
     [{"algorithmFamily": "ECDSA", "ellipticCurve": "x962/prime256v1", "classicalSecurityLevel": 128},
      {"algorithmFamily": "ECDSA", "ellipticCurve": "secg/secp384r1", "classicalSecurityLevel": 192}]),
    ("zeek-chrome-1250-tls-x25519-kyber.pcap", "public",
     {"primitive": "kem", "parameterSetIdentifier": "768", "nistQuantumSecurityLevel": 3}, None),
    (None, "written",
     {"primitive": "kem", "algorithmFamily": "ML-KEM", "parameterSetIdentifier": "768", "nistQuantumSecurityLevel": 3},
     None),
]
MLKEM_ROW = ("1767225600000,QUIC,192.0.2.1,50000,00:00:00:00:00:01,192.0.2.2,443,00:00:00:00:00:02,TLSv1.3,"
             "pq.example,0x1301,,0x11ec,,0,,0,0,,\"\"")


def check_certificates(bom, protocol, out, expected_keys, name):
    refs = [r["ref"] for r in protocol["cryptoProperties"]["protocolProperties"].get("relatedCryptographicAssets", [])]
    check(len(refs) == len(expected_keys), "%s: %d certificates related" % (name, len(refs)))
    for ref, expected in zip(refs, expected_keys):
        digest = ref.split("/", 1)[1]
        facts = openssl_facts(next(out.glob("??/??/%s.pem" % digest)))
        cert = bom.by_ref[ref]["cryptoProperties"]["certificateProperties"]
        check(cert["serialNumber"].lstrip("0") == facts["serial"].lstrip("0"), "%s: serial of %s" % (name, digest))
        check(cert["certificateFormat"] == "X.509", "%s: format" % name)
        key = bom.by_ref[cert["subjectPublicKeyRef"]]["cryptoProperties"]["relatedCryptoMaterialProperties"]
        check(key["type"] == "public-key" and key["size"] == facts["bits"], "%s: key size of %s" % (name, digest))
        algorithm = bom.algorithm(key["algorithmRef"])
        for k, v in expected.items():
            check(algorithm.get(k) == v, "%s: key of %s: %s is %s, not %s" % (name, digest, k, algorithm.get(k), v))
        signature = bom.by_ref[cert["signatureAlgorithmRef"]]
        check(signature["name"] == facts["signature"], "%s: signature %s, openssl says %s" % (name, signature["name"], facts["signature"]))
        check(signature["cryptoProperties"]["algorithmProperties"].get("nistQuantumSecurityLevel") == 0, name + ": signature level")


def run_facts(scratch):
    dirs = {"own": source / "tests/data", "generated": shared / "captures/generated", "public": shared / "captures/public"}
    for i, (capture, where, kex, keys) in enumerate(FACTS):
        out = scratch / ("case%d" % i)
        if capture is None:
            out.mkdir()
            (out / "rows.csv").write_text(",".join(COLUMNS) + "\n" + MLKEM_ROW + "\n")
        elif not dirs[where].is_dir():
            print("shared captures not available (no directory %s): %s not checked" % (dirs[where], capture))
            continue
        else:
            record(dirs[where] / capture, out)
        name = capture or "X25519MLKEM768 row"
        rows = rows_of(out)
        if not check(len(rows) == 1, "%s: %d rows" % (name, len(rows))):
            continue
        bom = Bom(cbom_of([out], scratch))
        algorithm = bom.key_exchange(rows[0])
        if not check(algorithm, name + ": no key exchange"):
            continue
        properties = dict(algorithm["cryptoProperties"]["algorithmProperties"])
        if rows[0]["TLSKEXParameter"].isdigit():  # the size the monitor measured
            kex = dict(kex, parameterSetIdentifier=rows[0]["TLSKEXParameter"])
        for k, v in kex.items():
            check(properties.get(k) == v, "%s: %s is %s, not %s" % (name, k, properties.get(k), v))
        if keys is not None:
            check_certificates(bom, bom.protocol(rows[0]), out, keys, name)
        if capture == "t12_rsa_kx_chain2.pcap":
            leaf = rows[0]["ServerCertificateChain"].split(":")[0]
            bits = openssl_facts(next(out.glob("??/??/%s.pem" % leaf)))["bits"]
            check(properties.get("parameterSetIdentifier") == str(bits), name + ": RSA size is not the leaf's")


with tempfile.TemporaryDirectory(prefix="varno-cbom-") as tmp:
    {"schema": run_schema, "facts": run_facts}[mode](Path(tmp))
for f in failures[:50]:
    print("FAIL:", f)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
