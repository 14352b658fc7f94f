"""Every way of reading a recording gives the same laps, sectors, theoretical best and traces,
whatever channels were asked for; laps are worked out only when asked; derived LogFiles keep
what their analyses need."""

import numpy as np
import pytest
from builders import write_channels

import telvane
from telvane._writer import BOOL, DOUBLE, FLOAT, INT
from telvane._lap_inputs import CHANNELS, LAP_INPUTS

SPLITS = "SplitTimeInfo:\n Sectors:\n" + "".join(
    f" - SectorNum: {number}\n   SectorStartPct: {start:.6f}\n" for number, start in enumerate([0, .3, .7]))
TYPES = {"SessionTime": DOUBLE, "Lap": INT, "LapDist": FLOAT, "LapDistPct": FLOAT, "OnPitRoad": BOOL,
         "Speed": FLOAT, "Gear": INT}


def driven(lap_type: int = INT, length: float = 500.0) -> bytes:
    """A car lapping a `length` m track for 40 s, out of the pits, with three sectors."""
    t = np.arange(2400) / 60
    x = 20 * t + 0.5 * t * t
    columns = dict(SessionTime=30 + t, Lap=np.floor(x / length), LapDistPct=(x % length) / length,
                   LapDist=x % length, OnPitRoad=(t < 1).astype(int), Speed=20 + t, Gear=(t // 8).astype(int))
    types = {**TYPES, "Lap": lap_type}
    info = f"WeekendInfo:\n TrackName: oval\n TrackLength: {length / 1000:.2f} km\n{SPLITS}"
    return write_channels({name: (types[name], (values if types[name] == DOUBLE or types[name] == FLOAT
                                                else values.astype(int)).tolist())
                           for name, values in columns.items()}, session_info=info)


RECORDINGS = {"hand-made": lambda request: driven(), "double Lap": lambda request: driven(DOUBLE),
              "synthetic": lambda request: request.getfixturevalue("synthetic"),
              "real": lambda request: request.getfixturevalue("sample").read_bytes()}
# columns to read, given the channel names
SELECTIONS = {"all": lambda names: None, "none": lambda names: [], "one": lambda names: ["Gear"],
              "without the lap channels": lambda names: [n for n in names if n not in LAP_INPUTS]}


def analyses(log: telvane.LogFile) -> tuple:
    laps = log.lap_times()
    rows = [row for row, kind in enumerate(laps["lap_type"].to_pylist()) if kind == "full"][:2]
    traces = [log.lap(row).by_distance([], step=5.0) for row in rows]
    return laps, log.sectors(), log.theoretical_best(), traces


@pytest.mark.parametrize("select", SELECTIONS.values(), ids=SELECTIONS)
@pytest.mark.parametrize("recording", RECORDINGS.values(), ids=RECORDINGS)
def test_a_read_of_any_channels_gives_the_analyses_of_ibt(request, recording, select):
    data = recording(request)
    expected = telvane.ibt(data)
    log = telvane.open(data).read(select(expected.channel_names))
    assert "_racing" not in vars(log)  # worked out when asked, not by the read
    laps, sectors, best, traces = analyses(log)
    want_laps, want_sectors, want_best, want_traces = analyses(expected)
    assert laps.num_rows and laps.equals(want_laps) and sectors.equals(want_sectors) and best == want_best
    assert len(traces) == len(want_traces) and all(a.equals(b) for a, b in zip(traces, want_traces))


def part_of(log, how):
    """A derived LogFile and the positions of its records in `log`."""
    lap = log.lap_times().to_pylist()[log.find_laps(lap_type="full")[-1] if how != "lap 1" else 1]
    if how == "time range around it":  # sessions restart the clock: records of several of them
        start, end = lap["start_time"] - 1000, lap["end_time"] + 1000
        times = log.timecodes.to_numpy()
        return log.time_range(start, end), np.flatnonzero((times >= start) & (times < end))
    row = log.lap_times()["first_record"].to_pylist().index(lap["first_record"])
    return log.lap(row), np.arange(lap["first_record"], lap["end_record"])


@pytest.mark.parametrize("how", ["lap 1", "last full lap", "time range around it"])
def test_derived_logfiles_keep_the_arrays_and_the_lap_inputs(synthetic, how):
    whole = telvane.open(synthetic).read(["Speed"], arrays=True)
    part, records = part_of(whole, how)
    assert part.arrays.keys() == whole.arrays.keys() and part.arrays
    for name, table in part.arrays.items():
        per_record = whole.arrays[name].num_rows // len(whole)
        rows = (records[:, None] * per_record + np.arange(per_record)).ravel()
        assert table.equals(whole.arrays[name].take(rows))
    for field in ("times", *CHANNELS):
        assert np.array_equal(getattr(part.lap_inputs, field), getattr(whole.lap_inputs, field)[records])
    assert part.lap_times().num_rows and part.sectors().num_rows
