"""The named steps of the dataset's writes. Just before each rename, copy, upload, journal
write and removal of a publish, a sweep, a compaction, a merge of schemas and an upload to
object storage, the code calls step(POINT). step does nothing; the crash tests replace it
to end the process at one of the points, then check what a reader and the next run find."""

from __future__ import annotations

__all__ = ["POINTS", "step"]

POINTS = (
    "convert.rename",     # a recording's files renamed from their temporaries into the run's staging
    "upload.copy",        # a file of the local stand-in copied to object storage
    "upload.probe",       # the probe file of the check that the URL is writable removed
    "publish.journal",    # the journal naming the files a publish moves written
    "publish.move",       # a staged file moved into the dataset (by a publish, or by the sweep finishing one)
    "publish.report",     # the run's report written
    "publish.unjournal",  # the journal of a publish removed
    "publish.unstage",    # the staging of a published run removed
    "sweep.unjournal",    # the journal of a killed publish removed, finished (by the sweep, or by a publish)
    "sweep.unstage",      # the staging of a killed run removed
    "sweep.temporary",    # a temporary of a killed write removed
    "schemas.merged",     # the file holding the union of a table's schema files written
    "schemas.remove",     # a schema file the union replaces removed
    "compact.hold",       # the list of the recordings a merged sessions file holds renamed in
    "compact.journal",    # the journal naming a merged file and the files it replaces renamed in
    "compact.merged",     # the merged file renamed in
    "compact.unlink",     # a file the merged one replaces removed
    "compact.unjournal",  # the journal of a merge removed
    "compact.drop",       # the journal of a merge killed before its merged file was in place removed
    "compact.unlock",     # the compaction lock removed
)


def step(point: str) -> None:
    """Called before the step named `point`, one of POINTS."""
