"""The nanoarrow fetch keeps no archive but the pinned release, whatever the index pip is
configured to use serves."""

import gzip
import hashlib
import io
import os
import subprocess
import sys
import tarfile
from pathlib import Path

import pytest

FETCH = Path(__file__).resolve().parents[1] / "cmake" / "fetch_nanoarrow.py"
VERSION = "0.0.1"
NAME = f"nanoarrow-{VERSION}.tar.gz"
HEADER = f"nanoarrow-{VERSION}/subprojects/arrow-nanoarrow/src/nanoarrow/nanoarrow.h"


def archive(text: bytes = b"// the header\n") -> bytes:
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w") as tar:
        member = tarfile.TarInfo(HEADER)
        member.size = len(text)
        tar.addfile(member, io.BytesIO(text))
    return gzip.compress(out.getvalue(), mtime=0)


PINNED = hashlib.sha256(archive()).hexdigest()


def fetch(tmp_path: Path, **pip: str) -> subprocess.CompletedProcess[str]:
    """The fetch run with no pip configuration but the PIP_* variables given."""
    env = {key: value for key, value in os.environ.items() if not key.startswith("PIP_")}
    env.update(PIP_CONFIG_FILE=os.devnull, XDG_CACHE_HOME=str(tmp_path / "cache"), **pip)
    return subprocess.run([sys.executable, FETCH, VERSION, PINNED, tmp_path / "out"],
                          capture_output=True, text=True, env=env)


def index(root: Path, data: bytes) -> str:
    """A static simple index holding `data` as the archive; its URL."""
    (root / "files").mkdir(parents=True)
    (root / "files" / NAME).write_bytes(data)
    (root / "simple" / "nanoarrow").mkdir(parents=True)
    (root / "simple" / "nanoarrow" / "index.html").write_text(
        f'<a href="../../files/{NAME}#sha256=0">{NAME}</a>\n<a href="../../files/nanoarrow-9.tar.gz">x</a>')
    (root / "simple" / "other").mkdir()
    return (root / "simple").as_uri()


CHANGED = archive(b"// changed\n")


@pytest.mark.parametrize("served, pip, message", [
    (CHANGED, {}, f"SHA-256 {hashlib.sha256(CHANGED).hexdigest()}, not the pinned {PINNED}"),
    (archive(), {"PIP_NO_INDEX": "1"}, "pip is configured with no index and no find-links"),
], ids=["another archive", "no index"])
def test_no_archive_but_the_pinned_one_is_kept(tmp_path, served, pip, message):
    done = fetch(tmp_path, PIP_INDEX_URL=index(tmp_path / "index", served), **pip)
    assert done.returncode == 1 and message in done.stderr
    assert done.stderr.startswith(f"nanoarrow: could not download {NAME} from the indexes pip is configured to use:")
    assert not (tmp_path / "out").exists() and not (tmp_path / "cache" / "telvane" / NAME).exists()
