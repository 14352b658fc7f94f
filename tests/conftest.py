"""Fixtures and files the test modules share."""

import json
import logging
import os
import subprocess
import sys
import textwrap
import urllib.request
from collections.abc import Callable
from pathlib import Path

import pytest

from telvane import _cli
from telvane._writer import DOUBLE, FLOAT, Var, write_ibt
from builders import write_channels

SAMPLE = Path(__file__).resolve().parents[2] / "shared" / "samples" / "redbullring_amg.ibt"
# A Speed channel, and a SessionTime of count 0 in the last 7 bytes of the record: the parse
# accepts its empty extent, but the time base reads 8 bytes at 93 in a 100-byte record area.
OVERRUN = write_ibt([Var("SessionTime", DOUBLE, 93, count=0), Var("Speed", FLOAT, 0)], bytes(100), buf_len=100)
SPEED = write_channels({"Speed": (FLOAT, [1.0, 2.0])})  # a valid file: SessionTime and Speed, two records
NO_SESSION_TIME = write_ibt([Var("Speed", FLOAT, 0)], bytes(8))


# AddressSanitizer's quarantine keeps freed blocks resident and its allocator maps regions as
# it grows, so under it the tests that count memory and mappings would measure ASan.
counts_memory = pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                                   reason="memory and mapping counts are ASan's own under ASan")
# What some checks need and not every platform of the wheels has.
linux_only = pytest.mark.skipif(sys.platform != "linux", reason="reads /proc or caps the address space")
posix_only = pytest.mark.skipif(os.name != "posix", reason="needs POSIX signals, FIFOs or sockets")


# Each test runs in its own directory: a Python subprocess started in the project root would
# import the source package, which lacks the compiled module, instead of the installed one.
@pytest.fixture(autouse=True)
def outside_the_source_tree(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.chdir(tmp_path)


@pytest.fixture(scope="session")
def ibt() -> Callable:
    from telvane._telvane_rs import ibt

    return ibt


@pytest.fixture(scope="session")
def fails(ibt: Callable) -> Callable[..., tuple[type, str]]:
    """Calls ibt and returns the exact type and text of what it raises."""

    def call(*args: object, **kwargs: object) -> tuple[type, str]:
        with pytest.raises(BaseException) as info:  # the internal-error type derives from BaseException
            ibt(*args, **kwargs)
        return type(info.value), str(info.value)

    return call


@pytest.fixture(scope="session")
def internal_error(fails: Callable) -> type:
    """The module's internal-error type, met through a read past the record area."""
    kind, _ = fails(OVERRUN)
    assert kind.__bases__ == (BaseException,) and "BaseException" in kind.__doc__
    return kind


@pytest.fixture
def write_file(tmp_path: Path) -> Callable[..., str]:
    """Writes bytes to a fresh file under tmp_path and returns its path as text."""
    counter = iter(range(1_000_000))

    def write(data: bytes, name: str = "") -> str:
        path = tmp_path / (name or f"f{next(counter)}.ibt")
        path.write_bytes(data)
        return str(path)

    return write


@pytest.fixture
def sample() -> Path:
    if not SAMPLE.is_file():
        pytest.skip(f"real recording {SAMPLE} is absent")
    return SAMPLE


@pytest.fixture(scope="module")
def recording(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The synthetic sample as a file, synthetic_sample.ibt, in a directory of each module's own."""
    from telvane._sample import write_synthetic_sample

    return write_synthetic_sample(tmp_path_factory.mktemp("sample"))


@pytest.fixture(scope="session")
def synthetic() -> bytes:
    from telvane._sample import synthetic_sample_bytes

    return synthetic_sample_bytes()


@pytest.fixture
def logfile_args(ibt: Callable, monkeypatch: pytest.MonkeyPatch) -> Callable[..., tuple]:
    """ibt, returning the arguments it gives LogFile: channels, laps, metadata, source_name."""
    import telvane.base

    monkeypatch.setattr(telvane.base, "LogFile", lambda *args: args)
    return ibt


@pytest.fixture(scope="session")
def run_python() -> Callable[..., object]:
    """Runs a script in a fresh interpreter; returns what it printed as JSON."""

    def run(script: str, *args: object) -> object:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *map(str, args)],
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        return json.loads(done.stdout)

    return run


def run(capsys: pytest.CaptureFixture[str], *args: object) -> tuple[int, str, str]:
    try:
        status = _cli.main([str(arg) for arg in args])
    except SystemExit as exit:  # --help and usage errors
        status = exit.code
    return status, *capsys.readouterr()


@pytest.fixture
def s3_server(monkeypatch):
    """An S3-compatible server on 127.0.0.1, found by pyarrow through the environment, with a bucket."""
    monkeypatch.setattr(logging.getLogger("werkzeug"), "disabled", True)  # its lines of every request
    server = pytest.importorskip("moto.server").ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    endpoint = f"http://127.0.0.1:{server._server.server_port}"
    for name, value in {"AWS_ENDPOINT_URL": endpoint, "AWS_ACCESS_KEY_ID": "telvane", "AWS_SECRET_ACCESS_KEY": "x",
                        "AWS_DEFAULT_REGION": "us-east-1"}.items():
        monkeypatch.setenv(name, value)
    import boto3

    urllib.request.urlopen(urllib.request.Request(f"{endpoint}/moto-api/reset", method="POST"))  # its state is per process
    boto3.client("s3").create_bucket(Bucket="bucket")
    yield "s3://bucket/season"
    server.stop()
