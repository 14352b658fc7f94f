"""What a shared dataset holds comes from other people: names in its journals, held lists and
bucket listings never reach outside it, and a publish killed midway never hides a later run."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest
from test_dataset import recording

from telvane import dataset
from telvane.dataset import _compact, _publish
from telvane.dataset._confine import problem
from telvane._writer import FLOAT
from telvane._cli import main


# name -> what it does: each leaves the dataset, or passes through a link it did not make
HOSTILE = {
    "a parent": "../victim/a.txt",
    "absolute": "{victim}/a.txt",
    "a drive": "C:\\victim\\a.txt",
    "a server": "\\\\server\\share\\a.txt",
    "a NUL": "a\0b.parquet",
    "a link outside": "link/a.txt",
    "a link loop": "loop/a.txt",
}


@pytest.mark.parametrize("name", ["", ".", "a/./b", "a//b", "a/", "/a", "..", "a/../b", "C:x", "c:/x", "a\\b",
                                  "a\0", 7, None])
def test_a_name_of_other_than_plain_relative_parts_is_refused(name):
    assert problem(name) is not None


@pytest.mark.parametrize("name", ["a", "channels/track=x%2F..%2Fy/r.parquet", "_schemas/channels/r.arrows", "..a", "a.."])
def test_plain_relative_names_are_taken(name):
    assert problem(name) is None


def hostile_dataset(tmp_path, how):
    """A dataset of two recordings in one partition, a victim folder beside it, links inside
    it to the victim (and a loop) where a hostile name may pass, and the name."""
    out, victim = tmp_path / "out", tmp_path / "victim"
    for number in range(2):
        assert dataset.convert(recording(tmp_path / f"{number}.ibt", UserName=f"D{number}"), out)["status"] == "ok"
    victim.mkdir()
    (victim / "a.txt").write_text("the victim's own")
    staging = out / _publish.RUNS / "R"
    for where in (out, staging, out / "_runs"):
        where.mkdir(parents=True, exist_ok=True)
        (where / "link").symlink_to(victim, target_is_directory=True)
        (where / "loop").symlink_to(where / "loop")
    name = HOSTILE[how].format(victim=victim)
    (out / "_runs" / "victim").mkdir()
    (out / "_runs" / "victim" / "a.txt").write_text("planted")  # what `../victim/a.txt` staged under R names
    return out, victim, name


def untouched(victim):
    return sorted(os.listdir(victim)) == ["a.txt"] and (victim / "a.txt").read_text() == "the victim's own"


def parquet_files(out):
    return sorted(os.path.relpath(os.path.join(d, n), out) for d, _, names in os.walk(out) for n in names
                  if n.endswith(".parquet") and not d.startswith(os.fspath(out / "_")))


def compact_with_journal(out, name, role):
    files = [path for path in parquet_files(out) if path.startswith("sessions/")]
    entry = {"merged": files[0], "replaced": [name]} if role == "replaced" else {"merged": name, "replaced": files}
    (out / _compact.JOURNALS).mkdir(exist_ok=True)
    (out / _compact.JOURNALS / "merged-0.json").write_text(json.dumps(entry))
    dataset.compact(out, target_bytes=1)  # merges nothing more: the journal is all it acts on


def sweep_a_killed_publish(out, name, role):
    journal = out / _publish.JOURNALS / "R.json"
    journal.parent.mkdir(exist_ok=True)
    journal.write_text(json.dumps({"files": [name], "new": [name]}))
    os.utime(journal, (0, time.time() - 2 * dataset.SWEEP_AGE))
    dataset.sweep(out)


@pytest.mark.parametrize("how", HOSTILE)
@pytest.mark.parametrize("act, role", [(compact_with_journal, "replaced"), (compact_with_journal, "merged"),
                                       (sweep_a_killed_publish, "staged")])
def test_a_hostile_name_in_a_journal_is_reported_and_left_alone(tmp_path, act, role, how):
    out, victim, name = hostile_dataset(tmp_path, how)
    before = parquet_files(out)
    with pytest.warns(UserWarning, match="left alone .*" + repr(name).replace("\\", "\\\\")[:12]):
        act(out, name, role)
    assert untouched(victim) and parquet_files(out) == before
    assert (out / "_runs" / "victim" / "a.txt").read_text() == "planted"


def test_a_journal_naming_files_its_merged_file_does_not_hold_deletes_none(tmp_path):
    out, _, _ = hostile_dataset(tmp_path, "a parent")
    sessions = [path for path in parquet_files(out) if path.startswith("sessions/")]
    (out / _compact.JOURNALS).mkdir()
    (out / _compact.JOURNALS / "merged-0.json").write_text(json.dumps({"merged": sessions[0], "replaced": sessions[1:]}))
    with pytest.warns(UserWarning, match="does not hold its rows"):
        dataset.compact(out, target_bytes=1)
    assert dataset.read(out).sessions.count_rows() == 2


# from the local copy of the dataset, a temporary directory, to one beside it
@pytest.mark.parametrize("key", ["sessions/../../ANYDIR/x.parquet", "_held/../../ANYDIR/x.txt"])
def test_a_bucket_key_leaving_its_prefix_writes_nothing_outside_the_local_copy(tmp_path, s3_server, key, capsys):
    import boto3

    bucket, prefix = s3_server.removeprefix("s3://").split("/", 1)
    source = recording(tmp_path / "a.ibt")
    assert main(["export", str(source), "--out", s3_server]) == 0
    boto3.client("s3").put_object(Bucket=bucket, Key=f"{prefix}/{key}", Body=b"x")
    assert main(["export", str(recording(tmp_path / "b.ibt", UserName="B")), "--out", s3_server]) == 0
    assert "left alone the object" in capsys.readouterr().err
    assert not os.path.exists(os.path.join(tempfile.gettempdir(), "ANYDIR"))
    assert dataset.read(s3_server).sessions.count_rows() == 2


KILLED_PUBLISH = """
import os, sys
from telvane import dataset
from telvane.dataset import _publish
out, sources, moves = sys.argv[1], sys.argv[2:-1], int(sys.argv[-1])
run = dataset.new_run()
rows = [dataset.convert(source, out, run=run) for source in sources]
place, count = _publish._place, [0]
def dying(*args):
    if count[0] == moves:
        os._exit(9)
    count[0] += 1
    place(*args)
_publish._place = dying
dataset.publish(out, run, rows)
"""


def killed_publish(out, sources, moves):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(KILLED_PUBLISH), out, *sources, str(moves)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 9, done.stderr


@pytest.mark.slow
@pytest.mark.parametrize("moves", [0, 4, 9])  # of the 12 files of three recordings: none, the schemas and more, all but the sessions
@pytest.mark.parametrize("elsewhere", [False, True])  # the journal's process on this machine, or on another
def test_a_publish_killed_midway_never_hides_the_next_run(tmp_path, moves, elsewhere, capsys):
    out = tmp_path / "out"
    sources = [str(recording(tmp_path / f"{n}.ibt", UserName=f"D{n}")) for n in range(3)]
    killed_publish(out, sources, moves)
    assert dataset.read(out).sessions.count_rows() == 0  # hidden while it may still be running
    if elsewhere:  # its process is no process of this machine's: only a newer run of its recordings proves it dead
        (journal,) = (out / _publish.JOURNALS).glob("*.json")
        journal.write_text(json.dumps({**json.loads(journal.read_text()), "machine": "another"}))
    dataset.sweep(out)  # finishes it at once where its process is known to be gone
    assert dataset.read(out).sessions.count_rows() == (0 if elsewhere else 3)
    assert main(["export", *sources, "--out", str(out)]) == 0
    sessions = dataset.read(out).sessions.to_table()
    assert sorted(sessions["driver"].to_pylist()) == ["D0", "D1", "D2"]
    assert not list((out / _publish.JOURNALS).glob("*.json")) and not list((out / _publish.RUNS).iterdir())


def test_a_reader_takes_no_file_through_a_link_inside_the_dataset(tmp_path):
    out = tmp_path / "out"
    dataset.convert(recording(tmp_path / "a.ibt"), out)
    (partition,) = (out / "channels").iterdir()
    shutil.copytree(partition, tmp_path / "elsewhere")
    (out / "channels" / "track=linked").symlink_to(tmp_path / "elsewhere", target_is_directory=True)
    with pytest.warns(UserWarning, match="left alone the entry 'track=linked'"):
        assert dataset.read(out).channels.count_rows() == 2


def test_a_damaged_kept_schema_is_rebuilt_from_no_file_through_a_link(tmp_path):
    out = tmp_path / "out"
    dataset.convert(recording(tmp_path / "a.ibt"), out)
    (tmp_path / "elsewhere").mkdir()
    dataset.convert(recording(tmp_path / "b.ibt", {"Secret": (FLOAT, [1.0, 2.0])}), tmp_path / "elsewhere")
    (out / "channels" / "track=linked").symlink_to(tmp_path / "elsewhere" / "channels", target_is_directory=True)
    for kept in (out / "_schemas" / "channels").iterdir():
        kept.write_bytes(b"damaged")
    with pytest.warns(UserWarning, match="left alone the entry 'track=linked'"):
        assert "Secret" not in dataset.read(out).channels.schema.names
