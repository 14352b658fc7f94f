"""Fetch the pinned nanoarrow sdist and extract its C library.

Usage: fetch_nanoarrow.py VERSION SHA256 DEST

The archive comes from the package indexes pip is configured to use and is cached,
verified, under ${XDG_CACHE_HOME:-~/.cache}/telvane/.  The sources under
subprojects/arrow-nanoarrow/src/nanoarrow/ land in DEST/nanoarrow/.
"""

import configparser
import hashlib
import os
import ssl
import subprocess
import sys
import tarfile
import tempfile
import urllib.parse
import urllib.request
from html.parser import HTMLParser
from pathlib import Path, PurePosixPath
from typing import NoReturn

PROJECT = "nanoarrow"
ASK_PIP = "from pip._internal.models.index import PyPI; print(PyPI.simple_url)"


def fail(message: str) -> NoReturn:
    sys.exit(f"nanoarrow fetch failed: {message}")


def sha256_of(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def pip_settings() -> dict[str, str]:
    """Index settings as pip reads them: later config files win, PIP_* variables win over files."""
    env_file = os.environ.get("PIP_CONFIG_FILE")
    xdg_dirs = os.environ.get("XDG_CONFIG_DIRS") or "/etc/xdg"
    files = [os.path.join(d, "pip", "pip.conf") for d in xdg_dirs.split(os.pathsep)]
    files.append("/etc/pip.conf")
    if not (env_file and os.path.exists(env_file)):
        config_home = os.environ.get("XDG_CONFIG_HOME") or os.path.expanduser("~/.config")
        files.append(os.path.expanduser("~/.pip/pip.conf"))
        files.append(os.path.join(config_home, "pip", "pip.conf"))
    files.append(os.path.join(sys.prefix, "pip.conf"))
    if env_file:
        files.append(env_file)
    config = configparser.RawConfigParser()
    config.read(files, encoding="utf-8")
    settings: dict[str, str] = {}
    for section in ("global", "install"):
        if config.has_section(section):
            settings.update(config.items(section))
    for key in ("index-url", "extra-index-url", "cert"):
        value = os.environ.get("PIP_" + key.upper().replace("-", "_"))
        if value is not None:
            settings[key] = value
    return settings


def pip_default_index() -> str:
    """Ask pip itself; PYTHONPATH is cleared so that pip's isolated build env does not hide it."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONNOUSERSITE")}
    interpreters = dict.fromkeys([sys.executable, getattr(sys, "_base_executable", sys.executable)])
    for python in interpreters:
        result = subprocess.run([python, "-c", ASK_PIP], env=env, capture_output=True, text=True)
        if result.returncode == 0 and result.stdout.strip():
            return result.stdout.strip()
    fail(f"no index-url is configured and pip is not importable from {' or '.join(interpreters)} "
         "to name its default index; set PIP_INDEX_URL")


class Links(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.hrefs: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        href = dict(attrs).get("href")
        if tag == "a" and href:
            self.hrefs.append(href)


def read_url(url: str, context: ssl.SSLContext, accept: str = "*/*") -> tuple[bytes, str]:
    parts = urllib.parse.urlsplit(url)
    if parts.scheme == "file" and os.path.isdir(urllib.request.url2pathname(parts.path)):
        url = url.rstrip("/") + "/index.html"
    request = urllib.request.Request(url, headers={"Accept": accept})
    with urllib.request.urlopen(request, timeout=60, context=context) as response:
        return response.read(), response.geturl()


def find_sdist(index: str, filename: str, context: ssl.SSLContext) -> str | None:
    page, page_url = read_url(f"{index.rstrip('/')}/{PROJECT}/", context, "text/html")
    links = Links()
    links.feed(page.decode("utf-8", "replace"))
    for href in links.hrefs:
        url = urllib.parse.urljoin(page_url, href)
        if urllib.parse.unquote(PurePosixPath(urllib.parse.urlsplit(url).path).name) == filename:
            return url.split("#")[0]
    return None


def download(filename: str, sha256: str, cached: Path) -> None:
    settings = pip_settings()
    indexes = [settings.get("index-url") or pip_default_index()]
    indexes += settings.get("extra-index-url", "").split()
    context = ssl.create_default_context(cafile=settings.get("cert"))
    tried: list[str] = []
    for index in indexes:
        try:
            url = find_sdist(index, filename, context)
            if url is None:
                tried.append(f"{index}: not listed")
                continue
            data = read_url(url, context)[0]
        except (OSError, ValueError) as error:
            tried.append(f"{index}: {error}")
            continue
        found = sha256_of(data)
        if found != sha256:
            fail(f"{url} has sha256 {found}, expected {sha256}")
        cached.parent.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=cached.parent, delete=False) as part:
            part.write(data)
        os.replace(part.name, cached)
        print(f"nanoarrow: downloaded {url} to {cached}")
        return
    fail(f"{filename} (sha256 {sha256}) not obtained from any index:\n  " + "\n  ".join(tried))


def extract(archive: Path, version: str, dest: Path) -> None:
    """Copy the C library out of the verified archive; unchanged files keep their mtime."""
    prefix = f"{PROJECT}-{version}/subprojects/arrow-nanoarrow/src/"
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
    filename = f"{PROJECT}-{version}.tar.gz"
    cache_home = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    cached = Path(cache_home, "telvane", filename)
    if cached.is_file():
        found = sha256_of(cached.read_bytes())
        if found != sha256:
            fail(f"cached {cached} has sha256 {found}, expected {sha256}; "
                 "delete it to download again")
        print(f"nanoarrow: using cached {cached}")
    else:
        download(filename, sha256, cached)
    extract(cached, version, Path(dest))


if __name__ == "__main__":
    main()
