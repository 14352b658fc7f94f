"""Each step of the dataset's writes killed in turn (telvane._steps.POINTS): after the kill
and after the next run, the invariants of killpoints.Archive.check hold, in a directory and
on object storage alike."""

import pytest
from killpoints import Archive, recording

from telvane import _steps, cli, dataset

LATER = 2 * dataset.SWEEP_AGE  # the next runs come when what a killed one left is old

# (point, n): killed just before the n-th time the point is reached. The killed run exports
# A (held already), B and C (new, C with a channel more) with --compact in a directory;
# a second kill is of the run after the first, in its sweep.
IN_A_DIRECTORY = [
    [("convert.rename", 2)],  # B in the run's staging, C's files in temporaries there
    [("publish.journal", 1)],  # the run staged whole, its publish not begun
    [("publish.move", 1)],  # the journal written, nothing moved
    [("publish.move", 4)],  # the schema files and B's channels moved
    [("publish.move", 8)],  # all but C's sessions file moved
    [("publish.report", 1)],
    [("publish.unjournal", 1)],  # the report written under the journal
    [("publish.unstage", 1)],
    [("schemas.merged", 1)],
    [("schemas.remove", 2)],
    [("compact.journal", 1)],  # a merge's file written, its journal not in place
    [("compact.merged", 1)],  # its journal in place, the merged file not
    [("compact.unlink", 2)],  # the merged file in place, one file it replaces removed
    [("compact.unjournal", 1)],
    [("compact.hold", 1)],  # the merge of the sessions: its recordings not listed as held
    [("compact.unlock", 1)],
    [("publish.move", 4), ("publish.move", 1)],  # the sweep finishing a killed publish, killed
    [("publish.move", 4), ("sweep.unjournal", 1)],
    [("publish.move", 4), ("sweep.unstage", 1)],
    [("publish.journal", 1), ("sweep.unstage", 1)],  # a run killed before it published, swept
    [("compact.merged", 1), ("sweep.temporary", 1)],  # the merged file's temporary swept
    [("compact.merged", 1), ("compact.drop", 1)],  # the next compaction drops the journal
    [("compact.unlink", 2), ("compact.unlink", 1)],  # the next compaction finishing the merge
]
# An export to object storage uploads the run's files from a local stand-in, then publishes.
ON_OBJECT_STORAGE = [
    [("upload.probe", 1)],
    [("upload.copy", 4)],  # the layout and the schema files uploaded to the run's staging
    [("publish.journal", 1)],
    [("publish.move", 4)],
    [("publish.report", 1)],
    [("publish.unjournal", 1)],
    [("publish.unstage", 1)],
    [("schemas.merged", 1)],
    [("schemas.remove", 2)],
    [("publish.move", 4), ("publish.move", 1)],
    [("publish.move", 4), ("sweep.unstage", 1)],
]


def named(kills):
    return " then ".join(f"{point}-{n}" for point, n in kills)


def test_the_cases_reach_every_point():
    reached = {point for kills in IN_A_DIRECTORY + ON_OBJECT_STORAGE for point, _ in kills}
    assert reached == set(_steps.POINTS)


def crash(archive, tmp_path, kills, options):
    earlier = {recording(tmp_path / "first" / "a.ibt", 1.0)}
    assert cli.main(["export", str(tmp_path / "first"), "--out", archive.out, "--jobs", "1"]) == 0
    run = {recording(tmp_path / "in" / "b.ibt", 2.0), recording(tmp_path / "in" / "c.ibt", 3.0, extra=True)}
    (tmp_path / "in" / "a.ibt").write_bytes((tmp_path / "first" / "a.ibt").read_bytes())
    archive.settled(earlier, run)
    args = [str(tmp_path / "in"), "--jobs", "1", *options]
    for number, kill in enumerate(kills):
        archive.export(args, kill, later=LATER if number else 0.0)
        archive.check(finished=False)
        archive.snapshot()
    done = archive.export(args, later=LATER)
    archive.check(finished=True)
    archive.check_report(done.stdout, sources=3)


@pytest.mark.slow
@pytest.mark.parametrize("kills", IN_A_DIRECTORY, ids=named)
def test_a_run_killed_at_any_step_in_a_directory_leaves_every_recording_once_or_not_and_the_next_completes_it(
        tmp_path, kills):
    crash(Archive(str(tmp_path / "out"), str(tmp_path), tmp_path), tmp_path, kills, ["--compact"])


@pytest.mark.slow
@pytest.mark.parametrize("kills", ON_OBJECT_STORAGE, ids=named)
def test_a_run_killed_at_any_step_on_object_storage_leaves_every_recording_once_or_not_and_the_next_completes_it(
        tmp_path, s3_server, kills):
    crash(Archive(s3_server, s3_server.removeprefix("s3://").partition("/")[0], tmp_path), tmp_path, kills, [])
