"""Fetch the pinned nanoarrow sdist with pip and extract its C library.

Usage: fetch_nanoarrow.py VERSION SHA256 DEST

pip downloads the archive from the indexes it is configured to use into
$XDG_CACHE_HOME/telvane (default ~/.cache/telvane), where it is kept and checked against
SHA256 on every use.  The sources under subprojects/arrow-nanoarrow/src/nanoarrow/ land in
DEST/nanoarrow/.
"""

import hashlib
import os
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path, PurePosixPath
from typing import NoReturn


def fail(message: str) -> NoReturn:
    sys.exit(f"nanoarrow: {message}")


def download(version: str, archive: Path) -> None:
    # pip reads the sdist's metadata before it saves the file, which builds nanoarrow's
    # Python package once: a minute or more, paid only when the cache is empty.
    print(f"nanoarrow: downloading {archive.name} with pip", flush=True)
    archive.parent.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=archive.parent) as scratch:
        pip = subprocess.run(
            [sys.executable, "-m", "pip", "download", "--no-deps", "--no-binary", "nanoarrow",
             "--dest", scratch, f"nanoarrow=={version}"],
            capture_output=True, text=True)
        downloaded = Path(scratch, archive.name)
        if pip.returncode != 0 or not downloaded.is_file():
            last_lines = (pip.stderr.strip() or pip.stdout.strip()).splitlines()[-3:]
            fail(f"pip could not download {archive.name} from the indexes it is configured "
                 f"to use:\n  " + "\n  ".join(last_lines))
        os.replace(downloaded, archive)


def extract(archive: Path, version: str, dest: Path) -> None:
    """Copy the C library out of the verified archive; unchanged files keep their mtime."""
    prefix = f"nanoarrow-{version}/subprojects/arrow-nanoarrow/src/"
    with tarfile.open(archive) as tar:
        members = [m for m in tar.getmembers()
                   if m.isfile() and m.name.startswith(prefix + "nanoarrow/")]
        if not members:
            fail(f"{archive} has no {prefix}nanoarrow/ directory")
        for member in members:
            target = dest.joinpath(*PurePosixPath(member.name[len(prefix):]).parts)
            data = tar.extractfile(member).read()
            if not target.is_file() or target.read_bytes() != data:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)


def main() -> None:
    version, sha256, dest = sys.argv[1:]
    cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache", "telvane")
    archive = cache / f"nanoarrow-{version}.tar.gz"
    if not archive.is_file():
        download(version, archive)
    found = hashlib.sha256(archive.read_bytes()).hexdigest()
    if found != sha256:
        fail(f"{archive} has SHA-256 {found}, not the pinned {sha256}: "
             "it is not the release telvane builds with; delete it to download again")
    extract(archive, version, Path(dest))


if __name__ == "__main__":
    main()
