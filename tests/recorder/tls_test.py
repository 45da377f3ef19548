#!/usr/bin/python3
"""talo-recorder's console over HTTPS: a certificate from `make-cert` is served and
verifies with host name checking, TLS older than 1.2 and plain HTTP get nothing, and plain
HTTP beyond loopback needs allow_plain_http.
Usage: tls_test.py <build dir>"""
import json
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import warnings

warnings.simplefilter("ignore", DeprecationWarning)  # the old versions are offered on purpose


def run(work, console, expect_start=True):
    """Starts the recorder with `console`; returns (process, address or exit status, stderr)."""
    with open(os.path.join(work, "config.json"), "w") as f:
        json.dump({"root": "rec", "sim": {"enabled": False}, "console": dict({"port": 0}, **console)}, f)
    out, err = (open(os.path.join(work, n), "w+") for n in ("out.txt", "err.txt"))
    # As for every host that dlopens the library: no exit-time leak check under ASan.
    p = subprocess.Popen([BIN, "--config", os.path.join(work, "config.json")], stdout=out, stderr=err,
                         env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
    end = time.monotonic() + 60
    while time.monotonic() < end:
        out.seek(0)
        m = re.search(r"console at (https?)://([0-9.]+):([0-9]+)/", out.read())
        if m or p.poll() is not None:
            break
        time.sleep(0.05)
    err.seek(0)
    if not expect_start:
        return None, p.wait(30), err.read()
    assert m, "no console address"
    return p, (m.group(1), int(m.group(3))), err.read()


def stop(p):
    p.terminate()
    assert p.wait(30) == 0, "talo-recorder did not stop cleanly"


def main():
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, "rec"))
        os.mkdir(os.path.join(work, "a"))
        subprocess.run([BIN, "make-cert", "--dir", os.path.join(work, "a"), "--host", "rec.example"], check=True,
                       stdout=subprocess.DEVNULL)
        cert, key = (os.path.join(work, "a", n) for n in ("console.crt", "console.key"))

        p, (scheme, port), _ = run(work, {"tls": {"cert": "a/console.crt", "key": "a/console.key"}})
        try:
            assert scheme == "https"
            trusted = ssl.create_default_context(cafile=cert)
            with open(os.path.join(work, "rec", "first-admin-password")) as f:
                login = json.dumps({"user": "admin", "password": f.read().strip()}).encode()
            requests = {"localhost": b"GET /api/status HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n",
                        "rec.example": b"POST /api/login HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                                       b"Content-Type: application/json\r\nContent-Length: %d\r\n\r\n" % len(login) + login}
            for name in ("localhost", "rec.example"):
                with socket.create_connection(("127.0.0.1", port)) as raw:
                    with trusted.wrap_socket(raw, server_hostname=name) as s:
                        s.sendall(requests[name])
                        reply = b"".join(iter(lambda: s.recv(65536), b""))
                if name == "localhost":
                    # Served over TLS, data to a session only.
                    assert reply.startswith(b"HTTP/1.1 401"), reply[:100]
                    assert b"channels" not in reply
                else:
                    # The session's cookie goes back over TLS only.
                    assert reply.startswith(b"HTTP/1.1 200"), reply[:200]
                    assert re.search(rb"Set-Cookie: talo_session=[0-9a-f]+; HttpOnly; SameSite=Strict; Path=/; Secure\r\n",
                                     reply), reply
            # The host name is checked: a name the certificate does not hold fails.
            try:
                trusted.wrap_socket(socket.create_connection(("127.0.0.1", port)), server_hostname="other.example")
                raise AssertionError("a wrong host name was accepted")
            except ssl.SSLCertVerificationError:
                pass
            # The client offers old versions; the refusal must come from the server.
            for version in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
                old = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                old.check_hostname, old.verify_mode = False, ssl.CERT_NONE
                old.set_ciphers("DEFAULT:@SECLEVEL=0")
                old.minimum_version = old.maximum_version = version
                try:
                    old.wrap_socket(socket.create_connection(("127.0.0.1", port)))
                    raise AssertionError(str(version) + " was accepted")
                except ssl.SSLError as e:
                    assert "ALERT_PROTOCOL_VERSION" in str(e).upper(), e
            with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
                s.sendall(b"GET /api/status HTTP/1.1\r\nHost: localhost\r\n\r\n")
                assert not s.recv(65536).startswith(b"HTTP"), "plain HTTP answered on the HTTPS port"
        finally:
            stop(p)

        _, status, err = run(work, {"address": "0.0.0.0"}, False)
        assert status == 2 and "make-cert" in err, err
        p, (scheme, _), err = run(work, {"address": "0.0.0.0", "allow_plain_http": True})
        stop(p)
        assert scheme == "http" and "warning" in err, err
    print("tls test passed")


BIN = os.path.join(sys.argv[1], "bin", "talo-recorder")
main()
