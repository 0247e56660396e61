"""The run sequence: the disabled exit, start-up with its policy messages, and how SIGINT
and SIGTERM end it."""

import re
import signal

import pytest

from harness import LOG_LINE_RE, utc_today

ENABLED = {"EDR__VINTRA_DLP__ENABLED": "true"}
MAIN = "vintra_dlp"
STARTING = ("INFO", MAIN, "Korvane DLP starting")
SHUTDOWN = ("INFO", MAIN, "Shutdown")
NETWORK_LINE = "network DLP: 0 blocked domains (config + server vnone)"
NOT_FOUND = ("WARN", "vintra_dlp::policy",
             "policies file not found at /opt/vintra/dlp_policies.yaml \u2014 using empty default")

TWO_POLICIES = """\
default_action: allow
block_threshold: 5
policies:
  - name: payment data
    detectors: [credit_card, IBAN]
    severity: high
    contexts:
      usb: {action: block}
      cloud: {action: alert, notify: false}
  - name: secrets
    description: ignored extra key
    detectors:
      - aws_key
      - jwt
    severity: ~
    contexts:
      usb:
        action: quarantine
"""


def host_hosts() -> bytes:
    with open("/etc/hosts", "rb") as f:
        return f.read()


def assert_network_untouched(sandbox):
    assert sandbox.read_bytes("/etc/hosts") == host_hosts()
    assert not sandbox.exists("/etc/hosts.korvane-backup")
    assert sandbox.calls() == []


@pytest.mark.parametrize("config, env, log_dir", [
    (None, {}, "/opt/vintra/logs"),
    ('[vintra_dlp]\nenabled = false\n[logging]\ndirectory = "journal/logs"\n', {},
     "/opt/vintra/journal/logs"),
    (None, {"EDR__LOGGING__DIRECTORY": "/var/log/korvane/dlp"}, "/var/log/korvane/dlp"),
], ids=["defaults", "relative-dir-from-file", "absolute-dir-from-env"])
def test_disabled_section_logs_one_line_and_exits_0(sandbox, config, env, log_dir):
    if config:
        sandbox.write_config(config)
    before = utc_today()
    r = sandbox.run(["run"], env=env, cwd="/tmp", log_dir=log_dir)
    after = utc_today()
    assert r.status == 0, r.describe()
    assert (r.stdout, r.stderr) == ("", "")
    assert r.log_files in ([f"vintra-dlp.log.{before}"], [f"vintra-dlp.log.{after}"]), r.describe()
    assert sandbox.listdir(log_dir) == r.log_files
    assert len(r.log_lines) == 1, r.describe()
    assert re.fullmatch(
        r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z  INFO vintra_dlp: vintra_dlp disabled in config, exiting",
        r.log_lines[0]), r.log_lines
    assert r.log_lines[0].startswith(r.log_files[0][len("vintra-dlp.log."):] + "T")
    assert not sandbox.exists("/tmp/logs")
    assert_network_untouched(sandbox)


def test_disabled_run_appends_to_the_days_log_file(sandbox):
    first = sandbox.run(["run"])
    second = sandbox.run(["service"])
    assert (first.status, second.status) == (0, 0)
    if first.log_files == second.log_files:
        assert len(second.log_lines) == 2, second.describe()
        assert second.log_lines[0] == first.log_lines[0]


@pytest.mark.parametrize("policies, count, warning", [
    (None, 0, NOT_FOUND),
    ("---\n", 0, None),
    (TWO_POLICIES, 2, None),
    ("policies: [\n  - name: x\n", 0, "malformed"),
    ("", 0, "malformed"),
    ("default_action: Block\n", 0, "malformed"),
], ids=["missing", "lone-document-marker", "two-policies", "yaml-syntax-error", "empty-file",
        "bad-action-spelling"])
def test_policy_loading_messages(sandbox, policies, count, warning):
    if policies is not None:
        sandbox.write_policies(policies)
    d = sandbox.start(["run"], env=ENABLED)
    d.wait_for_log(re.compile(r"^loaded \d+ DLP policies$"))
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    msgs = r.messages
    loaded = msgs.index(("INFO", MAIN, f"loaded {count} DLP policies"))
    assert msgs[0] == STARTING, r.describe()
    between = msgs[1:loaded]
    if warning is None:
        assert between == [], r.describe()
    elif warning == "malformed":
        assert len(between) == 1, r.describe()
        level, target, message = between[0]
        assert (level, target) == ("WARN", MAIN), r.describe()
        assert message.startswith("could not load policies: ") and len(message) > 25, r.describe()
    else:
        assert between == [warning], r.describe()
    assert msgs[-1] == SHUTDOWN, r.describe()


@pytest.mark.parametrize("command", ["run", "service"])
def test_enabled_run_starts_and_shuts_down_on_sigint(sandbox, command):
    before = utc_today()
    d = sandbox.start([command], env=ENABLED)
    d.wait_for_log(NETWORK_LINE)
    r = d.stop(signal.SIGINT)
    assert r.status == 0, r.describe()
    assert (r.stdout, r.stderr) == ("", ""), r.describe()
    assert r.log_files[0] in (f"vintra-dlp.log.{before}", f"vintra-dlp.log.{utc_today()}")
    for line in r.log_lines:
        assert LOG_LINE_RE.match(line), line
    msgs = r.messages
    assert msgs[:4] == [STARTING, NOT_FOUND, ("INFO", MAIN, "loaded 0 DLP policies"),
                        ("INFO", MAIN, NETWORK_LINE)], r.describe()
    assert msgs[-1] == SHUTDOWN, r.describe()
    assert msgs.count(SHUTDOWN) == 1
    assert [m for m in msgs if m[0] in ("WARN", "ERROR")] == [NOT_FOUND], r.describe()
    # Network DLP is off by default: nothing of the system is touched, nothing flushed.
    assert_network_untouched(sandbox)


def test_sigterm_ends_the_process_without_shutdown(sandbox):
    d = sandbox.start(["run"], env=ENABLED)
    d.wait_for_log(NETWORK_LINE)
    r = d.stop(signal.SIGTERM)
    assert r.status == -signal.SIGTERM, r.describe()
    assert SHUTDOWN not in r.messages, r.describe()
    assert STARTING in r.messages
    assert_network_untouched(sandbox)
