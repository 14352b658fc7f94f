"""Fetch the pinned nanoarrow sdist from the package indexes pip uses and extract its C library.

Usage: fetch_nanoarrow.py VERSION SHA256 DEST

The archive is looked up by name on the indexes and find-links locations of pip's configuration
(`pip config list`: index-url, extra-index-url, find-links, no-index, cert, proxy; PIP_*
variables included) through their simple API, and downloaded as it is: nothing of it is built.
It is kept in $XDG_CACHE_HOME/telvane (default ~/.cache/telvane) and checked against SHA256 on
every use.  The sources under subprojects/arrow-nanoarrow/src/nanoarrow/ land in DEST/nanoarrow/.
"""

from __future__ import annotations

import ast
import base64
import hashlib
import json
import os
import re
import ssl
import subprocess
import sys
import tarfile
import tempfile
import urllib.parse
import urllib.request
from html.parser import HTMLParser
from pathlib import Path, PurePosixPath
from typing import Any, NoReturn

PROJECT = "nanoarrow"
DEFAULT_INDEX = "https://pypi.org/simple"
# pip's config sections, least to most binding; PIP_* variables show as ":env:".
SECTIONS = ("global", "download", "install", ":env:")
ACCEPT = "application/vnd.pypi.simple.v1+json, application/vnd.pypi.simple.v1+html;q=0.2, text/html;q=0.1"


def fail(message: str) -> NoReturn:
    sys.exit(f"nanoarrow: {message}")


def pip_settings() -> dict[str, str]:
    """pip's configuration as it applies to a download, each key's most binding value."""
    # Without the build environment's PYTHONPATH, the interpreter's own pip answers: the
    # one installing telvane, so the build environment needs no pip of its own.
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    listed = subprocess.run([sys.executable, "-m", "pip", "config", "list"],
                            capture_output=True, text=True, env=env)
    if listed.returncode != 0:
        reason = (listed.stderr.strip().splitlines() or ["no output"])[-1]
        print(f"nanoarrow: no pip configuration ({reason}): using {DEFAULT_INDEX}", flush=True)
    found: dict[tuple[str, str], str] = {}
    for line in listed.stdout.splitlines():
        match = re.fullmatch(r"(.+?)\.([\w-]+)=(.*)", line)
        if match and match[1] in SECTIONS:
            found[match[1], match[2]] = ast.literal_eval(match[3])
    settings: dict[str, str] = {}
    for section in SECTIONS:
        settings.update({key: value for (where, key), value in found.items() if where == section})
    return settings


def locations(settings: dict[str, str]) -> list[str]:
    """Where pip would look for the project: find-links first, then the indexes' project pages."""
    links = settings.get("find-links", "").split()
    if settings.get("no-index", "").lower() in ("1", "true", "yes", "on"):
        return links
    indexes = [settings.get("index-url", DEFAULT_INDEX), *settings.get("extra-index-url", "").split()]
    return links + [index.rstrip("/") + f"/{PROJECT}/" for index in indexes]


class _Links(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.hrefs: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        href = dict(attrs).get("href")
        if tag == "a" and href:
            self.hrefs.append(href)


class Fetcher:
    def __init__(self, settings: dict[str, str]) -> None:
        cert = settings.get("cert")
        context = ssl.create_default_context(cafile=None if cert and os.path.isdir(cert) else cert,
                                             capath=cert if cert and os.path.isdir(cert) else None)
        handlers: list[urllib.request.BaseHandler] = [urllib.request.HTTPSHandler(context=context)]
        if settings.get("proxy"):
            proxy = settings["proxy"]
            handlers.append(urllib.request.ProxyHandler({"http": proxy, "https": proxy}))
        self.opener = urllib.request.build_opener(*handlers)
        self.credentials: dict[str, str] = {}

    def open(self, url: str, accept: str = "*/*") -> Any:
        """The response for a URL; credentials written in an index URL go to its host only."""
        parts = urllib.parse.urlsplit(url)
        if parts.username is not None:
            token = f"{urllib.parse.unquote(parts.username)}:{urllib.parse.unquote(parts.password or '')}"
            self.credentials[parts.hostname or ""] = base64.b64encode(token.encode()).decode()
            url = parts._replace(netloc=parts.netloc.rpartition("@")[2]).geturl()
        headers = {"Accept": accept, "User-Agent": "telvane-build"}
        if parts.hostname in self.credentials:
            headers["Authorization"] = f"Basic {self.credentials[parts.hostname]}"
        return self.opener.open(urllib.request.Request(url, headers=headers), timeout=60)

    def candidates(self, location: str, name: str) -> list[str]:
        """The URLs of the file `name` that a find-links location or project page lists."""
        if location.startswith("file:") or "://" not in location:
            local = Path(urllib.request.url2pathname(urllib.parse.urlsplit(location).path)
                         if location.startswith("file:") else location).resolve()
            if (local / name).is_file():  # a folder of files
                return [(local / name).as_uri()]
            page = local / "index.html" if local.is_dir() else local
            if not page.is_file():
                return []
            text, base, kind = page.read_text("utf-8", "replace"), page.as_uri(), "text/html"
        else:
            with self.open(location, ACCEPT) as response:
                text = response.read().decode("utf-8", "replace")
                base, kind = response.geturl(), response.headers.get("Content-Type", "")
        if "json" in kind:
            hrefs = [entry["url"] for entry in json.loads(text).get("files", [])
                     if entry.get("filename") == name]
        else:
            parser = _Links()
            parser.feed(text)
            hrefs = parser.hrefs
        urls = [urllib.parse.urljoin(base, href).partition("#")[0] for href in hrefs]
        return [url for url in urls if urllib.parse.unquote(url.rpartition("/")[2]) == name]

    def download(self, url: str, target: Path) -> str:
        """Save the file at `url` to `target`; returns its SHA-256."""
        digest = hashlib.sha256()
        with self.open(url) as response, open(target, "wb") as out:
            while block := response.read(1 << 20):
                digest.update(block)
                out.write(block)
        return digest.hexdigest()


def download(sha256: str, archive: Path) -> None:
    settings = pip_settings()
    fetcher = Fetcher(settings)
    archive.parent.mkdir(parents=True, exist_ok=True)
    problems, places = [], locations(settings)
    for location in places:
        try:
            urls = fetcher.candidates(location, archive.name)
        except (OSError, ValueError) as exc:
            problems.append(f"{location}: {exc}")
            continue
        for url in urls:
            print(f"nanoarrow: downloading {url}", flush=True)
            with tempfile.TemporaryDirectory(dir=archive.parent) as scratch:
                part = Path(scratch, archive.name)
                try:
                    found = fetcher.download(url, part)
                except OSError as exc:
                    problems.append(f"{url}: {exc}")
                    continue
                if found == sha256:
                    os.replace(part, archive)
                    return
                problems.append(f"{url}: SHA-256 {found}, not the pinned {sha256}")
    if not problems:
        problems = [f"no {archive.name} in {', '.join(places)}" if places else
                    "pip is configured with no index and no find-links"]
    fail(f"could not download {archive.name} from the indexes pip is configured to use:\n  "
         + "\n  ".join(problems))


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
            data = tar.extractfile(member).read()  # type: ignore[union-attr]
            if not target.is_file() or target.read_bytes() != data:
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(data)


def main() -> None:
    version, sha256, dest = sys.argv[1:]
    cache = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache", "telvane")
    archive = cache / f"nanoarrow-{version}.tar.gz"
    if not archive.is_file():
        download(sha256, archive)
    found = hashlib.sha256(archive.read_bytes()).hexdigest()
    if found != sha256:
        fail(f"{archive} has SHA-256 {found}, not the pinned {sha256}: "
             "it is not the release telvane builds with; delete it to download again")
    extract(archive, version, Path(dest))


if __name__ == "__main__":
    main()
