"""evtrace view over plain HTTP: requests without the token, for another
host name or from another origin are refused; the page carries a strict
content security policy with a fresh nonce; alert help comes in the user's
language; downloads are the library's own log formats and say what they
lack; a page that stops reading never holds up the viewer, which drops and
counts that page's oldest events instead.

usage: http_test.py EVTRACE"""

import json
import os
import re
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from viewer_harness import Failure, Machine, Viewer, check, run_checks, wait_until  # noqa: E402

EVTRACE = sys.argv[1]
machine = Machine(EVTRACE)
viewer = Viewer(machine, "--page-buffer", "500")


def refusals():
    cases = [
        ("no token", "/api/meta", False, {}),
        ("wrong token", "/api/meta?token=" + "0" * 64, False, {}),
        ("token cut short", "/api/meta?token=" + viewer.token[:-1], False, {}),
        ("token as a prefix", "/api/meta?token=" + viewer.token + "0", False, {}),
        ("the stream without token", "/events", False, {}),
        ("the download without token", "/api/download?format=csv", False, {}),
        ("another host name (DNS rebinding)", "/api/meta", True, {"Host": "attacker.example:" + viewer.host.split(":")[1]}),
        ("another port in Host", "/api/meta", True, {"Host": "127.0.0.1:1"}),
        ("another origin", "/api/meta", True, {"Origin": "http://attacker.example"}),
        ("a null origin", "/api/meta", True, {"Origin": "null"}),
        ("a script of another site", "/api/meta", True, {"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "cors"}),
    ]
    for name, path, token, headers in cases:
        method = "POST" if "download" in path else "GET"
        status, got, body = viewer.request(method, path, token=token, headers=headers)
        check(status == 403, f"{name}: answered {status}, not 403")
        check(body.startswith(b"Refused: "), f"{name}: says {body[:80]!r}")
        check(got.get("Content-Type", "").startswith("text/plain"), f"{name}: content type {got}")
    # What a browser of this viewer's own page sends is served.
    for name, headers in [("same origin", {"Origin": viewer.base}), ("localhost", {"Host": "localhost:" + viewer.host.split(":")[1]}),
                          ("header token", {"X-Evtrace-Token": viewer.token}),
                          ("navigation from elsewhere", {"Sec-Fetch-Site": "cross-site", "Sec-Fetch-Mode": "navigate"})]:
        token = name != "header token"
        status, _, body = viewer.request("GET", "/api/meta", token=token, headers=headers)
        check(status == 200, f"{name}: answered {status}: {body[:100]!r}")


def page_policy():
    nonces = []
    for _ in range(2):
        status, headers, body = viewer.request("GET", "/")
        check(status == 200, f"the page answered {status}")
        policy = headers.get("Content-Security-Policy", "")
        m = re.search(r"script-src 'nonce-([0-9a-f]{32})'", policy)
        check(m and "default-src 'none'" in policy and "unsafe" not in policy, f"page policy: {policy}")
        page = body.decode()
        check(page.count(f'nonce="{m.group(1)}"') == 2, "the page's style and script carry the nonce")
        check(headers.get("X-Content-Type-Options") == "nosniff" and headers.get("Referrer-Policy") == "no-referrer",
              f"headers: {headers}")
        nonces.append(m.group(1))
    check(nonces[0] != nonces[1], "every page gets a fresh nonce")
    status, headers, _ = viewer.request("GET", "/api/meta")
    check("sandbox" in headers.get("Content-Security-Policy", ""), f"data answers are sandboxed: {headers}")


def emitted(n_before, n):
    return wait_until(lambda: viewer.json("/api/status")["received"] >= n_before + n, 20, f"{n} more events")


def downloads():
    before = viewer.json("/api/status")["received"]
    for i in range(5):
        machine.emit("text", "--name", f"Source{i}", "--code", hex(0x1000 + i), f"text {i} \u00e9")
    emitted(before, 5)
    first = before + 1
    ranges = f"{first}-{first + 2},{first + 4}"
    status, headers, body = viewer.request("POST", "/api/download?format=bin", body=ranges)
    check(status == 200 and headers.get("X-Evtrace-Records") == "4" and headers.get("X-Evtrace-Missing") == "0",
          f"binary download: {status} {headers}")
    check(headers.get("Content-Disposition", "").startswith("attachment"), f"as an attachment: {headers}")
    header, version, n = struct.unpack_from("<III", body, 0)
    check((header, version, n) == (4, 0x10000, 4), f"log header {header} {version:#x} {n}")
    offset, texts = 12, []
    for _ in range(n):
        (length,) = struct.unpack_from("<I", body, offset)
        record = body[offset + 4:offset + 4 + length]
        (data_len,) = struct.unpack_from("<I", record, 0)
        texts.append(record[1312:1312 + data_len].split(b"\0")[0].decode())
        offset += 4 + length
    check(texts == ["text 0 \u00e9", "text 1 \u00e9", "text 2 \u00e9", "text 4 \u00e9"], f"records: {texts}")
    status, headers, body = viewer.request("POST", "/api/download?format=csv", body=f"{first}-{first + 9}")
    rows = body.decode("utf-8").split("\r\n")
    check(status == 200 and headers.get("X-Evtrace-Missing") == "5" and len([r for r in rows[1:] if r]) == 5,
          f"CSV with 5 ids not yet seen: {status} {headers} {rows}")
    check(rows[1].startswith("1,Source0,") and rows[1].endswith(",text 0 \u00e9"), f"CSV row: {rows[1]!r}")
    for body, fmt, what in [("x", "bin", "a list that is not ids"), ("5-1", "bin", "a backward range"),
                            ("1-99999999", "bin", "more ids than are kept"), ("1", "xml", "an unknown format")]:
        status, _, answer = viewer.request("POST", f"/api/download?format={fmt}", body=body)
        check(status == 400, f"{what}: answered {status} {answer[:80]!r}")


def stalled_page_is_dropped_and_counted():
    # A page that reads nothing: its socket fills, its queue of 500 fills,
    # and the viewer goes on receiving, dropping that page's oldest events.
    page = socket.create_connection(("127.0.0.1", int(viewer.host.split(":")[1])))
    page.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    page.sendall(f"GET /events?token={viewer.token} HTTP/1.1\r\nHost: {viewer.host}\r\n\r\n".encode())
    wait_until(lambda: viewer.json("/api/status")["pages"] == 1, 10, "the stalled page's stream")
    start = viewer.json("/api/status")
    load = machine.spawn("emit", "text", "--name", "Flood", "--code", "0x2001", "--count", "20000", "--rate", "10000",
                         "--quiet", "x" * 200)
    slowest = 0.0
    while load.poll() is None:
        began = time.monotonic()
        viewer.json("/api/status")
        slowest = max(slowest, time.monotonic() - began)
        time.sleep(0.1)
    end = wait_until(lambda: (lambda s: s if s["received"] + s["viewerLost"] >= start["received"] + 20000 else None)(
        viewer.json("/api/status")), 20, "the flood to be received or counted lost")
    received = end["received"] - start["received"]
    check(received + end["viewerLost"] - start["viewerLost"] == 20000,
          f"every event received or counted lost by the session: {received} received, {end['viewerLost']} lost")
    check(end["pageDrops"] > 0 and end["pageDrops"] <= received, f"the stalled page's drops: {end['pageDrops']}")
    print(f"         {received} received, {end['viewerLost'] - start['viewerLost']} lost by the session, {end['pageDrops']} dropped for the stalled page; slowest answer {slowest:.3f} s", flush=True)
    check(slowest < 2.0, f"the viewer answered within {slowest:.2f} s while a page was stalled")
    page.close()
    wait_until(lambda: viewer.json("/api/status")["pages"] == 0, 20, "the stalled page to be let go")


def stops_cleanly():
    code = viewer.stop()
    check(code == 0, f"evtrace view exited {code} on SIGTERM: {''.join(viewer.stderr)}")


def help_in_the_users_language():
    german = Machine(EVTRACE, language="0x0407")
    try:
        v = Viewer(german)
        try:
            meta = v.json("/api/meta")
            check(meta["language"] == "DEU", f"language: {meta['language']}")
            alert = v.json(f"/api/alert?code={0x80000001}")
            check(alert["alertable"] and alert["title"] == "Verbindung unterbrochen", f"German alert: {alert}")
            check("Pr\u00fcfen Sie, ob der Zugriffspunkt eingeschaltet ist" in alert["hints"], f"hints: {alert['hints']}")
            other = v.json("/api/alert?code=4097")
            check(not other["alertable"] and not other["found"] and other["hints"] == [], f"no alert: {other}")
            status, _, _ = v.request("GET", "/api/alert?code=99999999999")
            check(status == 400, f"a code beyond 32 bits: {status}")
        finally:
            v.stop()
    finally:
        german.close()


def follows_the_session():
    other = Machine(EVTRACE)
    try:
        v = Viewer(other, "--no-enable")
        try:
            status = lambda: v.json("/api/status")
            check(status()["mode"] == "waiting" and status()["session"] is None, f"no session: {status()}")
            for round_ in ("started", "started again"):
                other.run("session", "start")
                wait_until(lambda: status()["mode"] == "live", 20, f"the viewer to attach when the session {round_}")
                before = status()["received"]
                other.emit("text", "--name", "Follower", round_)
                wait_until(lambda: status()["received"] == before + 1, 10, f"the event after the session {round_}")
                other.run("session", "stop")
                wait_until(lambda: status()["mode"] == "waiting", 20, "the viewer to notice the stop")
        finally:
            v.stop()
    finally:
        other.close()


def bad_command_lines():
    for args, words in [(["--port", "70000"], "--port"), (["--bind", "not-an-address"], "not an address"),
                        (["--page-buffer", "5"], "--page-buffer")]:
        done = machine.run("view", *args, check_exit=False, timeout=30)
        check(done.returncode == 2 and words in done.stderr.decode(), f"view {args}: {done.returncode} {done.stderr!r}")
    # A port in use is said in words.
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen()
    done = machine.run("view", "--port", str(busy.getsockname()[1]), check_exit=False, timeout=30)
    busy.close()
    check(done.returncode == 1 and b"in use" in done.stderr, f"port in use: {done.returncode} {done.stderr!r}")


try:
    run_checks([
        ("requests without the token, for other hosts or from other origins are refused", refusals),
        ("the page's content security policy", page_policy),
        ("downloads through the library's writers", downloads),
        ("a stalled page is dropped from and counted, never waited for", stalled_page_is_dropped_and_counted),
        ("the viewer stops cleanly", stops_cleanly),
        ("alert help in the user's language", help_in_the_users_language),
        ("the viewer follows the session as it stops and starts", follows_the_session),
        ("bad command lines", bad_command_lines),
    ])
finally:
    viewer.stop()
    machine.close()
