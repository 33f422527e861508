#!/usr/bin/env python3
"""The pipe client of the Windows tier's session on the Linux stand-in, where the
service's named pipe is a SOCK_SEQPACKET socket under the stand-in's root. Plays the
same session as client-win.js and writes the same transcript.

    client-linux.py <session file> <part> <service log> <transcript> <pipe socket> [<skipped tag>...]
"""
import json
import re
import socket
import sys
import time

TIMEOUT = 60.0


def frame_of(step):
    if "json" in step:
        return b"\xff" + step["json"].encode("latin1")
    if "hex" in step:
        return bytes.fromhex(step["hex"])
    f = step["fill"]
    return bytes([f["first"]]) + bytes([f["byte"]]) * (f["length"] - 1)


def frame_text(frame):
    return "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else "\\x%02x" % b for b in frame)


def is_sync_answer(frame):
    try:
        return frame[:1] == b"\xff" and json.loads(frame[1:].decode("latin1"))["msg_id"] == "get_all_ports_resp"
    except (ValueError, KeyError, TypeError):
        return False


def until(ready, what):
    deadline = time.monotonic() + TIMEOUT
    while not ready():
        if time.monotonic() > deadline:
            raise RuntimeError("timeout: " + what)
        time.sleep(0.02)


# As in session-lib.js: what follows a step's sync request in the service's log once it
# has answered it and waits, and the line it logs when it waits for a client.
AFTER_SYNC = re.compile(rb"get msg: get_all_ports_req\n(send_msg_to_app, Write OK\n)?set_events, events_count=\d+\n\Z")
WAITING = re.compile(rb"set_events, events_count=\d+\n\Z")
CLIENT_AWAITED = b"now wait pipe client connect"


def read_log(log_file):
    try:
        with open(log_file, "rb") as f:
            return f.read()
    except OSError:
        return b""


def sync_text(session, n):
    return session["sync"]["json"].replace("%d", str(n))


def sync_handled(log, text):
    """Only the step's own sync text marks its sync as answered: the log is written out when
    the service is about to wait, so an earlier sync can end it the same way."""
    head = b"get msg: " + text.encode("latin1") + b"\n"
    at = log.rfind(head)
    return at >= 0 and AFTER_SYNC.match(log, at + len(head)) is not None


def main():
    session_file, part, log_file, transcript_file, pipe_path = sys.argv[1:6]
    skipped = sys.argv[6:]
    session = json.load(open(session_file, encoding="utf-8"))
    lines = []
    connects = 0
    sock = None

    def connect():
        nonlocal connects, sock
        connects += 1
        until(lambda: read_log(log_file).count(CLIENT_AWAITED) >= connects, "service waits for a client")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        sock.connect(pipe_path)
        sock.settimeout(TIMEOUT)
        lines.append("connected")

    try:
        connect()
        for n, step in enumerate(session["parts"][part]):
            if any(tag in skipped for tag in step.get("needs", [])):
                continue
            lines.append("> " + step["label"])
            if step.get("disconnect"):
                sock.close()
                connect()
                continue
            sock.send(frame_of(step))
            sync = sync_text(session, n)
            sock.send(frame_of({"json": sync}))
            frames = [sock.recv(65536) for _ in range(step.get("answers", 0) + 1)]
            lines.extend("< " + frame_text(f) for f in frames)
            if not is_sync_answer(frames[-1]):
                raise RuntimeError("answers out of step after " + step["label"])
            until(lambda: sync_handled(read_log(log_file), sync), "service idle after " + step["label"])
        sock.close()
        until(lambda: read_log(log_file).count(CLIENT_AWAITED) > connects and WAITING.search(read_log(log_file)),
              "service waits for the next client")
    except (OSError, RuntimeError) as e:
        lines.append("error: " + str(e))
        open(transcript_file, "w").write("\n".join(lines) + "\n")
        return 1
    open(transcript_file, "w").write("\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
