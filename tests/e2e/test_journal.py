"""The journal task of a running daemon: its first pass over an existing event journal
(expiry, retention, what the rewrite keeps byte for byte) and the journals it must leave
alone."""

import datetime as dt
import json
import os
import re
import signal
import time

import pytest

MAIN = "vintra_dlp"
DATA_DIR = "/opt/vintra/data"
JOURNAL = DATA_DIR + "/dlp_events.jsonl"
TMP = DATA_DIR + "/dlp_events.jsonl.tmp"
ENABLED_NO_NETWORK = """\
[vintra_dlp]
enabled = true
decision_timeout_seconds = {timeout}
[vintra_dlp.network]
enabled = false
"""
SEC = 10**9
MINUTE = 60 * SEC
HOUR = 60 * MINUTE
DAY = 24 * HOUR
OLD_ATIME = 946684800  # 2000-01-01: any read of the file moves the access time past it
WAIT = 20.0


# ---- the journal line, as the daemon writes it ------------------------------------------

def rfc3339(ns: int) -> str:
    """UTC, letter Z; no fraction, or 3, 6 or 9 digits, whichever shows the value exactly."""
    sec, frac = divmod(ns, SEC)
    text = dt.datetime.fromtimestamp(sec, dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")
    if frac == 0:
        pass
    elif frac % 10**6 == 0:
        text += ".%03d" % (frac // 10**6)
    elif frac % 10**3 == 0:
        text += ".%06d" % (frac // 10**3)
    else:
        text += ".%09d" % frac
    return text + "Z"


RFC3339_Z = re.compile(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d{1,9}))?Z")


def parse_rfc3339_z(text: str) -> int:
    m = RFC3339_Z.fullmatch(text)
    assert m, text
    y, mo, d, h, mi, s = (int(g) for g in m.groups()[:6])
    whole = int(dt.datetime(y, mo, d, h, mi, s, tzinfo=dt.timezone.utc).timestamp())
    return whole * SEC + int((m.group(7) or "").ljust(9, "0"))


def event_line(ts: int, channel: str, decision: str, *, id: str = None, direction: str = "outbound",
               file_path: str = "/Volumes/KEY/notes.txt", file_size: int = 512,
               drive_label: str = "KEY", process: str = None, decided_by: str = None,
               decided_at: int = None, findings=(("EMAIL", 2, "medium"),),
               severity: str = "medium") -> str:
    """One journal line (without its line feed): thirteen keys in their order, no spaces."""
    record = {
        "id": id if id is not None else str(ts),
        "timestamp": rfc3339(ts),
        "channel": channel,
        "direction": direction,
        "file_path": file_path,
        "file_size": file_size,
        "drive_label": drive_label,
        "process": process,
        "decision": decision,
        "decided_by": decided_by,
        "decided_at": None if decided_at is None else rfc3339(decided_at),
        "findings": [{"entity": e, "match_count": n, "severity": s} for e, n, s in findings],
        "severity": severity,
    }
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False)


# ---- running the daemon over a journal ---------------------------------------------------

def start_daemon(sandbox, journal: bytes, timeout_seconds: int = 300, mark_reads: bool = False):
    sandbox.write_config(ENABLED_NO_NETWORK.format(timeout=timeout_seconds))
    sandbox.write(JOURNAL, journal)
    if mark_reads:
        sandbox.sh('touch -a -d "@$2" "$1"', JOURNAL, str(OLD_ATIME))
    inode = os.stat(sandbox.host_path(JOURNAL)).st_ino
    return sandbox.start(["run"]), inode


def wait_for_first_read(sandbox, d, path: str = JOURNAL) -> None:
    """A pass that changes nothing logs nothing; the journal's access time, set far back
    before the start, shows that the first pass has read the file."""
    deadline = time.monotonic() + WAIT
    while os.stat(sandbox.host_path(path)).st_atime <= OLD_ATIME:
        assert d.running(), d.wait().describe()
        if time.monotonic() > deadline:
            d.kill()
            raise AssertionError("the journal task never read the journal\n" + d.wait().describe())
        time.sleep(0.02)


def wait_for_replacement(sandbox, d, inode: int, path: str = JOURNAL) -> None:
    """Waits until the journal is another file (the rewrite's rename has happened)."""
    deadline = time.monotonic() + WAIT
    while True:
        try:
            if os.stat(sandbox.host_path(path)).st_ino != inode:
                return
        except FileNotFoundError:
            pass
        assert d.running(), d.wait().describe()
        if time.monotonic() > deadline:
            d.kill()
            raise AssertionError("the journal was never rewritten\n" + d.wait().describe())
        time.sleep(0.02)


def journal_messages(result) -> list[tuple]:
    return [m for m in result.messages
            if m[2].startswith("DLP jsonl compacted") or m[2].startswith("expirer:")]


def stop(d):
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    return r


# ---- the first pass ----------------------------------------------------------------------

@pytest.mark.parametrize("leftover", [None, "file", "symlink"])
def test_first_pass_expires_prunes_and_keeps_the_rest_byte_for_byte(sandbox, leftover):
    now = time.time_ns()
    second = now - now % SEC
    # Kept lines show every fraction form, escapes, non-ASCII text and the values this
    # system never produces itself: the rewrite must give them back unchanged.
    expiring = dict(ts=second - 10 * MINUTE + 120_000_000, channel="removable_usb", decision="pending",
                    file_path='/Volumes/KEY/a "b"\\c\td\u0001é.txt')
    lines = {
        "pending-10min": event_line(**expiring),
        "allowed-1day": event_line(second - DAY, "cloud_sync", "allowed", file_path="/Users/me/Dropbox/x.pdf",
                                   drive_label=None, findings=(), severity="low"),
        "future-pending": event_line(second + HOUR + 123_456_000, "removable_usb", "pending",
                                     findings=(("CREDIT_CARD", 3, "high"), ("IBAN", 1, "high")),
                                     severity="high"),
        "upload-30days": event_line(second - 30 * DAY + 123_456_789, "network_upload", "pending",
                                    drive_label=None, process="curl", findings=(("AWS_KEY", 1, "critical"),),
                                    severity="critical"),
        "expired-8days": event_line(second - 8 * DAY, "removable_usb", "expired",
                                    decided_at=second - 8 * DAY + 11 * SEC),
        "pending-8days": event_line(second - 8 * DAY - SEC, "removable_usb", "pending"),
        "denied-6days": event_line(second - 6 * DAY, "network_share", "denied", direction="inbound",
                                   process="Finder", decided_by="admin", decided_at=second - 6 * DAY + 5 * SEC),
        "upload-allowed-30days": event_line(second - 30 * DAY, "network_upload", "allowed",
                                            decided_by="admin", decided_at=second - 29 * DAY),
    }
    journal = "\n".join([
        lines["pending-10min"], lines["allowed-1day"], '{"id":"broken","timestamp":', lines["future-pending"],
        "", lines["upload-30days"], "   \t", lines["expired-8days"], lines["pending-8days"],
        lines["denied-6days"], lines["upload-allowed-30days"],
    ]) + "\n"
    if leftover == "file":
        sandbox.write(TMP, "left over from a pass that was cut short\n" * 100)
    elif leftover == "symlink":
        sandbox.write("/etc/vintra-victim", "precious\n")
        sandbox.symlink("/etc/vintra-victim", TMP)

    started = time.time_ns()
    d, _ = start_daemon(sandbox, journal.encode())
    record = d.wait_for_log("DLP jsonl compacted")
    seen = time.time_ns()
    assert record.key() == ("INFO", MAIN, "DLP jsonl compacted: 8 -> 6 events")
    out = sandbox.read_text(JOURNAL)
    r = stop(d)
    assert journal_messages(r) == [record.key()], r.describe()

    assert out.endswith("\n")
    got = out[:-1].split("\n")
    assert len(got) == 6, out
    decided_at = json.loads(got[0])["decided_at"]
    pass_time = parse_rfc3339_z(decided_at)
    assert rfc3339(pass_time) == decided_at  # written with the fraction rule
    assert started <= pass_time <= seen, (started, decided_at, seen)
    assert got == [
        event_line(**{**expiring, "decision": "expired"}, decided_at=pass_time),
        lines["allowed-1day"], lines["future-pending"], lines["upload-30days"],
        lines["denied-6days"], lines["upload-allowed-30days"],
    ]
    assert sandbox.listdir(DATA_DIR) == ["dlp_events.jsonl"]
    if leftover == "symlink":
        assert sandbox.read_text("/etc/vintra-victim") == "precious\n"


def test_pass_that_only_expires_rewrites_without_a_compaction_message(sandbox):
    now = time.time_ns()
    pending = event_line(now - 301 * SEC, "cloud_sync", "pending", drive_label=None)
    young = event_line(now - 200 * SEC, "removable_usb", "pending")
    d, inode = start_daemon(sandbox, (pending + "\nnot json\n" + young).encode())  # no final line feed
    wait_for_replacement(sandbox, d, inode)
    r = stop(d)
    assert journal_messages(r) == [], r.describe()
    got = sandbox.read_text(JOURNAL)
    first, second, end = got.split("\n")
    assert (second, end) == (young, "")
    pass_time = parse_rfc3339_z(json.loads(first)["decided_at"])
    assert first == event_line(now - 301 * SEC, "cloud_sync", "expired", drive_label=None, decided_at=pass_time)


# ---- journals the pass leaves alone ------------------------------------------------------

def _invalid_utf8_journal(now: int) -> bytes:
    # Without the stray byte the first line would expire and the second be pruned.
    line = event_line(now - HOUR, "removable_usb", "pending", file_path="/Volumes/KEY/\u00ff.txt")
    broken = line.encode().replace("\u00ff".encode(), b"\xff")
    return broken + b"\n" + event_line(now - 9 * DAY, "cloud_sync", "allowed").encode() + b"\n"


@pytest.mark.parametrize("make", [
    lambda now: ("\n".join([event_line(now - DAY, "cloud_sync", "allowed"), '{"id":"broken"',
                            "", event_line(now - MINUTE, "removable_usb", "pending") + "\r"])
                 + "\n" + event_line(now + HOUR, "removable_usb", "pending")).encode(),
    _invalid_utf8_journal,
], ids=["malformed-line-nothing-to-change", "not-utf8"])
def test_journal_without_changes_is_left_byte_for_byte(sandbox, make):
    content = make(time.time_ns())
    d, inode = start_daemon(sandbox, content, mark_reads=True)
    wait_for_first_read(sandbox, d)
    r = stop(d)
    assert journal_messages(r) == [], r.describe()
    assert sandbox.read_bytes(JOURNAL) == content
    assert os.stat(sandbox.host_path(JOURNAL)).st_ino == inode
    assert sandbox.listdir(DATA_DIR) == ["dlp_events.jsonl"]
