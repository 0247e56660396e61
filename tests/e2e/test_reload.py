"""The policy reload task of the shipped binary: a new version of the server's domain list
is picked up at the first check, a minute after start, and the hosts section rewritten.

This one test waits for the real 60-second period on purpose (the binary has no shorter
one); it runs in every suite run, CI included."""

import signal
import time

from test_network import (CACHE, DOH_CLEANED, FLUSH, HOSTS, HOSTS_REMOVED, HOSTS_T, MAIN,
                          RESTORED_HOSTS, SHUTDOWN, STOP_CALLS, USER_HOSTS, applied, blocked_hosts,
                          cache_json, config, network_line, prepare, start, start_messages)

FIRST_CHECK_TIMEOUT = 75.0  # the first check is due 60 s after the task starts


def wait_for_calls(sb, n: int, timeout: float = 20.0) -> list:
    deadline = time.monotonic() + timeout
    while len(sb.calls()) < n and time.monotonic() < deadline:
        time.sleep(0.05)
    return sb.calls()


def test_new_remote_version_rewrites_the_hosts_section(sandbox):
    prepare(sandbox, conf=config(["A.Example"], extra='[logging]\nlevel = "debug"\n'))
    sandbox.write(CACHE, cache_json("7", ["b.example"]))
    d = start(sandbox)
    assert sandbox.read_text(HOSTS) == blocked_hosts(
        USER_HOSTS, ["a.example", "www.a.example", "b.example", "www.b.example"], True)
    started = [m.message for m in d.log_records() if m.message.startswith("DLP reload task started")]
    assert started == ["DLP reload task started initial=7"]
    assert network_line(2, "7") in start_messages(d)
    at_start = len(d.log_records())

    sandbox.sh('printf %s "$1" > "$2.new" && mv "$2.new" "$2"',
               cache_json("8", ["c.example", "a.example"]), CACHE)
    sandbox.clear_calls()
    d.wait_for_log("merged config+remote", timeout=FIRST_CHECK_TIMEOUT)
    # The flush follows the rewrite; once both commands are recorded, so is the rewrite.
    assert wait_for_calls(sandbox, len(FLUSH)) == FLUSH
    assert sandbox.read_text(HOSTS) == blocked_hosts(
        USER_HOSTS, ["a.example", "www.a.example", "c.example", "www.c.example"], True)

    reload_msgs = [r.key() for r in d.log_records()[at_start:] if r.target in (MAIN, HOSTS_T)]
    assert reload_msgs == [
        ("DEBUG", MAIN, "DLP reload tick cached=8 last=7"),
        ("INFO", MAIN, "DLP policy version changed \u2014 re-applying network block old=7 new=8 domains=2"),
        ("INFO", MAIN, "merged config+remote, about to rewrite hosts merged_count=2"),
        applied(2),
    ]

    sandbox.clear_calls()
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    assert sandbox.read_text(HOSTS) == RESTORED_HOSTS
    assert sandbox.calls() == STOP_CALLS
    assert [m for m in r.messages if m[0] != "DEBUG"][-3:] == [SHUTDOWN, HOSTS_REMOVED, DOH_CLEANED], \
        r.describe()
