#!/usr/bin/python3 -IS
# Recording stand-in for a system command (launchctl, dscacheutil, killall, defaults,
# pfctl) inside the end-to-end sandbox. Installed once per command name under
# /opt/standins/bin; the name it was started under says which command it plays.
#
# Every call appends one line to /opt/standins/calls.jsonl: a JSON array of the command
# name and its arguments, so arguments with spaces stay unambiguous.
#
# /opt/standins/rules.json (optional) is a JSON list of rules, tried in order; the first
# rule whose "name" is this command and whose every "when" text occurs inside at least
# one argument decides the outcome: "stdout" and "stderr" are written and the process
# exits with "exit". Without a matching rule the stand-in prints nothing and exits 0.
import json
import os
import sys

BASE = "/opt/standins"


def main() -> int:
    name = os.path.basename(sys.argv[0])
    args = sys.argv[1:]
    line = json.dumps([name] + args) + "\n"
    fd = os.open(os.path.join(BASE, "calls.jsonl"), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line.encode("ascii"))
    finally:
        os.close(fd)

    try:
        with open(os.path.join(BASE, "rules.json"), encoding="utf-8") as f:
            rules = json.load(f)
    except FileNotFoundError:
        rules = []

    for rule in rules:
        if rule.get("name") != name:
            continue
        if all(any(text in arg for arg in args) for text in rule.get("when", [])):
            sys.stdout.write(rule.get("stdout", ""))
            sys.stderr.write(rule.get("stderr", ""))
            sys.stdout.flush()
            sys.stderr.flush()
            return int(rule.get("exit", 0))
    return 0


if __name__ == "__main__":
    sys.exit(main())
