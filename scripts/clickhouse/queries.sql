-- Inventory queries over the store (database varno). Each query follows a "-- name:" line;
-- the ClickHouse test runs them all and checks the first three against the CSV files.

-- name: versions-per-server
-- The protocol versions each server negotiated, and its number of connections.
SELECT ServerIPAddress, ServerPortNumber, arraySort(groupUniqArray(TLSVersion)) AS versions,
       count() AS connections
FROM varno.handshakes
GROUP BY ServerIPAddress, ServerPortNumber
ORDER BY ServerIPAddress, ServerPortNumber;

-- name: weak-suites
-- Connections with a version older than TLS 1.2 or a weak cipher suite: static RSA key
-- exchange (no forward secrecy), RC4, 3DES or no encryption at all.
SELECT ServerIPAddress, ServerPortNumber, TLSVersion, CipherSuiteCodePoint, count() AS connections
FROM varno.handshakes
WHERE TLSVersion IN ('SSLv3.0', 'TLSv1.0', 'TLSv1.1')
   OR CipherSuiteCodePoint IN (
        '0x0000', '0x0001', '0x0002', '0x0003', '0x0004', '0x0005', '0x0006', '0x0007', '0x0008',
        '0x0009', '0x000a', '0x002f', '0x0035', '0x003b', '0x003c', '0x003d', '0x0041', '0x0084',
        '0x0096', '0x009c', '0x009d', '0x00ba', '0x00c0',
        '0x0013', '0x0016', '0xc007', '0xc008', '0xc011', '0xc012')
GROUP BY ServerIPAddress, ServerPortNumber, TLSVersion, CipherSuiteCodePoint
ORDER BY ServerIPAddress, ServerPortNumber, TLSVersion, CipherSuiteCodePoint;

-- name: weak-key-exchange
-- RSA keys and finite-field Diffie-Hellman primes shorter than 2048 bits (TLSKEXParameter
-- holds a bit length for those, a named curve such as 0x001d for elliptic curves).
SELECT ServerIPAddress, ServerPortNumber, TLSKEXParameter AS bits, count() AS connections
FROM varno.handshakes
WHERE match(TLSKEXParameter, '^[0-9]+$') AND toUInt32(TLSKEXParameter) < 2048
GROUP BY ServerIPAddress, ServerPortNumber, bits
ORDER BY ServerIPAddress, ServerPortNumber, bits;

-- name: rows-per-sensor-and-day
SELECT Sensor, toDate(ConnectionTime) AS day, count() AS connections
FROM varno.handshakes
GROUP BY Sensor, day
ORDER BY Sensor, day;

-- name: server-names
-- The names clients asked for, with the servers that answered them.
SELECT SNI, groupUniqArray(ServerIPAddress) AS servers, count() AS connections
FROM varno.handshakes
WHERE SNI != ''
GROUP BY SNI
ORDER BY connections DESC
LIMIT 50;

-- name: leaf-certificates
-- With varno -c: the leaf certificate (SHA-1 of its DER bytes, a .pem file in the sensor's
-- output directory) that each server presented, and when it was first and last seen.
SELECT ServerIPAddress, ServerPortNumber, splitByChar(':', ServerCertificateChain)[1] AS leaf,
       min(ConnectionTime) AS first_seen, max(ConnectionTime) AS last_seen
FROM varno.handshakes
WHERE ServerCertificateChain != ''
GROUP BY ServerIPAddress, ServerPortNumber, leaf
ORDER BY ServerIPAddress, ServerPortNumber, first_seen;

-- name: servers-in-a-network
-- Servers in 192.0.2.0/24, by the binary address (IPv4 as ::ffff:a.b.c.d).
SELECT DISTINCT ServerIPAddress, ServerPortNumber
FROM varno.handshakes
WHERE ServerIP >= IPv6StringToNum('::ffff:192.0.2.0') AND ServerIP <= IPv6StringToNum('::ffff:192.0.2.255');
