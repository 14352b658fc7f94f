"""Each step of the dataset's writes killed in turn (telvane.dataset._steps.POINTS): after the kill
and after the next run, the invariants of killpoints.Archive.check hold, in a directory and
on object storage alike."""

import pytest
from killpoints import Archive, recording

from telvane import _cli, dataset
from telvane.dataset import _steps

AN_HOUR_LATER = 2 * dataset.SWEEP_AGE  # what a killed run left is old: its staging, its temporaries

# (point, n): killed just before the n-th time the point is reached. The killed run exports
# A (held already), B and C (new, C with a channel more) with --compact in a directory;
# a second kill is of the run after the first. The next runs come at once, or when what
# the killed one left is old: a staging no journal names, a temporary.
IN_A_DIRECTORY = [
    ([("convert.rename", 2)], AN_HOUR_LATER),  # B in the run's staging, C's files in temporaries there
    ([("publish.journal", 1)], 0.0),  # the run staged whole, its publish not begun
    ([("publish.journal", 1)], AN_HOUR_LATER),
    ([("publish.move", 1)], 0.0),  # the journal written, nothing moved
    ([("publish.move", 4)], 0.0),  # the schema files and B's channels moved
    ([("publish.move", 8)], 0.0),  # all but C's sessions file moved
    ([("publish.report", 1)], 0.0),
    ([("publish.unjournal", 1)], 0.0),  # the report written under the journal
    ([("publish.unstage", 1)], 0.0),
    ([("schemas.merged", 1)], 0.0),
    ([("schemas.remove", 2)], 0.0),
    ([("compact.journal", 1)], 0.0),  # a merge's file written, its journal not in place
    ([("compact.merged", 1)], 0.0),  # its journal in place, the merged file not
    ([("compact.unlink", 2)], 0.0),  # the merged file in place, one file it replaces removed
    ([("compact.unjournal", 1)], 0.0),
    ([("compact.hold", 1)], 0.0),  # the merge of the sessions: its recordings not listed as held
    ([("compact.unlock", 1)], 0.0),
    ([("publish.move", 4), ("publish.move", 1)], 0.0),  # the sweep finishing a killed publish, killed
    ([("publish.move", 4), ("sweep.unjournal", 1)], 0.0),
    ([("publish.move", 4), ("sweep.unstage", 1)], 0.0),
    ([("publish.journal", 1), ("sweep.unstage", 1)], AN_HOUR_LATER),  # a run killed before it published, swept
    ([("compact.merged", 1), ("sweep.temporary", 1)], AN_HOUR_LATER),  # the merged file's temporary swept
    ([("compact.merged", 1), ("compact.drop", 1)], 0.0),  # the next compaction drops the journal
    ([("compact.unlink", 2), ("compact.unlink", 1)], 0.0),  # the next compaction finishing the merge
]
# An export to object storage uploads the run's files from a local stand-in, then publishes.
ON_OBJECT_STORAGE = [
    ([("upload.probe", 1)], 0.0),
    ([("upload.copy", 4)], 0.0),  # the layout and the schema files uploaded to the run's staging
    ([("publish.journal", 1)], 0.0),
    ([("publish.move", 4)], 0.0),
    ([("publish.report", 1)], 0.0),
    ([("publish.unjournal", 1)], 0.0),
    ([("publish.unstage", 1)], 0.0),
    ([("schemas.merged", 1)], 0.0),
    ([("schemas.remove", 2)], 0.0),
    ([("publish.move", 4), ("publish.move", 1)], 0.0),
    ([("publish.move", 4), ("sweep.unstage", 1)], 0.0),
    ([("upload.copy", 4)], AN_HOUR_LATER),
]


def named(case):
    if isinstance(case, float):
        return "an hour later" if case else "at once"
    return " then ".join(f"{point}-{n}" for point, n in case)


def test_the_cases_reach_every_point():
    reached = {point for kills, _ in IN_A_DIRECTORY + ON_OBJECT_STORAGE for point, _ in kills}
    assert reached == set(_steps.POINTS)


def crash(archive, tmp_path, kills, later, options):
    earlier = {recording(tmp_path / "first" / "a.ibt", 1.0)}
    assert _cli.main(["export", str(tmp_path / "first"), "--out", archive.out, "--jobs", "1"]) == 0
    run = {recording(tmp_path / "in" / "b.ibt", 2.0), recording(tmp_path / "in" / "c.ibt", 3.0, extra=True)}
    (tmp_path / "in" / "a.ibt").write_bytes((tmp_path / "first" / "a.ibt").read_bytes())
    archive.settled(earlier, run)
    args = [str(tmp_path / "in"), "--jobs", "1", *options]
    for number, kill in enumerate(kills):
        archive.export(args, kill, later=later if number else 0.0)
        archive.check(finished=False)
        archive.snapshot()
    done = archive.export(args, later=later)
    archive.check(finished=True)
    archive.check_report(done.stdout, sources=3, swept=bool(later))


@pytest.mark.slow
@pytest.mark.parametrize("kills, later", IN_A_DIRECTORY, ids=named)
def test_a_run_killed_at_any_step_in_a_directory_leaves_every_recording_once_or_not_and_the_next_completes_it(
        tmp_path, kills, later):
    crash(Archive(str(tmp_path / "out"), str(tmp_path), tmp_path), tmp_path, kills, later, ["--compact"])


@pytest.mark.slow
@pytest.mark.parametrize("kills, later", ON_OBJECT_STORAGE, ids=named)
def test_a_run_killed_at_any_step_on_object_storage_leaves_every_recording_once_or_not_and_the_next_completes_it(
        tmp_path, s3_server, kills, later):
    crash(Archive(s3_server, s3_server.removeprefix("s3://").partition("/")[0], tmp_path), tmp_path, kills, later, [])
