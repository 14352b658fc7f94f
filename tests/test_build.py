"""The fetch of the nanoarrow sources says in one message what is wrong."""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

FETCH = Path(__file__).resolve().parents[1] / "cmake" / "fetch_nanoarrow.py"
VERSION = "0.9.0"
PINNED = "1ce15bbed8532839347faa78824c5dbd3769bff60661003e34c6fba5dd881bd3"


def fetch(cache: Path, **pip_settings: str) -> subprocess.CompletedProcess:
    env = {**os.environ, "XDG_CACHE_HOME": str(cache), "PIP_CONFIG_FILE": os.devnull, **pip_settings}
    return subprocess.run([sys.executable, str(FETCH), VERSION, PINNED, str(cache / "out")],
                          env=env, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("case", ["tampered", "missing"])
def test_a_tampered_or_missing_archive_fails_with_one_message(tmp_path, case):
    archive = tmp_path / "telvane" / f"nanoarrow-{VERSION}.tar.gz"
    if case == "tampered":
        archive.parent.mkdir()
        archive.write_bytes(b"not the release")
        found = hashlib.sha256(b"not the release").hexdigest()
        expected = f"nanoarrow: {archive} has SHA-256 {found}, not the pinned {PINNED}: "
        done = fetch(tmp_path)
    else:
        (tmp_path / "no-links").mkdir()
        expected = f"nanoarrow: pip could not download {archive.name} from the indexes it is configured to use:"
        done = fetch(tmp_path, PIP_NO_INDEX="1", PIP_FIND_LINKS=str(tmp_path / "no-links"))
        assert not archive.exists()
    assert done.returncode == 1 and done.stderr.startswith(expected), done.stderr
    assert not (tmp_path / "out").exists()
