"""The complete daemon: a run with network DLP from start to SIGINT (clean-up order, files on
disk, which background tasks outlive the start), a SIGTERM that leaves the block for the
next start, and the decision timeout handed to the journal task."""

import os
import signal
import time

import pytest

from test_journal import (DAY, JOURNAL, SEC, event_line, parse_rfc3339_z, start_daemon,
                          wait_for_replacement)

MAIN = "vintra_dlp"
HOSTS_TARGET = "vintra_dlp::network::hosts"
DOH_TARGET = "vintra_dlp::network::doh_block"
SHUTDOWN = ("INFO", MAIN, "Shutdown")
DOH_APPLIED = "DoH block applied: browser policies + 6 firewall rules"
ANCHOR = "/etc/pf.anchors/korvane-doh-block"
BACKUP = "/etc/hosts.korvane-backup"
CHROME = "/Library/Managed Preferences/com.google.Chrome.plist"
EDGE = "/Library/Managed Preferences/com.microsoft.Edge.plist"

HOSTS = "127.0.0.1 localhost\n255.255.255.255 broadcasthost\n::1             localhost\n"
PF_CONF = 'scrub-anchor "com.apple/*"\nanchor "com.apple/*"\nload anchor "com.apple" from "/etc/pf.anchors/com.apple"\n'
PF_LINES = ('# Korvane DoH anchor\nanchor "korvane-doh-block"\n'
            'load anchor "korvane-doh-block" from "/etc/pf.anchors/korvane-doh-block"\n')
CONFIG = """\
[vintra_dlp]
enabled = true
[vintra_dlp.network]
enabled = true
blocked_domains = [{domains}]
"""

# The runtime names each task's thread; the two that must outlive the start, and the two
# that end on their own right after it because nothing produces scan jobs.
LONG_LIVED = {"dlp-reload", "dlp-journal"}
SHORT_LIVED = {"dlp-dispatcher", "dlp-consumer"}
WAIT = 20.0

START_CALLS = [
    ["defaults", "delete", CHROME, "DnsOverHttpsMode"],
    ["defaults", "delete", EDGE, "DnsOverHttpsMode"],
    ["pfctl", "-f", "/etc/pf.conf"],
    ["defaults", "write", CHROME, "DnsOverHttpsMode", "-string", "off"],
    ["defaults", "write", EDGE, "DnsOverHttpsMode", "-string", "off"],
    ["pfctl", "-f", "/etc/pf.conf"],
    ["pfctl", "-e"],
    ["dscacheutil", "-flushcache"],
    ["killall", "-HUP", "mDNSResponder"],
]
SHUTDOWN_CALLS = [
    ["defaults", "delete", CHROME, "DnsOverHttpsMode"],
    ["defaults", "delete", EDGE, "DnsOverHttpsMode"],
    ["pfctl", "-f", "/etc/pf.conf"],
    ["dscacheutil", "-flushcache"],
    ["killall", "-HUP", "mDNSResponder"],
]


def managed_section(*domains: str) -> str:
    entries = "".join(f"127.0.0.1 {n}\n::1       {n}\n" for d in domains for n in (d, "www." + d))
    return "# BEGIN Korvane DLP\n" + entries + "# END Korvane DLP\n"


def thread_names(pid: int) -> list[str]:
    names = []
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                names.append(f.read().rstrip("\n"))
        except FileNotFoundError:  # the thread ended meanwhile
            pass
    return sorted(names)


def wait_for_threads(d, done) -> list[str]:
    """Polls the daemon's thread names until done(names) holds (bounded)."""
    deadline = time.monotonic() + WAIT
    while True:
        names = thread_names(d.pid)
        if done(names):
            return names
        assert d.running(), d.wait().describe()
        if time.monotonic() > deadline:
            d.kill()
            raise AssertionError(f"threads never settled: {names}\n" + d.wait().describe())
        time.sleep(0.02)


def start_network_run(sandbox, command, domains):
    sandbox.write_config(CONFIG.format(domains=", ".join(f'"{x}"' for x in domains)))
    d = sandbox.start([command])
    d.wait_for_log(DOH_APPLIED)
    # The journal task is the last thing the start-up starts.
    wait_for_threads(d, lambda names: "dlp-journal" in names)
    return d


@pytest.fixture
def mac_files(sandbox):
    sandbox.write("/etc/hosts", HOSTS)
    sandbox.write("/etc/pf.conf", PF_CONF)
    sandbox.remove(BACKUP)
    sandbox.remove(ANCHOR)


@pytest.mark.parametrize("command", ["run", "service"])
def test_complete_run_with_network_dlp_cleans_up_in_order_on_sigint(sandbox, mac_files, command):
    d = start_network_run(sandbox, command, ["Example.org", "example.net"])
    assert sandbox.read_text("/etc/hosts") == HOSTS + "\n" + managed_section("example.org", "example.net")
    assert sandbox.read_text(BACKUP) == HOSTS
    assert sandbox.read_text("/etc/pf.conf") == PF_CONF + PF_LINES
    assert sandbox.exists(ANCHOR)
    assert sandbox.calls() == START_CALLS

    # With no producer of scan jobs the dispatcher finds its queue ended and the consumer
    # then sees the end of the event queue: both threads go, the other two stay.
    names = wait_for_threads(d, lambda names: not SHORT_LIVED & set(names))
    assert [n for n in names if n in LONG_LIVED] == sorted(LONG_LIVED), names
    assert d.running()

    sandbox.clear_calls()
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    assert (r.stdout, r.stderr) == ("", ""), r.describe()
    msgs = r.messages
    assert msgs[:4] == [
        ("INFO", MAIN, "Korvane DLP starting"),
        ("WARN", "vintra_dlp::policy",
         "policies file not found at /opt/vintra/dlp_policies.yaml \u2014 using empty default"),
        ("INFO", MAIN, "loaded 0 DLP policies"),
        ("INFO", MAIN, "network DLP: 2 blocked domains (config + server vnone)"),
    ], r.describe()
    startup = [m for m in msgs[4:] if m[1] != MAIN]
    assert startup[:3] == [
        ("INFO", HOSTS_TARGET, "hosts: applied 2 blocked domains"),
        ("INFO", DOH_TARGET, "DoH block cleaned up"),
        ("INFO", DOH_TARGET, DOH_APPLIED),
    ], r.describe()
    assert msgs.count(SHUTDOWN) == 1
    assert msgs[msgs.index(SHUTDOWN):] == [
        SHUTDOWN,
        ("INFO", HOSTS_TARGET, "hosts: Korvane block removed"),
        ("INFO", DOH_TARGET, "DoH block cleaned up"),
    ], r.describe()
    assert [m for m in msgs if m[0] in ("WARN", "ERROR")] == [msgs[1]], r.describe()
    assert sandbox.calls() == SHUTDOWN_CALLS

    # The removal leaves the user's content without trailing whitespace; the backup stays.
    assert sandbox.read_text("/etc/hosts") == HOSTS.rstrip()
    assert sandbox.read_text(BACKUP) == HOSTS
    assert sandbox.read_text("/etc/pf.conf") == PF_CONF.rstrip("\n")
    assert not sandbox.exists(ANCHOR)
    assert not sandbox.exists("/etc/hosts.korvane-tmp")


def test_sigterm_leaves_the_block_and_the_next_start_rewrites_it(sandbox, mac_files):
    d = start_network_run(sandbox, "run", ["example.org"])
    r = d.stop(signal.SIGTERM)
    assert r.status == -signal.SIGTERM, r.describe()
    assert SHUTDOWN not in r.messages, r.describe()
    left = HOSTS + "\n" + managed_section("example.org")
    assert sandbox.read_text("/etc/hosts") == left
    assert sandbox.read_text("/etc/pf.conf") == PF_CONF + PF_LINES
    assert sandbox.exists(ANCHOR)

    # The next start finds its own section and replaces it: one section, the new list.
    d = start_network_run(sandbox, "service", ["example.net"])
    assert sandbox.read_text("/etc/hosts") == HOSTS + "\n" + managed_section("example.net")
    assert sandbox.read_text(BACKUP) == HOSTS  # written once, by the first start
    assert sandbox.read_text("/etc/pf.conf") == PF_CONF + PF_LINES
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    assert sandbox.read_text("/etc/hosts") == HOSTS.rstrip()
    assert sandbox.read_text(BACKUP) == HOSTS
    assert sandbox.read_text("/etc/pf.conf") == PF_CONF.rstrip("\n")


@pytest.mark.parametrize("configured, stays, expires", [
    (3, 5, 11),    # raised to 10
    (0, 5, 11),
    (45, 11, 50),  # passed as it is
], ids=["3-raised-to-10", "0-raised-to-10", "45-kept"])
def test_decision_timeout_given_to_the_journal_task(sandbox, configured, stays, expires):
    now = time.time_ns()
    young = event_line(now - stays * SEC, "removable_usb", "pending")
    old = event_line(now - expires * SEC, "removable_usb", "pending", id="old")
    d, inode = start_daemon(sandbox, (young + "\n" + old + "\n").encode(), timeout_seconds=configured)
    wait_for_replacement(sandbox, d, inode)
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    first, second, end = sandbox.read_text(JOURNAL).split("\n")
    assert (first, end) == (young, ""), r.describe()
    decided_at = parse_rfc3339_z(second.split('"decided_at":"')[1].split('"')[0])
    assert now < decided_at < now + DAY
    assert second == event_line(now - expires * SEC, "removable_usb", "expired", id="old", decided_at=decided_at)
