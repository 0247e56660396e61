"""Network DLP end to end: the /etc/hosts section and its backup, the DoH block (browser
preferences, pf anchor, pf.conf lines), the commands run at start and at SIGINT, the
failure paths, hostile inputs, and what SIGTERM leaves for the next start."""

from __future__ import annotations

import json
import os
import re
import signal
import time

import pytest

import harness

MAIN = "vintra_dlp"
HOSTS_T = "vintra_dlp::network::hosts"
DOH_T = "vintra_dlp::network::doh_block"

HOSTS = "/etc/hosts"
BACKUP = "/etc/hosts.korvane-backup"
TMP = "/etc/hosts.korvane-tmp"
ANCHOR = "/etc/pf.anchors/korvane-doh-block"
PF_CONF = "/etc/pf.conf"
DATA_DIR = "/opt/vintra/data"
CACHE = DATA_DIR + "/dlp_policy_remote.json"
PREFS = "/Library/Managed Preferences"
CHROME = PREFS + "/com.google.Chrome.plist"
EDGE = PREFS + "/com.microsoft.Edge.plist"

# A hosts file as a machine ships it, with trailing blank lines and spaces.
USER_HOSTS = ("##\n# Host Database\n##\n127.0.0.1\tlocalhost\n255.255.255.255\tbroadcasthost\n"
              "::1             localhost\n")
ORIGINAL_HOSTS = USER_HOSTS + "\n  \t\n\n"
RESTORED_HOSTS = USER_HOSTS.rstrip()  # trailing whitespace gone, no final line feed

# Upper case, the same name again with spaces around it, a single-label name.
DOMAINS = ["Blocked.Example", "mail.test.org", "  blocked.example  ", "intranet"]
DOMAIN_COUNT = 3
NAMES = ["blocked.example", "www.blocked.example", "mail.test.org", "www.mail.test.org",
         "www.intranet"]

PF_ORIGINAL = ('scrub-anchor "com.apple/*"\nnat-anchor "com.apple/*"\nanchor "com.apple/*"\n'
               'load anchor "com.apple" from "/etc/pf.anchors/com.apple"\n')
PF_LINES = ('# Korvane DoH anchor\nanchor "korvane-doh-block"\n'
            'load anchor "korvane-doh-block" from "/etc/pf.anchors/korvane-doh-block"\n')

DOH_PROVIDERS = [
    ("Cloudflare", ["1.1.1.1", "1.0.0.1", "2606:4700:4700::1111", "2606:4700:4700::1001"]),
    ("Google", ["8.8.8.8", "8.8.4.4", "2001:4860:4860::8888", "2001:4860:4860::8844"]),
    ("Quad9", ["9.9.9.9", "149.112.112.112", "2620:fe::fe", "2620:fe::9"]),
    ("OpenDNS", ["208.67.222.222", "208.67.220.220"]),
    ("AdGuard", ["94.140.14.14", "94.140.15.15"]),
    ("NextDNS", ["45.90.28.0", "45.90.30.0"]),
]
ANCHOR_TEXT = "# Korvane DLP DoH block \u2014 generated, do not edit\n" + "".join(
    f"block drop out proto tcp from any to {address} port 443  # Korvane-Block-DoH-{provider}\n"
    for provider, addresses in DOH_PROVIDERS for address in addresses)

DELETE_CHROME = ["defaults", "delete", CHROME, "DnsOverHttpsMode"]
DELETE_EDGE = ["defaults", "delete", EDGE, "DnsOverHttpsMode"]
WRITE_CHROME = ["defaults", "write", CHROME, "DnsOverHttpsMode", "-string", "off"]
WRITE_EDGE = ["defaults", "write", EDGE, "DnsOverHttpsMode", "-string", "off"]
PF_RELOAD = ["pfctl", "-f", "/etc/pf.conf"]
PF_ENABLE = ["pfctl", "-e"]
FLUSH = [["dscacheutil", "-flushcache"], ["killall", "-HUP", "mDNSResponder"]]
DOH_REMOVAL = [DELETE_CHROME, DELETE_EDGE, PF_RELOAD]
START_CALLS = DOH_REMOVAL + [WRITE_CHROME, WRITE_EDGE, PF_RELOAD, PF_ENABLE] + FLUSH
STOP_CALLS = DOH_REMOVAL + FLUSH

PREAMBLE = [
    ("INFO", MAIN, "Korvane DLP starting"),
    ("WARN", "vintra_dlp::policy",
     "policies file not found at /opt/vintra/dlp_policies.yaml \u2014 using empty default"),
    ("INFO", MAIN, "loaded 0 DLP policies"),
]
SHUTDOWN = ("INFO", MAIN, "Shutdown")
HOSTS_REMOVED = ("INFO", HOSTS_T, "hosts: Korvane block removed")
DOH_CLEANED = ("INFO", DOH_T, "DoH block cleaned up")
DOH_APPLIED = ("INFO", DOH_T, "DoH block applied: browser policies + 6 firewall rules")
RELOAD_STARTED = re.compile(r"DLP reload task started initial=\S*")


def network_line(n: int, version: str = "none") -> tuple:
    return ("INFO", MAIN, f"network DLP: {n} blocked domains (config + server v{version})")


def applied(n: int) -> tuple:
    return ("INFO", HOSTS_T, f"hosts: applied {n} blocked domains")


def caused(message: str, cause: str) -> str:
    """An error message with one cause, as the log shows it (continuation lines joined)."""
    return f"{message}\n\nCaused by:\n    {cause}"


def config(domains=DOMAINS, *, network: bool = True, ipv6: bool = True, doh: bool = True,
           extra: str = "") -> str:
    return ("[vintra_dlp]\nenabled = true\n[vintra_dlp.network]\n"
            f"enabled = {str(network).lower()}\nipv6_block = {str(ipv6).lower()}\n"
            f"disable_browser_doh = {str(doh).lower()}\nblocked_domains = {json.dumps(domains)}\n"
            + extra)


def section(names, ipv6: bool) -> str:
    lines = ["# BEGIN Korvane DLP"]
    for name in names:
        lines.append(f"127.0.0.1 {name}")
        if ipv6:
            lines.append(f"::1       {name}")
    lines.append("# END Korvane DLP")
    return "".join(line + "\n" for line in lines)


def blocked_hosts(user: str, names, ipv6: bool) -> str:
    base = user.rstrip()
    return (base + "\n\n" if base else "") + section(names, ipv6)


def cache_json(version, domains, fetched_at="2025-03-04T09:00:00Z") -> str:
    return json.dumps({"version": version, "blocked_domains": domains, "fetched_at": fetched_at})


def prepare(sb, *, hosts: str = ORIGINAL_HOSTS, pf_conf=PF_ORIGINAL, conf: str | None = None):
    sb.write(HOSTS, hosts)
    if pf_conf is None:
        sb.remove(PF_CONF)
    else:
        sb.write(PF_CONF, pf_conf)
    sb.write_config(conf if conf is not None else config())


def wait_until_started(d: harness.Daemon, timeout: float = harness.LOG_TIMEOUT) -> None:
    """Waits until the run sequence waits for SIGINT: its main thread sits in sigwait, so
    the start-up, with every command it runs and every file it writes, is over."""
    task = f"/proc/{d.pid}/task/{d.pid}"
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if not d.running():
            raise AssertionError("daemon ended during start-up\n" + d.wait().describe())
        try:
            with open(task + "/wchan") as f:
                if "sigtimedwait" in f.read():
                    return
            with open(task + "/syscall") as f:
                if f.read().split()[0] == str(harness._SIGTIMEDWAIT_SYSCALL):
                    return
        except (OSError, IndexError):
            pass
        time.sleep(harness.POLL_INTERVAL)
    d.kill()
    raise AssertionError("start-up did not finish\n" + d.wait().describe())


def start(sb, env=None) -> harness.Daemon:
    d = sb.start(["run"], env=env)
    wait_until_started(d)
    return d


def split_reload_line(messages):
    """(messages without the reload task's start line, how many such lines). The task
    logs from its own thread, so its line has no fixed place among the others."""
    rest = [m for m in messages if not (m[1] == MAIN and RELOAD_STARTED.fullmatch(m[2]))]
    return rest, len(messages) - len(rest)


def assert_messages(actual, expected, describe=""):
    """Exact comparison; an expected message may be a compiled pattern (full match)."""
    assert len(actual) == len(expected), f"{actual}\n!=\n{expected}\n{describe}"
    for a, e in zip(actual, expected):
        if isinstance(e[2], re.Pattern):
            assert a[:2] == e[:2] and e[2].fullmatch(a[2]), f"{a} !~ {e}\n{describe}"
        else:
            assert a == e, f"{a} != {e}\n{describe}"


def start_messages(d: harness.Daemon):
    msgs, reload_lines = split_reload_line([r.key() for r in d.log_records()])
    assert reload_lines == 1, msgs
    return msgs


# --------------------------------------------------------------------------------------
# The block written at start and removed at SIGINT


@pytest.mark.parametrize("pf_conf, pf_blocked, pf_restored", [
    (None, "\n" + PF_LINES, ""),
    (PF_ORIGINAL, PF_ORIGINAL + PF_LINES, PF_ORIGINAL[:-1]),
    (PF_ORIGINAL[:-1], PF_ORIGINAL + PF_LINES, PF_ORIGINAL[:-1]),
], ids=["pf-conf-missing", "pf-conf-ends-with-lf", "pf-conf-without-final-lf"])
@pytest.mark.parametrize("ipv6", [True, False], ids=["ipv6", "ipv4-only"])
def test_block_applied_at_start_and_removed_at_sigint(sandbox, ipv6, pf_conf, pf_blocked, pf_restored):
    prepare(sandbox, pf_conf=pf_conf, conf=config(ipv6=ipv6))
    d = start(sandbox)

    files = sandbox.collect([HOSTS, BACKUP, ANCHOR, PF_CONF])
    assert files[HOSTS].decode() == blocked_hosts(USER_HOSTS, NAMES, ipv6)
    assert files[BACKUP].decode() == ORIGINAL_HOSTS
    assert files[ANCHOR].decode() == ANCHOR_TEXT
    assert len(files[ANCHOR].decode().splitlines()) == 19
    assert files[PF_CONF].decode() == pf_blocked
    assert sandbox.is_dir(PREFS)
    assert sandbox.calls() == START_CALLS
    assert start_messages(d) == PREAMBLE + [
        network_line(DOMAIN_COUNT), applied(DOMAIN_COUNT), DOH_CLEANED, DOH_APPLIED]

    sandbox.clear_calls()
    r = d.stop(signal.SIGINT, collect=[HOSTS, BACKUP, ANCHOR, PF_CONF])
    assert r.status == 0, r.describe()
    assert r.files[HOSTS].decode() == RESTORED_HOSTS
    assert r.files[BACKUP].decode() == ORIGINAL_HOSTS
    assert r.files[ANCHOR] is None
    assert r.files[PF_CONF].decode() == pf_restored
    assert sandbox.calls() == STOP_CALLS
    msgs, _ = split_reload_line(r.messages)
    assert msgs[len(PREAMBLE) + 4:] == [SHUTDOWN, HOSTS_REMOVED, DOH_CLEANED], r.describe()


# --------------------------------------------------------------------------------------
# The domain list: configured names merged with the server's cache


REMOTE = ["remote.example", "www.remote.example"]


@pytest.mark.parametrize("cache, env, version, count, remote_names", [
    (None, None, "none", 3, []),
    (cache_json("7", ["remote.example", "BLOCKED.example", " mail.test.org"]), None, "7", 4, REMOTE),
    (cache_json("", ["remote.example"]), None, "none", 4, REMOTE),
    (json.dumps({"version": "7", "blocked_domains": ["remote.example"]}), None, "none", 3, []),
    (json.dumps({"version": 7, "blocked_domains": ["remote.example"], "fetched_at": "x"}), None, "none",
     3, []),
    (json.dumps(["9", ["remote.example"], "2025-03-04T09:00:00Z"]), None, "9", 4, REMOTE),
    (cache_json("7", ["remote.example"]), {"EDR__AGENT__DATA_DIR": "/var/lib/korvane"}, "none", 3, []),
], ids=["no-cache", "version-7", "empty-version", "no-fetched-at-is-invalid", "numeric-version-is-invalid",
        "array-form", "cache-outside-data-dir"])
def test_startup_lines_count_the_merged_list(sandbox, cache, env, version, count, remote_names):
    prepare(sandbox, conf=config(ipv6=False))
    if cache is not None:
        sandbox.write(CACHE, cache)
    d = start(sandbox, env=env)
    assert sandbox.read_text(HOSTS) == blocked_hosts(USER_HOSTS, NAMES + remote_names, False)
    assert start_messages(d)[len(PREAMBLE):len(PREAMBLE) + 2] == [network_line(count, version),
                                                                  applied(count)]
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    assert sandbox.read_text(HOSTS) == RESTORED_HOSTS


# --------------------------------------------------------------------------------------
# Failures: what is done, what is not, and what the shutdown then touches

STALE_HOSTS = USER_HOSTS + "\n" + section(["left.behind.example"], True)
ERROR_CREATE_TMP = re.compile(re.escape(caused("hosts apply failed: create /etc/hosts.korvane-tmp", ""))
                              + r"(File exists \(os error 17\)|Is a directory \(os error 21\))")
CHROME_FAILED = caused("DoH block apply failed: Chrome managed pref",
                       f"defaults write {CHROME} DnsOverHttpsMode exit 1")
EDGE_FAILED = caused("DoH block apply failed: Edge managed pref",
                     f"defaults write {EDGE} DnsOverHttpsMode exit 1")


def _tmp_is_a_directory(sb):
    sb.write(TMP + "/keep", "x\n")


FAILURE_ROWS = [
    pytest.param(dict(
        setup=_tmp_is_a_directory, hosts=STALE_HOSTS,
        hosts_started=STALE_HOSTS, backup=STALE_HOSTS, start_calls=[],
        start_msgs=[("ERROR", MAIN, ERROR_CREATE_TMP)],
        pf_started=PF_ORIGINAL, anchor=None,
        hosts_stopped=STALE_HOSTS, stop_calls=[], stop_msgs=[], pf_stopped=PF_ORIGINAL),
        id="hosts-not-writable"),
    pytest.param(dict(
        setup=lambda sb: sb.standin_rule("defaults", exit=1, when=["write", "com.google.Chrome"]),
        start_calls=DOH_REMOVAL + [WRITE_CHROME] + FLUSH,
        start_msgs=[applied(DOMAIN_COUNT), DOH_CLEANED, ("ERROR", MAIN, CHROME_FAILED)],
        pf_started=PF_ORIGINAL[:-1], anchor=None,
        stop_calls=STOP_CALLS, stop_msgs=[HOSTS_REMOVED, DOH_CLEANED], pf_stopped=PF_ORIGINAL[:-1]),
        id="chrome-pref-fails"),
    pytest.param(dict(
        setup=lambda sb: sb.standin_rule("defaults", exit=1, when=["write", "com.microsoft.Edge"]),
        start_calls=DOH_REMOVAL + [WRITE_CHROME, WRITE_EDGE] + FLUSH,
        start_msgs=[applied(DOMAIN_COUNT), DOH_CLEANED, ("ERROR", MAIN, EDGE_FAILED)],
        pf_started=PF_ORIGINAL[:-1], anchor=None,
        stop_calls=STOP_CALLS, stop_msgs=[HOSTS_REMOVED, DOH_CLEANED], pf_stopped=PF_ORIGINAL[:-1]),
        id="edge-pref-fails"),
    pytest.param(dict(
        setup=lambda sb: sb.remove_standin("pfctl"),
        start_calls=[DELETE_CHROME, DELETE_EDGE, WRITE_CHROME, WRITE_EDGE] + FLUSH,
        start_msgs=[applied(DOMAIN_COUNT), DOH_CLEANED, DOH_APPLIED],
        pf_started=PF_ORIGINAL + PF_LINES, anchor=ANCHOR_TEXT,
        stop_calls=[DELETE_CHROME, DELETE_EDGE] + FLUSH, stop_msgs=[HOSTS_REMOVED, DOH_CLEANED],
        pf_stopped=PF_ORIGINAL[:-1]),
        id="pfctl-missing"),
    pytest.param(dict(
        setup=lambda sb: sb.standin_rule("pfctl", exit=1),
        start_calls=START_CALLS,
        start_msgs=[applied(DOMAIN_COUNT), DOH_CLEANED, DOH_APPLIED],
        pf_started=PF_ORIGINAL + PF_LINES, anchor=ANCHOR_TEXT,
        stop_calls=STOP_CALLS, stop_msgs=[HOSTS_REMOVED, DOH_CLEANED], pf_stopped=PF_ORIGINAL[:-1]),
        id="pfctl-fails"),
    pytest.param(dict(
        conf=config(doh=False), start_calls=FLUSH, start_msgs=[applied(DOMAIN_COUNT)],
        pf_started=PF_ORIGINAL, anchor=None,
        stop_calls=FLUSH, stop_msgs=[HOSTS_REMOVED], pf_stopped=PF_ORIGINAL),
        id="doh-block-off"),
    pytest.param(dict(
        conf=config(network=False), hosts=STALE_HOSTS,
        hosts_started=STALE_HOSTS, backup=None, start_calls=[], start_msgs=[],
        pf_started=PF_ORIGINAL, anchor=None,
        hosts_stopped=STALE_HOSTS, stop_calls=[], stop_msgs=[], pf_stopped=PF_ORIGINAL),
        id="network-disabled"),
]


@pytest.mark.parametrize("row", FAILURE_ROWS)
def test_failures_and_switches(sandbox, row):
    hosts = row.get("hosts", ORIGINAL_HOSTS)
    prepare(sandbox, hosts=hosts, conf=row.get("conf", config()))
    if "setup" in row:
        row["setup"](sandbox)
    d = start(sandbox)

    files = sandbox.collect([HOSTS, BACKUP, ANCHOR, PF_CONF])
    assert files[HOSTS].decode() == row.get("hosts_started", blocked_hosts(USER_HOSTS, NAMES, True))
    backup = row.get("backup", ORIGINAL_HOSTS)
    assert files[BACKUP] == (None if backup is None else backup.encode())
    assert files[ANCHOR] == (None if row["anchor"] is None else row["anchor"].encode())
    assert files[PF_CONF].decode() == row["pf_started"]
    assert sandbox.calls() == row["start_calls"]
    assert_messages(start_messages(d), PREAMBLE + [network_line(DOMAIN_COUNT)] + row["start_msgs"])

    sandbox.clear_calls()
    r = d.stop(signal.SIGINT, collect=[HOSTS, BACKUP, ANCHOR, PF_CONF])
    assert r.status == 0, r.describe()
    assert r.files[HOSTS].decode() == row.get("hosts_stopped", RESTORED_HOSTS)
    assert r.files[BACKUP] == files[BACKUP]
    assert r.files[ANCHOR] is None
    assert r.files[PF_CONF].decode() == row["pf_stopped"]
    assert sandbox.calls() == row["stop_calls"]
    msgs, _ = split_reload_line(r.messages)
    tail = msgs[msgs.index(SHUTDOWN):]
    assert tail == [SHUTDOWN] + row["stop_msgs"], r.describe()


# --------------------------------------------------------------------------------------
# Hostile inputs


def test_server_names_that_would_break_the_hosts_file_are_skipped(sandbox):
    bad = ["evil.example\n10.0.0.1 bank.example", "a b.example", "x#y.example"]
    prepare(sandbox, conf=config(["ok.example"], ipv6=False))
    sandbox.write(CACHE, cache_json("7", [bad[0], "good.example", bad[1], bad[2]]))
    d = start(sandbox)
    assert sandbox.read_text(HOSTS) == blocked_hosts(
        USER_HOSTS, ["ok.example", "www.ok.example", "good.example", "www.good.example"], False)
    assert start_messages(d)[len(PREAMBLE):] == [
        network_line(5, "7"),
        ("WARN", HOSTS_T, 'hosts: skipping invalid domain name domain="evil.example\\n10.0.0.1 bank.example"'),
        ("WARN", HOSTS_T, 'hosts: skipping invalid domain name domain="a b.example"'),
        ("WARN", HOSTS_T, 'hosts: skipping invalid domain name domain="x#y.example"'),
        applied(2), DOH_CLEANED, DOH_APPLIED,
    ]
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    assert sandbox.read_text(HOSTS) == RESTORED_HOSTS


def test_pf_conf_that_is_not_utf8_is_never_overwritten(sandbox):
    pf = PF_ORIGINAL.encode() + b"# r\xe9seau du bureau\npass out all\n"
    prepare(sandbox, pf_conf=None)
    sandbox.write(PF_CONF, pf)
    d = start(sandbox)
    assert sandbox.read_bytes(PF_CONF) == pf
    assert sandbox.read_text(HOSTS) == blocked_hosts(USER_HOSTS, NAMES, True)
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    assert sandbox.read_bytes(PF_CONF) == pf
    assert sandbox.read_text(HOSTS) == RESTORED_HOSTS
    # Saying why pf.conf was left alone is allowed; the removal still ends as always.
    msgs, _ = split_reload_line(r.messages)
    tail = msgs[msgs.index(SHUTDOWN):]
    assert tail[:2] == [SHUTDOWN, HOSTS_REMOVED] and tail[-1] == DOH_CLEANED, r.describe()
    assert all(m[:2] == ("WARN", DOH_T) for m in tail[2:-1]), r.describe()


VICTIM = "/var/tmp/victim"


@pytest.mark.parametrize("link, target", [
    (TMP, VICTIM),
    (BACKUP, VICTIM),
    (BACKUP, "/var/tmp/created-through-link"),
    (ANCHOR, VICTIM),
], ids=["temp-file-to-victim", "backup-to-victim", "backup-dangling", "anchor-to-victim"])
def test_planted_links_are_not_followed(sandbox, link, target):
    prepare(sandbox)
    sandbox.write(VICTIM, "root:x:0:0::/root:/bin/sh\n", mode=0o600)
    sandbox.symlink(target, link)
    d = start(sandbox)
    assert sandbox.read_text(HOSTS) == blocked_hosts(USER_HOSTS, NAMES, True)
    assert not os.path.islink(sandbox.host_path(HOSTS))
    assert sandbox.read_text(VICTIM) == "root:x:0:0::/root:/bin/sh\n"
    assert not sandbox.exists("/var/tmp/created-through-link")
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    assert sandbox.read_text(HOSTS) == RESTORED_HOSTS
    assert sandbox.read_text(VICTIM) == "root:x:0:0::/root:/bin/sh\n"
    assert not sandbox.exists("/var/tmp/created-through-link")


# --------------------------------------------------------------------------------------
# SIGTERM


def test_sigterm_leaves_the_block_and_the_next_start_rewrites_it(sandbox):
    prepare(sandbox)
    d = start(sandbox)
    blocked = blocked_hosts(USER_HOSTS, NAMES, True)
    sandbox.clear_calls()
    r = d.stop(signal.SIGTERM, collect=[HOSTS, BACKUP, ANCHOR, PF_CONF])
    assert r.status == -signal.SIGTERM, r.describe()
    assert SHUTDOWN not in r.messages
    assert sandbox.calls() == []
    assert r.files == {HOSTS: blocked.encode(), BACKUP: ORIGINAL_HOSTS.encode(),
                       ANCHOR: ANCHOR_TEXT.encode(), PF_CONF: (PF_ORIGINAL + PF_LINES).encode()}

    # The next start: the user edited the hosts file meanwhile; the old section goes,
    # one new section is written, the first backup stays as it was.
    sandbox.write(HOSTS, USER_HOSTS + "10.1.2.3 printer.local\n\n" + section(NAMES, True)[:-1])
    sandbox.clear_calls()
    d = start(sandbox)
    user = USER_HOSTS + "10.1.2.3 printer.local\n"
    files = sandbox.collect([HOSTS, BACKUP, ANCHOR, PF_CONF])
    assert files == {HOSTS: blocked_hosts(user, NAMES, True).encode(), BACKUP: ORIGINAL_HOSTS.encode(),
                     ANCHOR: ANCHOR_TEXT.encode(), PF_CONF: (PF_ORIGINAL + PF_LINES).encode()}
    assert sandbox.calls() == START_CALLS
    r = d.stop(signal.SIGINT, collect=[HOSTS, BACKUP, ANCHOR, PF_CONF])
    assert r.status == 0, r.describe()
    assert r.files == {HOSTS: user.rstrip().encode(), BACKUP: ORIGINAL_HOSTS.encode(), ANCHOR: None,
                       PF_CONF: PF_ORIGINAL[:-1].encode()}
