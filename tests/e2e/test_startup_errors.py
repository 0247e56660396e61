"""Start-up failures: a bad configuration (status 1, before any log file exists) and a
log directory that cannot be used (status 101)."""

import pytest


def assert_nothing_changed(sandbox):
    assert not sandbox.exists("/opt/vintra/logs"), sandbox.listdir("/opt/vintra")
    assert sandbox.calls() == []
    with open("/etc/hosts", "rb") as f:
        assert sandbox.read_bytes("/etc/hosts") == f.read()


@pytest.mark.parametrize("env, config, named", [
    ({"EDR__VINTRA_DLP__ENABLED": "maybe"}, None, "vintra_dlp.enabled"),
    ({"EDR__VINTRA_DLP__ENABLED": "2"}, None, "vintra_dlp.enabled"),
    ({"EDR__VINTRA_DLP__NETWORK__IPV6_BLOCK": ""}, None, "vintra_dlp.network.ipv6_block"),
    ({"EDR__VINTRA_DLP__NETWORK__BLOCKED_DOMAINS": "x"}, None, "vintra_dlp.network.blocked_domains"),
    # A malformed value in a section this program never reads still stops it.
    ({}, "[vintra_threats]\nioc_min_confidence = 4294967296\n", "vintra_threats.ioc_min_confidence"),
    ({}, "[vintra_dlp\nenabled = true\n", "/opt/vintra/config.toml"),
    # Even with the section enabled, nothing starts.
    ({"EDR__VINTRA_DLP__ENABLED": "true"}, "[vintra_dlp]\nenabled = true\nusb_poll_seconds = -5\n",
     "vintra_dlp.usb_poll_seconds"),
], ids=["enabled-maybe", "enabled-2", "ipv6-empty", "domains-single", "ioc-too-large",
        "toml-syntax", "negative-unsigned"])
def test_configuration_error_exits_1_before_logging(sandbox, env, config, named):
    if config is not None:
        sandbox.write_config(config)
    r = sandbox.run(["run"], env=env)
    assert r.status == 1, r.describe()
    assert r.stderr.startswith("Error: "), r.describe()
    assert named in r.stderr, r.describe()
    assert r.stdout == ""
    assert_nothing_changed(sandbox)


def test_largest_ioc_min_confidence_is_accepted(sandbox):
    sandbox.write_config("[vintra_threats]\nioc_min_confidence = 4294967295\n")
    r = sandbox.run(["run"])
    assert r.status == 0, r.describe()


@pytest.mark.parametrize("command", ["run", "service"])
def test_log_directory_that_is_a_regular_file_is_fatal(sandbox, command):
    sandbox.write("/var/lib/vintra-logs", "not a directory\n")
    r = sandbox.run([command], env={"EDR__LOGGING__DIRECTORY": "/var/lib/vintra-logs"})
    assert r.status == 101, r.describe()
    assert "initializing rolling file appender failed" in r.stderr, r.describe()
    assert "failed to create log directory" in r.stderr or "failed to create log file" in r.stderr, r.describe()
    assert sandbox.read_text("/var/lib/vintra-logs") == "not a directory\n"
    assert sandbox.calls() == []
