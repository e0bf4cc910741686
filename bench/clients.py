#!/usr/bin/env python3
"""Traffic clients for the benchmark seed recording (standard library only).

  clients.py tls  HOST PORT STOPFILE   TLS handshakes with a server name, TLS 1.2 and 1.3 in turn
  clients.py http HOST PORT STOPFILE   plaintext HTTP/1.0 GETs of the files that http.server
                                       serves, one every HTTP_INTERVAL seconds

Each client opens a new connection per request and stops at the first of: STOPFILE exists,
MAX_SECONDS have passed, MAX_REQUESTS were made. It prints how many connections it made.
"""

import http.client
import os
import socket
import ssl
import sys
import time

MAX_SECONDS = 20
MAX_REQUESTS = 20000
# HTTP is paced: the seed is meant to be mostly handshakes with some bulk traffic between.
HTTP_INTERVAL = 0.04
HTTP_PATHS = ("/small.txt", "/page.html", "/image.bin", "/page.html", "/small.txt")


def tls_client(host, port, stop):
    contexts = []
    for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        context.minimum_version = version
        context.maximum_version = version
        contexts.append(context)
    done = 0
    deadline = time.monotonic() + MAX_SECONDS
    while done < MAX_REQUESTS and time.monotonic() < deadline and not os.path.exists(stop):
        context = contexts[done % 2]
        name = f"host{done % 64}.bench.example"
        try:
            with socket.create_connection((host, port), timeout=5) as raw:
                with context.wrap_socket(raw, server_hostname=name):
                    pass
        except OSError:
            pass
        done += 1
    return done


def http_client(host, port, stop):
    done = 0
    deadline = time.monotonic() + MAX_SECONDS
    while done < MAX_REQUESTS and time.monotonic() < deadline and not os.path.exists(stop):
        connection = http.client.HTTPConnection(host, port, timeout=5)
        try:
            connection.request("GET", HTTP_PATHS[done % len(HTTP_PATHS)])
            connection.getresponse().read()
        except OSError:
            pass
        finally:
            connection.close()
        done += 1
        time.sleep(HTTP_INTERVAL)
    return done


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ("tls", "http"):
        raise SystemExit(__doc__)
    mode, host, port, stop = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    count = tls_client(host, port, stop) if mode == "tls" else http_client(host, port, stop)
    print(f"{mode} client: {count} connections")


if __name__ == "__main__":
    main()
