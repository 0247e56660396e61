"""Fixtures of the end-to-end suite: `sandbox` gives each test a fresh throwaway root with
the shipped binary installed at /opt/vintra/vintra-dlp and recording stand-ins for the
system commands first on PATH. See README.md."""

from __future__ import annotations

import os
import shutil
import sys
from pathlib import Path

import pytest

from harness import Sandbox, SandboxUnavailable

HERE = Path(__file__).resolve().parent


def _binary_path() -> Path:
    if os.environ.get("VINTRA_DLP_BIN"):
        return Path(os.environ["VINTRA_DLP_BIN"])
    build = os.environ.get("VINTRA_BUILD_DIR")
    if build:
        return Path(build) / "src" / "vintra-dlp"
    return HERE.parent.parent / "build" / "src" / "vintra-dlp"


class _Session:
    def __init__(self, assets: Path | None, skip_reason: str | None, fail_reason: str | None):
        self.assets = assets
        self.skip_reason = skip_reason
        self.fail_reason = fail_reason


@pytest.fixture(scope="session")
def e2e_session(tmp_path_factory) -> _Session:
    """Checks once that a sandbox can be built here and stages the binary and the
    stand-in script that every sandbox copies in."""
    reason = None
    if not sys.platform.startswith("linux"):
        reason = "needs Linux mount namespaces"
    elif os.geteuid() != 0:
        reason = "needs root (mount namespaces, overlay, chroot)"
    else:
        try:
            probe = Sandbox.create(tmp_path_factory.mktemp("probe"), None)
            try:
                r = probe.sh("test -d /proc/self && echo ok", check=False)
                if r.stdout.strip() != b"ok":
                    reason = "a command inside the sandbox did not run: " + r.stderr.decode(errors="replace")
            finally:
                probe.close()
        except SandboxUnavailable as e:
            reason = str(e)
        except OSError as e:
            reason = f"cannot start unshare: {e}"
    if reason:
        return _Session(None, "end-to-end sandbox unavailable: " + reason, None)

    binary = _binary_path()
    if not binary.is_file():
        return _Session(None, None, f"vintra-dlp binary not found at {binary}: build the target "
                        "vintra-dlp or set VINTRA_DLP_BIN")
    assets = tmp_path_factory.mktemp("assets")
    shutil.copy2(binary, assets / "vintra-dlp")
    shutil.copy2(HERE / "standin.py", assets / "standin.py")
    return _Session(assets, None, None)


@pytest.fixture
def sandbox(e2e_session, tmp_path):
    """A fresh throwaway root for this test (torn down afterwards, daemons killed)."""
    if e2e_session.skip_reason:
        pytest.skip(e2e_session.skip_reason)
    if e2e_session.fail_reason:
        pytest.fail(e2e_session.fail_reason)
    sb = Sandbox.create(tmp_path / "sandbox", e2e_session.assets)
    try:
        yield sb
    finally:
        sb.close()
