"""Service control: the launchd property list that `install` writes, the launchctl calls of
the four service subcommands with their messages and failures, and the backtrace switch
that the property list turns on."""

import plistlib
import re
import xml.dom.minidom

import pytest

NAME = "Korvane-VintraDlp"
LABEL = "com.korvane.Korvane-VintraDlp"
PLIST = "/Library/LaunchDaemons/com.korvane.Korvane-VintraDlp.plist"
TARGET = "system/" + LABEL
JOB_LOG_DIR = "/var/log/korvane"
INSTALLED = f"Service '{NAME}' installed at {PLIST}\n"
UNINSTALLED = f"Service '{NAME}' uninstalled\n"
BOOTSTRAP = ["launchctl", "bootstrap", "system", PLIST]
BOOTOUT = ["launchctl", "bootout", TARGET]
ENOENT = "No such file or directory (os error 2)"


@pytest.fixture(autouse=True)
def launch_daemons_dir(sandbox):
    # Present on every Mac; install does not create it.
    sandbox.mkdir("/Library/LaunchDaemons")


def plist_lines(exe_line: str) -> list[str]:
    return [
        '<?xml version="1.0" encoding="UTF-8"?>',
        '<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">',
        '<plist version="1.0">',
        "<dict>",
        "  <key>Label</key>",
        f"  <string>{LABEL}</string>",
        "  <key>ProgramArguments</key>",
        "  <array>",
        exe_line,
        "    <string>service</string>",
        "  </array>",
        "  <key>RunAtLoad</key>",
        "  <true/>",
        "  <key>KeepAlive</key>",
        "  <true/>",
        "  <key>StandardOutPath</key>",
        "  <string>/var/log/korvane/Korvane-VintraDlp.log</string>",
        "  <key>StandardErrorPath</key>",
        "  <string>/var/log/korvane/Korvane-VintraDlp.err</string>",
        "  <key>EnvironmentVariables</key>",
        "  <dict>",
        "    <key>VINTRA_DLP_BACKTRACE</key>",
        "    <string>1</string>",
        "  </dict>",
        "  <!-- Korvane EDR DLP enforcement (USB + cloud folders, content-aware) -->",
        "</dict>",
        "</plist>",
    ]


def expected_plist(exe: str) -> str:
    return "".join(line + "\n" for line in plist_lines(f"    <string>{exe}</string>"))


def parsed_plist(data: bytes) -> dict:
    xml.dom.minidom.parseString(data)  # well-formed XML, not just something plistlib accepts
    return plistlib.loads(data)


def job_dict(exe: str) -> dict:
    return {
        "Label": LABEL,
        "ProgramArguments": [exe, "service"],
        "RunAtLoad": True,
        "KeepAlive": True,
        "StandardOutPath": "/var/log/korvane/Korvane-VintraDlp.log",
        "StandardErrorPath": "/var/log/korvane/Korvane-VintraDlp.err",
        "EnvironmentVariables": {"VINTRA_DLP_BACKTRACE": "1"},
    }


def test_install_writes_the_27_line_plist_and_bootstraps_the_job(sandbox):
    exe = "/usr/local/bin/vintra-dlp"
    sandbox.install_exe(exe)
    assert not sandbox.exists(JOB_LOG_DIR)
    r = sandbox.run(["install"])
    assert r.status == 0, r.describe()
    assert (r.stdout, r.stderr) == (INSTALLED, "")
    data = sandbox.read_bytes(PLIST)
    text = data.decode()
    assert text == expected_plist(exe)
    lines = text.split("\n")
    assert len(lines) == 28 and lines[-1] == ""  # 27 lines, each ended by LF
    assert lines[8] == "    <string>/usr/local/bin/vintra-dlp</string>"
    assert lines[18] == "  <string>/var/log/korvane/Korvane-VintraDlp.err</string>"
    assert lines[21] == "    <key>VINTRA_DLP_BACKTRACE</key>"
    assert parsed_plist(data) == job_dict(exe)
    assert sandbox.is_dir(JOB_LOG_DIR)
    assert sandbox.listdir(JOB_LOG_DIR) == []
    assert sandbox.calls() == [BOOTSTRAP]
    # The daemon itself is not run by install: no log directory beside the binary.
    assert not sandbox.exists("/usr/local/bin/logs")


def test_second_install_with_the_job_loaded_fails_but_rewrites_the_plist(sandbox):
    first = sandbox.run(["install"])
    assert first.status == 0, first.describe()
    sandbox.write(PLIST, "stale\n")
    sandbox.standin_rule("launchctl", exit=5, when="bootstrap")
    r = sandbox.run(["install"])
    assert r.status == 1, r.describe()
    assert (r.stdout, r.stderr) == ("", f"Error: launchctl bootstrap failed for {NAME}\n")
    assert sandbox.read_text(PLIST) == expected_plist(sandbox.exe)
    assert sandbox.calls() == [BOOTSTRAP, BOOTSTRAP]


@pytest.mark.parametrize("exe", ["/opt/R&D <x>/vintra-dlp", "/opt/a\"b'c>/vintra-dlp"],
                         ids=["ampersand-less-than", "quotes-greater-than"])
def test_install_from_a_path_with_xml_special_characters_writes_well_formed_xml(sandbox, exe):
    sandbox.copy_exe(exe)
    r = sandbox.run(["install"], exe=exe)
    assert r.status == 0, r.describe()
    assert (r.stdout, r.stderr) == (INSTALLED, "")
    data = sandbox.read_bytes(PLIST)
    assert parsed_plist(data) == job_dict(exe)
    lines = data.decode().split("\n")
    want = plist_lines("")
    assert len(lines) == 28 and lines[-1] == ""
    assert lines[8].startswith("    <string>") and lines[8].endswith("</string>"), lines[8]
    assert lines[:8] + lines[9:27] == want[:8] + want[9:]
    assert sandbox.calls() == [BOOTSTRAP]


VICTIM = "/etc/vintra-victim"


@pytest.mark.parametrize("setup, error", [
    ('mkdir -p /Library && rm -rf /Library/LaunchDaemons && echo x > /Library/LaunchDaemons',
     "Not a directory (os error 20)"),
    (f'mkdir -p "{PLIST}/keep"', "Is a directory (os error 21)"),
    # A link planted at the plist's place is not followed: its target stays as it was.
    (f'mkdir -p /Library/LaunchDaemons && echo precious > {VICTIM} && ln -s {VICTIM} "{PLIST}"',
     "Too many levels of symbolic links (os error 40)"),
], ids=["daemons-dir-is-a-file", "plist-is-a-directory", "plist-is-a-symlink"])
def test_install_that_cannot_write_the_plist_reports_the_system_error(sandbox, setup, error):
    sandbox.sh(setup)
    r = sandbox.run(["install"])
    assert r.status == 1, r.describe()
    assert (r.stdout, r.stderr) == ("", f"Error: {error}\n")
    assert sandbox.calls() == []
    assert sandbox.is_dir(JOB_LOG_DIR)  # created before the write, whatever happens next
    if VICTIM in setup:
        assert sandbox.read_text(VICTIM) == "precious\n"


def test_install_without_launchctl_reports_the_system_error_and_keeps_the_plist(sandbox):
    sandbox.remove_standin("launchctl")
    r = sandbox.run(["install"])
    assert r.status == 1, r.describe()
    assert (r.stdout, r.stderr) == ("", f"Error: {ENOENT}\n")
    assert sandbox.read_text(PLIST) == expected_plist(sandbox.exe)


@pytest.mark.parametrize("standin", ["ok", "failing", "missing"])
def test_uninstall_with_nothing_installed_succeeds_whatever_launchctl_does(sandbox, standin):
    if standin == "failing":
        sandbox.standin_rule("launchctl", exit=3, stderr="Boot-out failed: 3: No such process\n")
    elif standin == "missing":
        sandbox.remove_standin("launchctl")
    r = sandbox.run(["uninstall"])
    assert r.status == 0, r.describe()
    assert r.stdout == UNINSTALLED
    assert r.stderr == ("Boot-out failed: 3: No such process\n" if standin == "failing" else "")
    assert sandbox.calls() == ([] if standin == "missing" else [BOOTOUT])
    assert not sandbox.exists(PLIST)


def test_uninstall_after_install_deletes_the_plist_and_keeps_the_job_logs(sandbox):
    assert sandbox.run(["install"]).status == 0
    sandbox.write(JOB_LOG_DIR + "/Korvane-VintraDlp.err", "old\n")
    r = sandbox.run(["uninstall"])
    assert r.status == 0, r.describe()
    assert (r.stdout, r.stderr) == (UNINSTALLED, "")
    assert not sandbox.exists(PLIST)
    assert sandbox.is_dir("/Library/LaunchDaemons")
    assert sandbox.listdir(JOB_LOG_DIR) == ["Korvane-VintraDlp.err"]
    assert sandbox.calls() == [BOOTSTRAP, BOOTOUT]


def test_uninstall_that_cannot_delete_the_plist_fails_after_the_bootout(sandbox):
    sandbox.mkdir(PLIST + "/keep")
    r = sandbox.run(["uninstall"])
    assert r.status == 1, r.describe()
    assert r.stdout == ""
    assert re.fullmatch(r"Error: [^\n]+ \(os error \d+\)\n", r.stderr), r.describe()
    assert sandbox.is_dir(PLIST + "/keep")
    assert sandbox.calls() == [BOOTOUT]


@pytest.mark.parametrize("command, args, done, failed", [
    ("start", ["kickstart", TARGET], f"Service '{NAME}' started",
     f"launchctl kickstart failed for {NAME}"),
    ("stop", ["kickstart", "-k", TARGET], f"Service '{NAME}' stopped (will restart if KeepAlive=true)",
     f"launchctl kickstart -k failed for {NAME}"),
])
@pytest.mark.parametrize("standin", ["ok", "failing", "missing"])
def test_start_and_stop_kickstart_the_job(sandbox, command, args, done, failed, standin):
    # launchctl shares the terminal: what it prints comes before the program's own line.
    if standin == "ok":
        sandbox.standin_rule("launchctl", stdout="kickstarted\n")
    elif standin == "failing":
        sandbox.standin_rule("launchctl", exit=113, stderr="Could not find service\n")
    else:
        sandbox.remove_standin("launchctl")
    r = sandbox.run([command])
    expected = {
        "ok": (0, "kickstarted\n" + done + "\n", ""),
        "failing": (1, "", f"Could not find service\nError: {failed}\n"),
        "missing": (1, "", f"Error: {ENOENT}\n"),
    }[standin]
    assert (r.status, r.stdout, r.stderr) == expected, r.describe()
    assert sandbox.calls() == ([] if standin == "missing" else [["launchctl", *args]])
    assert not sandbox.exists(PLIST)


BACKTRACE_FRAME = re.compile(r"  \d+: \S")


def stack_trace(stderr: str) -> list[str]:
    head, sep, tail = stderr.partition("\n\nStack backtrace:\n")
    return tail.rstrip("\n").split("\n") if sep else []


@pytest.mark.parametrize("switch", [None, "1"], ids=["off", "on"])
def test_backtrace_switch_adds_a_stack_trace_to_the_fatal_report(sandbox, switch):
    sandbox.write("/var/lib/vintra-logs", "not a directory\n")
    r = sandbox.run(["service"], env={"EDR__LOGGING__DIRECTORY": "/var/lib/vintra-logs",
                                      "VINTRA_DLP_BACKTRACE": switch})
    assert r.status == 101, r.describe()
    assert "initializing rolling file appender failed" in r.stderr, r.describe()
    frames = stack_trace(r.stderr)
    if switch is None:
        assert "backtrace" not in r.stderr.lower(), r.describe()
    else:
        assert len(frames) >= 2, r.describe()
        assert all(BACKTRACE_FRAME.match(f) for f in frames), r.describe()
        # The report still names the message and its cause before the trace.
        head = r.stderr.split("\n\nStack backtrace:\n")[0]
        assert "initializing rolling file appender failed" in head
        assert "failed to create log directory" in head or "failed to create log file" in head


def test_backtrace_switch_also_applies_to_errors_of_the_service_commands(sandbox):
    sandbox.standin_rule("launchctl", exit=1)
    r = sandbox.run(["start"], env={"VINTRA_DLP_BACKTRACE": "1"})
    assert r.status == 1, r.describe()
    assert r.stderr.startswith(f"Error: launchctl kickstart failed for {NAME}\n\nStack backtrace:\n"), r.describe()
    frames = stack_trace(r.stderr)
    assert frames and all(BACKTRACE_FRAME.match(f) for f in frames), r.describe()
