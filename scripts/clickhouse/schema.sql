-- The central store of VARNO's rows. Run in the database of your choice:
--   clickhouse-client -q 'CREATE DATABASE IF NOT EXISTS varno'
--   clickhouse-client --database varno --multiquery < schema.sql
-- (varno_clickhouse_load.py --create does the same.)
--
-- Types are those that Debian's ClickHouse 18.16 and current releases both accept: 18.16
-- has no IPv6 or DateTime64 type and refuses LowCardinality without an experimental
-- setting. Addresses are therefore kept as the text varno wrote, plus a 16-byte binary form
-- (IPv4 as ::ffff:a.b.c.d) for ordering and range queries; the time is a DateTime plus its
-- milliseconds.

-- One row per row of the CSV files, tagged with the sensor and the file it came from.
CREATE TABLE IF NOT EXISTS handshakes
(
    ConnectionTime DateTime,
    ConnectionMilliseconds UInt16,
    ProtocolType String,
    ClientIPAddress String,
    ClientPortNumber UInt16,
    ClientMACAddress String,
    ServerIPAddress String,
    ServerPortNumber UInt16,
    ServerMACAddress String,
    TLSVersion String,
    SNI String,
    CipherSuiteCodePoint String,
    TLSKEXParameter String,
    TLS13KEXNamedGroupCodePoint String,
    ServerCertificateChain String,
    IsClientAuthRequested UInt8,
    ClientCertificateChain String,
    IsRenegotiated UInt8,
    IsCompressed UInt8,
    KeyShareExtension String,
    HandshakeMessages String,
    Sensor String,
    FileId String,
    ServerIP FixedString(16) MATERIALIZED IPv6StringToNum(
        if(position(ServerIPAddress, ':') = 0, concat('::ffff:', ServerIPAddress), ServerIPAddress)),
    ClientIP FixedString(16) MATERIALIZED IPv6StringToNum(
        if(position(ClientIPAddress, ':') = 0, concat('::ffff:', ClientIPAddress), ClientIPAddress))
)
ENGINE = MergeTree
PARTITION BY toYYYYMMDD(ConnectionTime)
ORDER BY (ServerIP, ServerPortNumber, ConnectionTime);

-- One row per CSV file whose rows are all in handshakes. FileDigest is the SHA-256 of the
-- file's bytes; FileId, which the rows carry, that of Sensor, FileName and FileDigest.
CREATE TABLE IF NOT EXISTS loaded_files
(
    FileId String,
    FileName String,
    FileSize UInt64,
    FileDigest String,
    Rows UInt64,
    Sensor String,
    LoadedAt DateTime
)
ENGINE = MergeTree
ORDER BY FileId;

-- One row per certificate of a sensor's store: the .pem files varno -c writes beside its CSV
-- files, named by the SHA-1 digest (lower-case hex) of the DER bytes, as the rows' chains name
-- them. A certificate is loaded once per sensor, once its file is whole.
CREATE TABLE IF NOT EXISTS certificates
(
    Digest String,
    Pem String,
    Sensor String,
    LoadedAt DateTime
)
ENGINE = MergeTree
ORDER BY Digest;
