"""The nanoarrow fetch refuses an archive that is not the pinned release, in one message."""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

FETCH = Path(__file__).resolve().parents[1] / "cmake" / "fetch_nanoarrow.py"
PINNED = "1ce15bbed8532839347faa78824c5dbd3769bff60661003e34c6fba5dd881bd3"


def test_a_tampered_archive_fails_with_one_message(tmp_path):
    archive = tmp_path / "telvane" / "nanoarrow-0.9.0.tar.gz"
    archive.parent.mkdir()
    archive.write_bytes(b"not the release")
    done = subprocess.run([sys.executable, FETCH, "0.9.0", PINNED, tmp_path / "out"], capture_output=True,
                          text=True, env={**os.environ, "XDG_CACHE_HOME": str(tmp_path)})
    found = hashlib.sha256(b"not the release").hexdigest()
    assert done.returncode == 1 and not (tmp_path / "out").exists()
    assert done.stderr.startswith(f"nanoarrow: {archive} has SHA-256 {found}, not the pinned {PINNED}: ")
