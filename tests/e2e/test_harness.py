"""The sandbox itself: what the other tests rely on (isolation, stand-ins, collection)."""

import json


def test_changes_stay_in_the_sandbox(sandbox):
    with open("/etc/hosts", "rb") as f:
        host_hosts = f.read()
    sandbox.sh('echo "127.0.0.1 leaked.example" >> /etc/hosts; mkdir -p "/Library/Managed Preferences"; '
               'echo x > "/Library/Managed Preferences/a.plist"')
    files = sandbox.collect(["/etc/hosts", "/Library", "/etc/pf.anchors/none"])
    assert files["/etc/hosts"] == host_hosts + b"127.0.0.1 leaked.example\n"
    assert files["/Library/Managed Preferences/a.plist"] == b"x\n"
    assert files["/etc/pf.anchors/none"] is None
    with open("/etc/hosts", "rb") as f:
        assert f.read() == host_hosts


def test_every_test_gets_a_fresh_root(sandbox):
    assert b"leaked.example" not in sandbox.read_bytes("/etc/hosts")
    assert not sandbox.exists("/Library/Managed Preferences/a.plist")
    assert sandbox.calls() == []


def test_standins_record_calls_and_follow_rules(sandbox):
    sandbox.standin_rule("defaults", exit=1, when=["write", "com.google.Chrome"], stderr="denied\n")
    sandbox.standin_rule("defaults", exit=4, when="com.google.Chrome")
    sandbox.standin_rule("pfctl", stdout="Status: Enabled\n", when="-s")
    script = """
    defaults write "/Library/Managed Preferences/com.google.Chrome" DnsOverHttpsMode off; echo "chrome=$?"
    defaults delete "/Library/Managed Preferences/com.google.Chrome" DnsOverHttpsMode; echo "chrome-del=$?"
    defaults write "/Library/Managed Preferences/com.microsoft.Edge" DnsOverHttpsMode off; echo "edge=$?"
    pfctl -s info; echo "pfctl=$?"
    launchctl bootout system/x; echo "launchctl=$?"
    """
    r = sandbox.exec(["/bin/sh", "-c", script])
    assert r.stdout.decode().split() == ["chrome=1", "chrome-del=4", "edge=0", "Status:", "Enabled",
                                         "pfctl=0", "launchctl=0"]
    assert r.stderr == b"denied\n"
    assert sandbox.calls()[0] == ["defaults", "write", "/Library/Managed Preferences/com.google.Chrome",
                                  "DnsOverHttpsMode", "off"]
    assert sandbox.call_lines()[1:] == [
        "defaults delete /Library/Managed Preferences/com.google.Chrome DnsOverHttpsMode",
        "defaults write /Library/Managed Preferences/com.microsoft.Edge DnsOverHttpsMode off",
        "pfctl -s info",
        "launchctl bootout system/x",
    ]
    json.loads(sandbox.read_text("/opt/standins/rules.json"))
    sandbox.clear_calls()
    sandbox.remove_standin("killall")
    r = sandbox.exec(["/bin/sh", "-c", "killall -HUP mDNSResponder"])
    assert r.returncode == 127
    assert sandbox.calls() == []
