"""The command line: help, usage errors and their exit statuses."""

import re

import pytest

COMMANDS = ["run", "service", "install", "uninstall", "start", "stop", "help"]
HELP_LINE = "Print this message or the help of the given subcommand(s)"


def check_program_help(text: str, prog: str) -> None:
    lines = text.splitlines()
    assert lines[0] == "Korvane EDR DLP enforcement", text
    assert lines[1] == "", text
    assert lines[2].startswith(f"Usage: {prog} "), text
    # The command list: each command starts a line of its own, in this order.
    listed = [m.group(1) for m in (re.match(r"^\s+(\S+)", l) for l in lines) if m]
    commands = [w for w in listed if w in COMMANDS]
    assert commands == COMMANDS, text
    help_entry = next(l for l in lines if re.match(r"^\s+help\b", l))
    assert help_entry.split(None, 1)[1] == HELP_LINE, text
    options = [l for l in lines if "--help" in l]
    assert len(options) == 1 and "-h" in options[0] and options[0].rstrip().endswith("Print help"), text
    assert "--version" not in text and "-V" not in text, text


@pytest.mark.parametrize("args", [["--help"], ["help"], ["-h"]])
def test_help_goes_to_stdout_with_status_0(sandbox, args):
    r = sandbox.run(args)
    assert r.status == 0, r.describe()
    assert r.stderr == ""
    check_program_help(r.stdout, "vintra-dlp")


def test_no_arguments_prints_the_same_help_to_stderr_with_status_2(sandbox):
    help_text = sandbox.run(["--help"]).stdout
    r = sandbox.run([])
    assert r.status == 2, r.describe()
    assert r.stdout == ""
    assert r.stderr == help_text


@pytest.mark.parametrize("args", [["help", "run"], ["run", "--help"], ["run", "-h"]])
def test_subcommand_help(sandbox, args):
    r = sandbox.run(args)
    assert r.status == 0, r.describe()
    assert r.stderr == ""
    assert "Usage: vintra-dlp run" in r.stdout
    assert "--help" in r.stdout


@pytest.mark.parametrize("args", [
    ["run", "now"],
    ["stop", "--force"],
    ["--version"],
    ["-V"],
    ["bogus"],
    ["service", "extra"],
    ["--help-me"],
])
def test_usage_errors_exit_2(sandbox, args):
    r = sandbox.run(args)
    assert r.status == 2, r.describe()
    assert r.stdout == ""
    assert r.stderr != ""
    assert not sandbox.exists("/opt/vintra/logs")
    assert sandbox.calls() == []


def test_help_names_the_program_by_the_file_name_it_was_started_under(sandbox):
    exe = sandbox.copy_exe("/usr/local/sbin/dlp-agent")
    r = sandbox.run(["help"], exe=exe)
    assert r.status == 0, r.describe()
    check_program_help(r.stdout, "dlp-agent")
    r = sandbox.run(["help", "run"], exe=exe)
    assert "Usage: dlp-agent run" in r.stdout, r.describe()
    r = sandbox.run([], exe=exe)
    assert r.status == 2 and "Usage: dlp-agent " in r.stderr, r.describe()
