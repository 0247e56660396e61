"""Throwaway-root sandbox for running the shipped vintra-dlp binary as root.

A Sandbox is a private mount namespace whose root is a fresh overlay of the host's "/"
(upper layer on a tmpfs), with /proc and /dev bound in and a host folder bound at
/results. A small holder process sits chrooted inside it for the sandbox's lifetime;
every command of the test is started in the holder's namespace and root with nsenter,
so nothing a test or the daemon writes (/etc/hosts, /etc/pf.conf, /Library, ...) can
reach the host, and the whole tree vanishes when the holder ends.

Files are read back through /proc/<holder>/root (reads only: an absolute symbolic link
inside the sandbox would resolve against the host there). Everything that writes runs
inside the sandbox.

See README.md for how to write a test.
"""

from __future__ import annotations

import ctypes
import datetime as _dt
import json
import os
import platform
import re
import shutil
import signal
import subprocess
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Mapping, Optional, Sequence, Union

DEFAULT_EXE = "/opt/vintra/vintra-dlp"
STANDIN_DIR = "/opt/standins"
STANDIN_BIN = STANDIN_DIR + "/bin"
STANDIN_CALLS = STANDIN_DIR + "/calls.jsonl"
STANDIN_RULES = STANDIN_DIR + "/rules.json"
STANDIN_NAMES = ("launchctl", "dscacheutil", "killall", "defaults", "pfctl")
DEFAULT_PATH = STANDIN_BIN + ":/usr/sbin:/usr/bin:/sbin:/bin"

# Generous bounds: they only matter when something hangs, and CI has 2 busy cores.
RUN_TIMEOUT = 20.0
LOG_TIMEOUT = 20.0
STOP_TIMEOUT = 20.0
POLL_INTERVAL = 0.02

LOG_LINE_RE = re.compile(
    r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z) (TRACE|DEBUG| INFO| WARN|ERROR) (\S+?): (.*)$"
)
LOG_FILE_PREFIX = "vintra-dlp.log."


class SandboxUnavailable(Exception):
    """Mount namespaces, tmpfs or overlay cannot be used here."""


def utc_today() -> str:
    return _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%d")


def _die_with_parent() -> None:
    # Children of the test process must not outlive it (a killed CI job must not leave a
    # daemon holding a namespace), and they must not share its terminal's SIGINT.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except OSError:
        pass


# --------------------------------------------------------------------------------------
# Log records


@dataclass
class LogRecord:
    time: str
    level: str  # "INFO", "WARN", ... (without the alignment space)
    target: str
    message: str  # the text after "target: ", continuation lines joined with "\n"
    raw: str

    def key(self) -> tuple:
        return (self.level, self.target, self.message)


def parse_log(lines: Iterable[str]) -> list[LogRecord]:
    """Splits log lines into records; a line that does not start a record continues the
    previous one (multi-line error renderings)."""
    records: list[LogRecord] = []
    for line in lines:
        m = LOG_LINE_RE.match(line)
        if m:
            records.append(LogRecord(m.group(1), m.group(2).strip(), m.group(3), m.group(4), line))
        elif records:
            last = records[-1]
            last.message += "\n" + line
            last.raw += "\n" + line
        else:
            records.append(LogRecord("", "", "", line, line))
    return records


def _matches(record: LogRecord, what: Union[str, re.Pattern]) -> bool:
    if isinstance(what, re.Pattern):
        return what.search(record.message) is not None
    return what in record.message


# --------------------------------------------------------------------------------------
# Results


@dataclass
class RunResult:
    args: list[str]
    status: int  # exit status, or minus the signal number (SIGTERM: -15)
    stdout: str
    stderr: str
    log_lines: list[str]  # all lines of the vintra-dlp.log.* files in the log directory
    log_files: list[str]  # their names, sorted
    files: dict[str, Optional[bytes]] = field(default_factory=dict)  # collected paths

    @property
    def records(self) -> list[LogRecord]:
        return parse_log(self.log_lines)

    @property
    def messages(self) -> list[tuple]:
        """(level, target, message) of each log record, in order."""
        return [r.key() for r in self.records]

    def describe(self) -> str:
        return (
            f"args={self.args} status={self.status}\n--- stdout ---\n{self.stdout}"
            f"--- stderr ---\n{self.stderr}--- log ({', '.join(self.log_files)}) ---\n"
            + "\n".join(self.log_lines)
        )


# --------------------------------------------------------------------------------------
# Sandbox


class Sandbox:
    """One fresh throwaway root. Create with Sandbox.create(); close() tears it down."""

    def __init__(self, holder: subprocess.Popen, workdir: Path, results: Path, nsenter: str):
        self._holder = holder
        self.workdir = workdir
        self.results = results  # host side of /results
        self._nsenter = nsenter
        self.exe = DEFAULT_EXE
        self._rules: list[dict] = []
        self._daemons: list["Daemon"] = []
        self._collect_seq = 0

    # ---- lifecycle -----------------------------------------------------------------

    @classmethod
    def create(cls, workdir: Path, assets: Optional[Path]) -> "Sandbox":
        """Builds the sandbox under workdir (a host folder: the tmpfs is mounted on
        workdir/root, and workdir/results is bound at /results). assets, when given,
        holds vintra-dlp and standin.py, installed at /opt/vintra/vintra-dlp and as the
        five stand-ins."""
        unshare = shutil.which("unshare")
        nsenter = shutil.which("nsenter")
        chroot = shutil.which("chroot")
        if not (unshare and nsenter and chroot):
            raise SandboxUnavailable("unshare, nsenter or chroot is not installed")
        root = workdir / "root"
        results = workdir / "results"
        root.mkdir(parents=True, exist_ok=True)
        results.mkdir(parents=True, exist_ok=True)
        script = r"""
set -eu
T=$1 R=$2 A=$3
mount -t tmpfs -o mode=0755,size=2g e2e-sandbox "$T"
mkdir "$T/u" "$T/w" "$T/m"
mount -t overlay overlay -o "lowerdir=/,upperdir=$T/u,workdir=$T/w" "$T/m"
mount --bind /proc "$T/m/proc"
mount --bind /dev "$T/m/dev"
mkdir -p "$T/m/results"
mount --bind "$R" "$T/m/results"
if [ -n "$A" ]; then
  mkdir -p "$T/m/opt/vintra" "$T/m/opt/standins/bin"
  cp "$A/vintra-dlp" "$T/m/opt/vintra/vintra-dlp"
  for n in launchctl dscacheutil killall defaults pfctl; do
    cp "$A/standin.py" "$T/m/opt/standins/bin/$n"
    chmod 0755 "$T/m/opt/standins/bin/$n"
  done
fi
exec chroot "$T/m" /bin/sh -c 'echo ready; exec cat >/dev/null'
"""
        holder = subprocess.Popen(
            [unshare, "-m", "--propagation", "private", "/bin/sh", "-c", script, "sh",
             str(root), str(results), str(assets) if assets else ""],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"},
            preexec_fn=_die_with_parent, start_new_session=True,
        )
        line = _readline_with_timeout(holder, 20.0)
        if line.strip() != b"ready":
            holder.kill()
            _, err = holder.communicate(timeout=10)
            raise SandboxUnavailable(
                "could not build the sandbox (unshare -m + tmpfs + overlay of / + chroot): "
                + (err.decode(errors="replace").strip() or f"status {holder.returncode}")
            )
        return cls(holder, workdir, results, nsenter)

    def close(self) -> None:
        for d in self._daemons:
            d.kill()
        if self._holder.poll() is None:
            try:
                self._holder.stdin.close()
                self._holder.wait(timeout=5)
            except (subprocess.TimeoutExpired, OSError):
                self._holder.kill()
                self._holder.wait(timeout=5)
        for stream in (self._holder.stdout, self._holder.stderr):
            if stream:
                stream.close()

    # ---- paths ---------------------------------------------------------------------

    @property
    def exe_dir(self) -> str:
        return os.path.dirname(self.exe)

    @property
    def default_log_dir(self) -> str:
        return os.path.join(self.exe_dir, "logs")

    def host_path(self, path: str) -> str:
        """Where the sandbox path can be READ from the host (never write through it)."""
        if not path.startswith("/"):
            raise ValueError(f"sandbox paths are absolute: {path!r}")
        return f"/proc/{self._holder.pid}/root{path}"

    # ---- running things inside -----------------------------------------------------

    def _argv(self, argv: Sequence[str], cwd: str) -> list[str]:
        return [self._nsenter, "-t", str(self._holder.pid), "-m", "-r", "-w", "--",
                "/usr/bin/env", "-C", cwd, "--", *argv]

    def _env(self, env: Optional[Mapping[str, Optional[str]]]) -> dict:
        merged = {"PATH": DEFAULT_PATH}
        for k, v in (env or {}).items():
            if v is None:
                merged.pop(k, None)
            else:
                merged[k] = v
        return merged

    def exec(self, argv: Sequence[str], *, input: Optional[bytes] = None,
             env: Optional[Mapping[str, Optional[str]]] = None, cwd: str = "/",
             timeout: float = RUN_TIMEOUT) -> subprocess.CompletedProcess:
        """Runs any program inside the sandbox as root and waits for it (bytes output)."""
        return subprocess.run(
            self._argv(argv, cwd), input=input, capture_output=True, env=self._env(env),
            timeout=timeout, preexec_fn=_die_with_parent, start_new_session=True,
        )

    def sh(self, script: str, *args: str, check: bool = True) -> subprocess.CompletedProcess:
        """Runs a shell script inside the sandbox ($1... are args); raises on failure
        unless check is false."""
        r = self.exec(["/bin/sh", "-c", script, "sh", *args])
        if check and r.returncode != 0:
            raise AssertionError(
                f"sandbox shell failed ({r.returncode}): {script}\n{r.stderr.decode(errors='replace')}")
        return r

    # ---- files ---------------------------------------------------------------------

    def write(self, path: str, data: Union[str, bytes], mode: int = 0o644) -> None:
        """Creates or replaces a file inside the sandbox (parents created)."""
        if isinstance(data, str):
            data = data.encode()
        r = self.exec(["/bin/sh", "-c",
                       'mkdir -p -- "$(dirname -- "$1")" && cat > "$1" && chmod "$2" "$1"',
                       "sh", path, format(mode, "o")], input=data)
        if r.returncode != 0:
            raise AssertionError(f"cannot write {path}: {r.stderr.decode(errors='replace')}")

    def mkdir(self, path: str, mode: int = 0o755) -> None:
        self.sh('mkdir -p -- "$1" && chmod "$2" "$1"', path, format(mode, "o"))

    def symlink(self, target: str, path: str) -> None:
        self.sh('mkdir -p -- "$(dirname -- "$2")" && ln -sfn -- "$1" "$2"', target, path)

    def remove(self, path: str) -> None:
        """rm -rf inside the sandbox."""
        self.sh('rm -rf -- "$1"', path)

    def exists(self, path: str) -> bool:
        return os.path.lexists(self.host_path(path))

    def is_dir(self, path: str) -> bool:
        p = self.host_path(path)
        return os.path.isdir(p) and not os.path.islink(p)

    def read_bytes(self, path: str) -> Optional[bytes]:
        """The file's content, or None when it does not exist."""
        try:
            with open(self.host_path(path), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def read_text(self, path: str) -> Optional[str]:
        data = self.read_bytes(path)
        return None if data is None else data.decode()

    def listdir(self, path: str) -> list[str]:
        try:
            return sorted(os.listdir(self.host_path(path)))
        except FileNotFoundError:
            return []

    def collect(self, paths: Iterable[str]) -> dict[str, Optional[bytes]]:
        """Copies paths out through /results (kept in the test's tmp folder for a look
        after a failure) and returns {path: content} for every regular file among them
        or below them; a path that does not exist maps to None. Symbolic links and
        other special files are copied but not returned (read them with sh())."""
        self._collect_seq += 1
        dest = f"/results/collected-{self._collect_seq}"
        out: dict[str, Optional[bytes]] = {}
        self.sh('mkdir -p "$1"', dest)
        for p in paths:
            r = self.sh('[ -e "$2" ] || [ -L "$2" ] || exit 3; cp -a --parents -- "$2" "$1"',
                        dest, p, check=False)
            if r.returncode == 3:
                out[p] = None
                continue
            if r.returncode != 0:
                raise AssertionError(f"cannot collect {p}: {r.stderr.decode(errors='replace')}")
            host = self.results / dest[len("/results/"):] / p.lstrip("/")
            if host.is_dir() and not host.is_symlink():
                for f in sorted(host.rglob("*")):
                    if f.is_file() and not f.is_symlink():
                        out[p.rstrip("/") + "/" + str(f.relative_to(host))] = f.read_bytes()
            elif host.is_file() and not host.is_symlink():
                out[p] = host.read_bytes()
        return out

    # ---- the binary and its neighbours ---------------------------------------------

    def install_exe(self, path: str) -> None:
        """Moves the binary to path (inside the sandbox); later runs start it there."""
        if path == self.exe:
            return
        self.sh('mkdir -p -- "$(dirname -- "$2")" && mv -- "$1" "$2"', self.exe, path)
        self.exe = path

    def copy_exe(self, path: str) -> str:
        """Puts a second copy of the binary at path and returns path."""
        self.sh('mkdir -p -- "$(dirname -- "$2")" && cp -- "$1" "$2"', self.exe, path)
        return path

    def write_config(self, text: str, name: str = "config.toml") -> str:
        """Writes the configuration file beside the binary; returns its path."""
        path = os.path.join(self.exe_dir, name)
        self.write(path, text)
        return path

    def write_policies(self, text: Union[str, bytes]) -> str:
        path = os.path.join(self.exe_dir, "dlp_policies.yaml")
        self.write(path, text)
        return path

    # ---- stand-ins -----------------------------------------------------------------

    def standin_rule(self, name: str, exit: int = 0, when: Union[str, Sequence[str]] = (),
                     stdout: str = "", stderr: str = "") -> None:
        """Adds a rule for a stand-in: calls of `name` whose arguments contain every text
        of `when` (each inside some argument) print stdout/stderr and exit with `exit`.
        Rules are tried in the order added; the first match wins; no match exits 0."""
        if name not in STANDIN_NAMES:
            raise ValueError(f"no stand-in named {name!r}")
        when = [when] if isinstance(when, str) else list(when)
        self._rules.append({"name": name, "when": when, "exit": exit,
                            "stdout": stdout, "stderr": stderr})
        self.write(STANDIN_RULES, json.dumps(self._rules, indent=1))

    def remove_standin(self, name: str) -> None:
        """Makes `name` a command that does not exist in the sandbox (also removes any
        real program of that name from the sandbox's PATH folders)."""
        self.sh('for d in $(echo "$2" | tr : " "); do rm -f -- "$d/$1"; done', name, DEFAULT_PATH)

    def calls(self) -> list[list[str]]:
        """Stand-in calls in order, each [name, arg1, ...]."""
        data = self.read_bytes(STANDIN_CALLS)
        if not data:
            return []
        return [json.loads(line) for line in data.decode().splitlines() if line]

    def call_lines(self) -> list[str]:
        """The calls as "name arg1 arg2 ..." (for readable asserts; use calls() when an
        argument may hold spaces)."""
        return [" ".join(c) for c in self.calls()]

    def clear_calls(self) -> None:
        self.remove(STANDIN_CALLS)

    # ---- the daemon ----------------------------------------------------------------

    def log_dir_for(self, log_dir: Optional[str]) -> str:
        return log_dir or self.default_log_dir

    def read_log(self, log_dir: Optional[str] = None) -> tuple[list[str], list[str]]:
        """(lines, file names) of every vintra-dlp.log.* file in the log directory, files
        in name (= date) order."""
        d = self.log_dir_for(log_dir)
        names = [n for n in self.listdir(d) if n.startswith(LOG_FILE_PREFIX)] if self.is_dir(d) else []
        lines: list[str] = []
        for n in names:
            data = self.read_bytes(os.path.join(d, n)) or b""
            lines.extend(data.decode(errors="replace").splitlines())
        return lines, names

    def start(self, args: Sequence[str], *, env: Optional[Mapping[str, Optional[str]]] = None,
              cwd: str = "/", exe: Optional[str] = None, log_dir: Optional[str] = None) -> "Daemon":
        """Starts the binary (exe, default self.exe) with args in the background."""
        d = Daemon(self, [exe or self.exe, *args], env, cwd, self.log_dir_for(log_dir))
        self._daemons.append(d)
        return d

    def run(self, args: Sequence[str], *, env: Optional[Mapping[str, Optional[str]]] = None,
            cwd: str = "/", exe: Optional[str] = None, log_dir: Optional[str] = None,
            timeout: float = RUN_TIMEOUT, collect: Iterable[str] = ()) -> RunResult:
        """Runs the binary to its end (killed and failed after timeout)."""
        return self.start(args, env=env, cwd=cwd, exe=exe, log_dir=log_dir).wait(
            timeout=timeout, collect=collect)


class Daemon:
    """A run of the binary inside a sandbox, in the background."""

    def __init__(self, sb: Sandbox, argv: list[str], env, cwd: str, log_dir: str):
        self.sb = sb
        self.argv = argv
        self.log_dir = log_dir
        n = len(sb._daemons) + 1
        self._out_path = sb.workdir / f"run-{n}.stdout"
        self._err_path = sb.workdir / f"run-{n}.stderr"
        with open(self._out_path, "wb") as out, open(self._err_path, "wb") as err:
            self.proc = subprocess.Popen(
                sb._argv(argv, cwd), stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                env=sb._env(env), preexec_fn=_die_with_parent, start_new_session=True,
            )
        self.result: Optional[RunResult] = None

    @property
    def pid(self) -> int:
        return self.proc.pid

    def running(self) -> bool:
        return self.proc.poll() is None

    def log_records(self) -> list[LogRecord]:
        return parse_log(self.sb.read_log(self.log_dir)[0])

    def _snapshot(self, status: int, collect: Iterable[str] = ()) -> RunResult:
        lines, names = self.sb.read_log(self.log_dir)
        return RunResult(
            args=self.argv[1:], status=status,
            stdout=self._out_path.read_bytes().decode(errors="replace"),
            stderr=self._err_path.read_bytes().decode(errors="replace"),
            log_lines=lines, log_files=names, files=self.sb.collect(collect) if collect else {},
        )

    def wait_for_log(self, what: Union[str, re.Pattern], timeout: float = LOG_TIMEOUT) -> LogRecord:
        """Waits until a log record whose message contains `what` (a text) or matches it
        (a compiled pattern) appears; fails if the process ends or time runs out first."""
        deadline = time.monotonic() + timeout
        while True:
            for r in self.log_records():
                if _matches(r, what):
                    return r
            if not self.running():
                res = self._snapshot(self.proc.returncode)
                raise AssertionError(f"process ended before logging {what!r}\n{res.describe()}")
            if time.monotonic() > deadline:
                self.kill()
                res = self._snapshot(self.proc.returncode)
                raise AssertionError(f"no log line {what!r} within {timeout}s (killed)\n{res.describe()}")
            time.sleep(POLL_INTERVAL)

    def wait_until_sigint_is_held(self, timeout: float = LOG_TIMEOUT) -> bool:
        """Waits until a SIGINT would no longer end the process by default: it is caught
        or ignored, or every thread blocks it or waits for signals in sigwait."""
        deadline = time.monotonic() + timeout
        while self.running() and time.monotonic() < deadline:
            if _sigint_held(self.pid):
                return True
            time.sleep(POLL_INTERVAL)
        return False

    def send_signal(self, sig: int) -> None:
        if sig == signal.SIGINT:
            self.wait_until_sigint_is_held()
        if self.running():
            os.kill(self.pid, sig)

    def wait(self, timeout: float = STOP_TIMEOUT, collect: Iterable[str] = ()) -> RunResult:
        """Waits for the end (kills and fails after timeout); returns the result."""
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            res = self._snapshot(self.proc.returncode)
            raise AssertionError(f"process did not end within {timeout}s (killed)\n{res.describe()}")
        self.result = self._snapshot(self.proc.returncode, collect)
        return self.result

    def stop(self, sig: int = signal.SIGINT, timeout: float = STOP_TIMEOUT,
             collect: Iterable[str] = ()) -> RunResult:
        """Sends sig (SIGINT: once the daemon holds it) and waits for the end."""
        self.send_signal(sig)
        return self.wait(timeout=timeout, collect=collect)

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)


# rt_sigtimedwait, per machine: a thread inside it takes the signals it waits for even
# though the kernel shows them unblocked for the duration of the call.
_SIGTIMEDWAIT_SYSCALL = {"x86_64": 128, "aarch64": 137}.get(platform.machine())


def _sigint_held(pid: int) -> bool:
    bit = 1 << (signal.SIGINT - 1)

    def mask(path: str, name: str) -> int:
        with open(path) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return int(line.split()[1], 16)
        return 0

    def in_sigwait(task: str) -> bool:
        try:
            with open(f"{task}/wchan") as f:
                if "sigtimedwait" in f.read():
                    return True
        except OSError:
            pass
        try:
            with open(f"{task}/syscall") as f:
                return f.read().split()[0] == str(_SIGTIMEDWAIT_SYSCALL)
        except (OSError, IndexError):
            return False

    try:
        status = f"/proc/{pid}/status"
        if (mask(status, "SigCgt") | mask(status, "SigIgn")) & bit:
            return True
        tasks = [f"/proc/{pid}/task/{t}" for t in os.listdir(f"/proc/{pid}/task")]
        return bool(tasks) and all(mask(f"{t}/status", "SigBlk") & bit or in_sigwait(t) for t in tasks)
    except (FileNotFoundError, ProcessLookupError, ValueError):
        return False


def _readline_with_timeout(proc: subprocess.Popen, timeout: float) -> bytes:
    import selectors

    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    try:
        if not sel.select(timeout):
            return b""
        return proc.stdout.readline()
    finally:
        sel.close()
