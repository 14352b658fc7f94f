"""The telvane command as its user meets it: exit statuses, one-line errors, the files written
and none left behind on failure."""

from __future__ import annotations

import filecmp
import os
from pathlib import Path

import pytest

from builders import write_channels
from conftest import OVERRUN, SPEED, run
from telvane._writer import FLOAT, INT
from telvane._sample import synthetic_sample_bytes


# how a file of each format begins
STARTS = {".png": b"\x89PNG", ".jpg": b"\xff\xd8\xff", ".pdf": b"%PDF", ".svg": b"<?xml", ".parquet": b"PAR1",
          ".csv": b'"timecodes","Gear"\n'}
FORMAT = "the suffix names the format, one of .png, .jpg, .jpeg, .pdf, .svg"
INPUT = "is an input recording; choose another output"
NOT_IBT = "not an IBT recording (Unsupported IBT version: 1768453152)"
TRACKS = ("cannot compare laps of different tracks: 'synthetic raceway' (4.32 km) in r.ibt and "
          "'synthetic oval rd' (1.20 km) in oval.ibt")
LAPS_3 = "3.1 (partial, reset, session 0), 3.2 (out, session 0)"
COMMANDS = [  # the recordings are those the `folder` fixture makes
    ("plot r.ibt --channels Speed,Brake,OnPitRoad --laps 1,2 -o plots/", 0, "wrote plots/r.png\n"),
    ("plot r.ibt --x distance --mph -o x.jpg", 0, "wrote x.jpg\n"),
    ("plot r.ibt --laps 1 --x time -o other/x.PDF", 0, "wrote other/x.PDF\n"),
    ("plot r.ibt -o x.svg", 0, "wrote x.svg\n"),
    ("compare r.ibt:1 other/r.ibt:2 other/r.ibt --mph -o .", 0, "wrote r_compare.png\n"),
    ("compare r.ibt:3.2 r.ibt:3.1 -o c.svg", 0, "wrote c.svg\n"),
    ("plot r.ibt --laps 3.2,0 -o p.png", 0, "wrote p.png\n"),
    ("compare odd.ibt:7", 0, "wrote odd_compare.png\n"),
    ("export r.ibt --out o --flat --format csv --channels Gear", 0, "wrote o/r.csv\n"),
    *((f"export in --out out --flat --jobs {jobs}", 1,  # writes the others
       "telvane: in/broken.ibt: Invalid header: File too small for session info") for jobs in (1, 2)),
    ("plot r.ibt --laps 9", 1, "telvane: r.ibt: no lap 9\n"),
    ("plot r.ibt --channels Speed,Sped,Spin", 1, "telvane: r.ibt: no channel named 'Sped', 'Spin'\n"),
    ("plot rec.png -o plot", 1, f"telvane: plot: {FORMAT}\n"),
    ("plot r.ibt -o rec.png", 1, f"telvane: rec.png: {INPUT}\n"),  # the same file by another name
    ("plot rec.png -o .", 1, f"telvane: rec.png: {INPUT}\n"),
    ("plot rec.png -o rec.png/x.png", 1, "telvane: rec.png/x.png: Not a directory\n"),  # not the temporary
    ("compare r.ibt:99", 1, "telvane: r.ibt: no lap 99\n"),
    # a lap number that repeats without a full lap among its laps names none of them
    ("compare r.ibt:3", 1, f"telvane: r.ibt: no full lap 3 but 2 laps numbered 3: {LAPS_3}; "
                           "name one as r.ibt:3.K\n"),
    ("compare r.ibt:3.3", 1, f"telvane: r.ibt: no lap 3.3; the laps numbered 3: {LAPS_3}\n"),
    ("plot r.ibt --laps 1.3", 1, "telvane: r.ibt: no lap 1.3; the laps numbered 1: 1.1 (full, "
                                 "session 0), 1.2 (full, session 1)\n"),
    ("compare r.ibt:1 oval.ibt:1 -o c.png", 1, f"telvane: {TRACKS}\n"),
    *((f"{command} text.ibt", 1, f"telvane: text.ibt: {NOT_IBT}\n") for command in (
        "info", "info --json", "channels", "plot", "compare", "coach", "export --out o --flat")),
    ("compare r.ibt --channels Speed,Sped", 1, "telvane: r.ibt: no channel named 'Sped'\n"),
    ("coach r.ibt", 0, "reference r.ibt:1.2 (full, session 1) 1:26.963: 8 corners\n"),
    ("coach r.ibt:1.1 other/r.ibt:2 --corners 326,878 --mph", 0,
     "reference r.ibt:1.1 (full, session 0) 1:27.428: 2 corners\n"),
    ("coach r.ibt:1 oval.ibt:1", 1, f"telvane: {TRACKS}\n"),
    ("coach lapless.ibt", 1, "telvane: lapless.ibt: no full lap; name one as lapless.ibt:LAP\n"),
    ("coach r.ibt --corners 5000", 1, "telvane: corners must be apexes in metres from the line, "
                                      "increasing, within the lap of 4320 m; got [5000.0]\n"),
    ("coach distanceless.ibt:1", 1, "telvane: distanceless.ibt: no channel named 'Brake', 'Throttle' "
                                    "to find corners by\n"),
    ("channels r.ibt other/r.ibt --match ^Lap$", 0, "r.ibt\nName  Type   Unit  Description\nLap   int32        "
                                                     "Laps started count\n\nother/r.ibt\nName  Type"),
    ("channels text.ibt r.ibt --match ^Lap$", 1, f"telvane: text.ibt: {NOT_IBT}\n"),  # r.ibt listed
    ("view r.ibt -o r.ibt --no-open", 1, f"telvane: r.ibt: {INPUT}\n"),
    ("view r.ibt:2 oval.ibt:1 --no-open", 1, "telvane: oval.ibt: recorded on 'synthetic oval rd' (1.20 km), not on "
                                             "'synthetic raceway' (4.32 km) as r.ibt; laps of different tracks cannot"),
    ("view r.ibt:9 --no-open", 1, "telvane: r.ibt: no lap 9\n"),
    ("view lapless.ibt --no-open", 1, "telvane: lapless.ibt: no laps to view\n"),
    ("view distanceless.ibt --no-open", 1, "telvane: distanceless.ibt: lap 1 of session 0 has no lap distance to draw"),
    ("channels overrun.ibt", 0, "Name   Type   Unit  Description\nSpeed  float\n"),  # from the headers: no record read
    ("info overrun.ibt", 1,  # the core's internal error
     "telvane: overrun.ibt: Read of bytes 93..101 outside the record area of 100 bytes\n"),
    ("export r.ibt --out o --flat --channels Sped", 1, "telvane: r.ibt: no channel named 'Sped'\n"),
    ("export upload --out o --flat", 1, "telvane: upload: No such file or directory\n"),
    ("export r.ibt --out o --flat --live-dumps", 1,
     "telvane: --live-dumps applies to the dataset; --flat converts every recording\n"),
    ("export r.ibt --out o --format csv", 1, "telvane: --format applies to --flat; the dataset is Parquet\n"),
    ("export r.ibt --out o --flat --partition-by car", 1,
     "telvane: --partition-by and --scheduler apply to the dataset, not to --flat\n"),
    ("export r.ibt --out o --jobs 2 --scheduler tcp://127.0.0.1:1", 1,
     "telvane: --jobs applies to local worker processes, not to --scheduler\n"),
    ("export r.ibt other/r.ibt --out o --flat", 1,
     "telvane: several inputs would be written to o/r.parquet\n"),
    ("export rec.parquet --out . --flat", 1, "telvane: rec.parquet would overwrite the input rec.parquet\n"),
    ("export d/_telvane_dataset.json --out d", 1, "telvane: d/_telvane_dataset.json would overwrite the input"),
    ("export r.ibt --out o --flat --timeout 1e-9", 1, "telvane: r.ibt: not finished within 1e-09 s\n"),
    ("export r.ibt --out ftp://league/season", 1, "telvane: ftp://league/season: "),  # no file system takes it
    ("export ftp://league/a.ibt --out o", 1, "telvane: ftp://league/a.ibt: "),
    ("export r.ibt --out r.ibt/o", 1, "telvane: r.ibt/o: cannot write there: "),
    ("export --out o", 1, "telvane: expected recordings to export (PATH), or --compact\n"),
    ("export --out o --compact", 1, "telvane: o is not a telvane dataset: no _telvane_dataset.json\n"),
    *((f"{command} --help", 0, "usage: telvane") for command in
      ("", "info", "channels", "export", "plot", "compare", "coach", "demo")),
    *((command, 2, "usage: telvane") for command in
      ("", "frobnicate", "coach r.ibt --corners 300,x", "export r.ibt", "export r.ibt --out o --jobs 0", "plot r.ibt --laps 1,x",
       "plot r.ibt --laps 1.0", "plot r.ibt --channels ,", "channels r.ibt --match (")),
]


@pytest.fixture
def folder(recording: Path) -> None:
    """Links to the sample, one named like FILE:LAP and one like an output, and damaged files."""
    for name in ("r.ibt", "other/r.ibt", "odd.ibt:7", "rec.png", "rec.parquet", "d/_telvane_dataset.json", "in/a.ibt",
                 "in/b.IBT"):
        Path(name).parent.mkdir(exist_ok=True)
        os.link(recording, name)
    Path("overrun.ibt").write_bytes(OVERRUN)
    Path("lapless.ibt").write_bytes(SPEED)
    Path("distanceless.ibt").write_bytes(write_channels({"Lap": (INT, [1] * 10), "Speed": (FLOAT, [1.0] * 10)}))
    Path("in/broken.ibt").write_bytes(recording.read_bytes()[:5000])
    Path("in/notes.txt").write_text("not a recording")
    Path("text.ibt").write_text(" this is some text, not a recording\n" * 40)
    Path("oval.ibt").write_bytes(variant(("synthetic raceway", "synthetic oval rd"),
                                         ("4.32 km", "1.20 km")))


def variant(*replacements: tuple[str, str]) -> bytes:
    """The sample recording with texts of its session info replaced by texts as long."""
    data = synthetic_sample_bytes()
    for old, new in replacements:
        assert len(old) == len(new) and old.encode() in data
        data = data.replace(old.encode(), new.encode())
    return data


def files() -> list[Path]:
    return sorted(path for path in Path().rglob("*") if path.is_file())


@pytest.mark.parametrize("command, status, shown", COMMANDS)
def test_command_line(capsys, recording, folder, command, status, shown):
    before = files()
    code, out, err = run(capsys, *command.split())
    assert code == status and (err if code else out).startswith(shown)
    assert code == 2 or err.count("\n") == code  # nothing on stderr, or the error in one line
    wrote = [Path(line.removeprefix("wrote ")) for line in out.splitlines() if line.startswith("wrote ")]
    assert files() == sorted(before + wrote) and filecmp.cmp("rec.png", recording, shallow=False)
    assert all(path.read_bytes().startswith(STARTS[path.suffix.lower()]) for path in wrote)


def test_info_channels_the_lap_model_and_a_convert_import_nothing_to_draw_or_compute_with(recording, run_python):
    assert run_python("""
        import contextlib, io, json, sys, tempfile
        import telvane
        from telvane import _cli
        log = telvane.ibt(sys.argv[1])
        log.lap_times(), log.sectors(), log.theoretical_best(), log.find_laps(num=1)
        telvane.open(sys.argv[1]).read(["Speed"]).lap_times()
        with contextlib.redirect_stdout(io.StringIO()):
            for command in ("info", "info --json", "channels"):
                _cli.main([*command.split(), sys.argv[1]])
        drawing = [name for name in ("matplotlib", "pyarrow.parquet", "tqdm") if name in sys.modules]
        from telvane import dataset  # then as every worker of an export of many short files does
        out = tempfile.mkdtemp()
        dataset.publish(out, run := dataset.new_run(), [dataset.convert(sys.argv[1], out, run=run)])
        print(json.dumps(drawing + [name for name in ("pandas", "pyarrow.compute") if name in sys.modules]))
    """, recording) == []
