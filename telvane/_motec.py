"""A LogFile as MoTeC i2 logged data: the .ld file (header; event, venue and vehicle blocks;
one block and one run of samples per channel, every channel from time 0 at the first record)
and the .ldx beside it (a beacon at every crossing of the line, the fastest lap, the full
names of channels whose names were cut). Little-endian; texts NUL-padded ASCII."""

from __future__ import annotations

import math
import os
import struct
from collections.abc import Callable
from dataclasses import dataclass
from functools import cache
from pathlib import Path
from typing import TYPE_CHECKING, Any
from xml.sax.saxutils import quoteattr

import numpy as np
import pyarrow as pa

import telvane
from telvane._arrow import column_values
from telvane._text import field_text, printable, start_date
from telvane._racing import CROSSING_WINDOW
from telvane._session_info import list_entries, player, value_of

if TYPE_CHECKING:
    from telvane.base import LogFile

__all__ = ["STANDARD_CHANNELS", "beacons", "ldx_path", "write", "write_files"]

HEADER_SIZE, EVENT_SIZE, VENUE_SIZE, VEHICLE_SIZE, BLOCK_SIZE = 1762, 1154, 1100, 260, 124
NAME_BYTES, SHORT_NAME_BYTES, UNIT_BYTES, TEXT_BYTES = 32, 8, 12, 64
FIRST_ID = 0x2EE1  # the id of the first channel block, the next ones counting up
MAX_RATE = 0xFFFF  # a channel's rate is a u16 of Hz
MAX_OFFSET = 0xFFFF_FFFF  # offsets are u32
GRAVITY = 9.80665  # m/s² in a G
# How samples are stored: (data kind, bytes a sample, numpy type).
FLOAT32, INT32, INT16 = (0x07, 4, "<f4"), (0x05, 4, "<i4"), (0x03, 2, "<i2")
# i2's own names for what its track map and maths look for, written beside the recording's:
# (i2 name, unit, recording channel, factor to i2's unit or None for the values as they are).
STANDARD_CHANNELS = [
    ("Ground Speed", "km/h", "Speed", 3.6), ("Engine RPM", "rpm", "RPM", None),
    ("Gear", "", "Gear", None), ("Throttle Pos", "%", "Throttle", 100.0),
    ("Brake Pos", "%", "Brake", 100.0), ("Clutch Pos", "%", "Clutch", 100.0),
    ("Steered Angle", "deg", "SteeringWheelAngle", 180.0 / math.pi),
    ("GPS Latitude", "deg", "Lat", None), ("GPS Longitude", "deg", "Lon", None),
    ("G Force Lat", "G", "LatAccel", 1.0 / GRAVITY), ("G Force Long", "G", "LongAccel", 1.0 / GRAVITY),
    ("G Force Vert", "G", "VertAccel", 1.0 / GRAVITY), ("Lap Distance", "m", "LapDist", None),
]
LAP_NUMBER = "Lap Number"


@dataclass(frozen=True)
class _Channel:
    name: str  # as the recording names it
    unit: str
    rate: int
    count: int
    encoding: tuple[int, int, str]
    samples: Callable[[], np.ndarray]  # made when written: one channel's copy at a time


def ldx_path(path: str | os.PathLike[str]) -> Path:
    """The .ldx beside an .ld file: the same base name."""
    return Path(path).with_suffix(".ldx")


def write_files(log: LogFile, path: str | os.PathLike[str]) -> list[str]:
    """Write `path` and its .ldx, each under a temporary renamed into place; refuses to
    write over the file the LogFile was read from. Returns what write() left out."""
    ld, ldx = Path(path), ldx_path(path)
    if ld == ldx:
        raise ValueError(f"{ld}: an .ld file cannot have the suffix .ldx")
    source = _identity(log.file_name)
    for target in (ld, ldx):
        if source is not None and _identity(target) == source:
            raise ValueError(f"{target} would overwrite the input {log.file_name}")
    from telvane.dataset import _convert  # which needs LogFile, whose to_motec this serves

    with _convert.staged() as stage:
        return write(log, stage(ld), stage(ldx))


def write(log: LogFile, ld: Path, ldx: Path, progress: Callable[[int, int], Any] | None = None) -> list[str]:
    """Write the .ld file and the .ldx of `log` at these paths, calling progress(k, n) after
    each of the n channels. Returns the names of the channels and arrays left out because
    they hold text. Raises ValueError for a tick rate or a size the format cannot hold."""
    rate = log.metadata.get("tick_rate")
    if not isinstance(rate, int) or not 0 < rate <= MAX_RATE:
        raise ValueError(f"a tick rate of {rate!r} Hz cannot be written: MoTeC rates are 1 to {MAX_RATE} Hz")
    channels, left_out = _channels(log, rate)
    names = _unique([channel.name for channel in channels], NAME_BYTES)
    first_block = HEADER_SIZE + EVENT_SIZE + VENUE_SIZE + VEHICLE_SIZE
    data = first_block + BLOCK_SIZE * len(channels)
    offsets = np.cumsum([data] + [channel.count * channel.encoding[1] for channel in channels])
    if offsets[-1] > MAX_OFFSET:
        raise ValueError(f"{offsets[-1]:,} bytes of samples do not fit an .ld file's 32-bit offsets")
    blocks = [_block(channel, name, short, index, first_block, len(channels), int(offsets[index]))
              for index, (channel, name, short) in enumerate(zip(channels, names, _unique(names, SHORT_NAME_BYTES)))]
    with open(ld, "wb") as out:
        out.write(_header(log, len(channels), first_block if channels else 0, data if channels else 0))
        out.write(_event_blocks(log))
        out.write(b"".join(blocks))
        for k, channel in enumerate(channels, 1):
            with np.errstate(over="ignore"):  # a double beyond a float's range is stored as ±inf
                samples = np.ascontiguousarray(channel.samples(), channel.encoding[2])
            if len(samples) != channel.count:
                raise ValueError(f"channel {channel.name!r} has {len(samples)} samples, expected {channel.count}")
            out.write(samples.data)
            if progress is not None:
                progress(k, len(channels))
    renamed = [(name, channel.name) for channel, name in zip(channels, names) if name != channel.name]
    ldx.write_text(_ldx(log, rate, renamed), "ascii")
    return left_out


# -- channels ----------------------------------------------------------------------------------

def _encoding(kind: pa.DataType) -> tuple[int, int, str] | None:
    """How values of an Arrow type are stored; None for characters (text) and what is no number."""
    if pa.types.is_boolean(kind):
        return INT16
    if pa.types.is_floating(kind):
        return FLOAT32
    if pa.types.is_integer(kind) and kind != pa.uint8():  # uint8 holds the recording's chars
        return INT32
    return None


def _stored(values: np.ndarray, encoding: tuple[int, int, str]) -> np.ndarray:
    """Values in their stored type: bit fields keep their bits as i32."""
    if values.dtype == np.uint32:
        return values.view("<i4")
    return values.astype(encoding[2], copy=False)


def _channels(log: LogFile, rate: int) -> tuple[list[_Channel], list[str]]:
    """The channels to write, in order: the recording's scalars, its arrays (a sub-tick array
    as one channel at a multiple of the rate, another one channel per element), then i2's
    standard channels; and the names of those left out."""
    n = len(log)
    channels: list[_Channel] = []
    left_out: list[str] = []
    for name, table in log.channels.items():
        field = table.schema.field(1)
        encoding = _encoding(field.type)
        if encoding is None:
            left_out.append(name)
            continue
        channels.append(_Channel(name, field_text(field, b"units"), rate, n, encoding,
                                 _samples(table.column(1), encoding)))
    for name, table in log.arrays.items():
        field = table.schema.field(1)
        element = field.type.value_type if pa.types.is_fixed_size_list(field.type) else field.type
        encoding = _encoding(element)
        if encoding is None:
            left_out.append(name)
        elif pa.types.is_fixed_size_list(field.type):
            channels += _elements(name, table, n, rate, encoding)
        else:
            channels.append(_sub_tick(name, table, n, rate, encoding))
    return channels + _standard(log, rate, n), left_out


def _samples(column: pa.ChunkedArray, encoding: tuple[int, int, str]) -> Callable[[], np.ndarray]:
    return lambda: _stored(column_values(column), encoding)


def _elements(name: str, table: pa.Table, n: int, rate: int, encoding: tuple[int, int, str]) -> list[_Channel]:
    """An array of values per record as one channel per element, `NAME_0`, `NAME_1`, …;
    its values taken out of the table once, for all of them."""
    column = table.column(1)
    width = column.type.list_size

    @cache
    def flat() -> np.ndarray:
        chunks = [chunk.flatten() for chunk in column.chunks]
        values: np.ndarray = column_values(pa.chunked_array(chunks, column.type.value_type))
        return values.reshape(-1, width)

    def element(k: int) -> Callable[[], np.ndarray]:
        return lambda: _stored(flat()[:, k], encoding)

    unit = field_text(table.schema.field(1), b"units")
    return [_Channel(f"{name}_{k}", unit, rate, n, encoding, element(k)) for k in range(width)]


def _sub_tick(name: str, table: pa.Table, n: int, rate: int, encoding: tuple[int, int, str]) -> _Channel:
    """A sub-tick array as one channel at `count` times the tick rate: a record's last
    sample lies at the record's time, so those before the first record's are left out and
    sample k lies at k / (rate × count) s."""
    count = table.num_rows // n if n else 1
    if rate * count > MAX_RATE:
        raise ValueError(f"{name} at {rate * count} Hz cannot be written: MoTeC rates are at most {MAX_RATE} Hz")
    column = table.column(1)
    field = table.schema.field(1)
    return _Channel(name, field_text(field, b"units"), rate * count, max(table.num_rows - count + 1, 0),
                    encoding, lambda: _stored(column_values(column)[count - 1:], encoding))


def _standard(log: LogFile, rate: int, n: int) -> list[_Channel]:
    """i2's standard channels whose source the recording has, in i2's units, and the lap
    number of the lap model; none where the recording has a channel of that name."""
    channels = []
    for name, unit, source, factor in STANDARD_CHANNELS:
        table = log.channels.get(source)
        if name in log.channels or table is None:
            continue
        encoding = _encoding(table.schema.field(1).type)
        if encoding is None:
            continue
        column = table.column(1)
        if factor is None:
            channels.append(_Channel(name, unit, rate, n, encoding, _samples(column, encoding)))
        else:
            channels.append(_Channel(name, unit, rate, n, FLOAT32, _scaled(column, factor)))
    laps = log.lap_times()
    if laps.num_rows and LAP_NUMBER not in log.channels:
        channels.append(_Channel(LAP_NUMBER, "", rate, n, INT32, lambda: _lap_numbers(laps, n)))
    return channels


def _scaled(column: pa.ChunkedArray, factor: float) -> Callable[[], np.ndarray]:
    return lambda: (column_values(column).astype(np.float64) * factor).astype("<f4")


def _lap_numbers(laps: pa.Table, n: int) -> np.ndarray:
    """Per record, the number of the lap it belongs to; records between laps (placement
    frames) that of the lap before, and those before the first lap that of the first."""
    first = column_values(laps.column("first_record"))
    row = np.searchsorted(first, np.arange(n), side="right") - 1
    numbers: np.ndarray = column_values(laps.column("num"))[np.maximum(row, 0)]
    return numbers


def _ascii(text: str) -> str:
    """The text with every character that is not printable ASCII as "?"."""
    return "".join(char if " " <= char <= "~" else "?" for char in text)


def _cut(text: str, width: int) -> str:
    """The text cut to `width` characters, an element's number at its end (`_12`) kept."""
    if len(text) <= width:
        return text
    head, _, number = text.rpartition("_")
    if head and number.isdigit() and len(number) + 1 < width // 2:
        return f"{head[:width - len(number) - 1]}_{number}"
    return text[:width]


def _unique(names: list[str], width: int) -> list[str]:
    """Each name as printable ASCII cut to `width` bytes, one that equals an earlier one
    (ignoring case) given the first free suffix `_2`, `_3`, … within the width."""
    taken: set[str] = set()
    tried: dict[str, int] = {}  # per cut name, the last suffix number tried
    unique = []
    for name in names:
        text = _ascii(name) or "_"
        candidate = _cut(text, width)
        base = candidate.lower()
        while candidate.lower() in taken:
            tried[base] = number = tried.get(base, 1) + 1
            suffix = f"_{number}"
            candidate = text[:width - len(suffix)] + suffix
        taken.add(candidate.lower())
        unique.append(candidate)
    return unique


# -- the .ld file --------------------------------------------------------------------------------

def _text(text: str, width: int) -> bytes:
    return _ascii(text)[:width].encode("ascii").ljust(width, b"\0")


def _header(log: LogFile, count: int, first_block: int, first_data: int) -> bytes:
    header = bytearray(HEADER_SIZE)
    struct.pack_into("<I4xII20xI", header, 0, 0x40, first_block, first_data, HEADER_SIZE)
    struct.pack_into("<HII8sHHI", header, 64, 1, 1_000_000, 12007, b"ADL", 420, 128, count)
    started = start_date(log.metadata.get("session_start_date", 0))
    date, time = (started.strftime("%d/%m/%Y"), started.strftime("%H:%M:%S")) if started else ("", "")
    driver = player(log.metadata.get("session_info_yaml", ""))
    for offset, width, text in ((94, 16, date), (126, 16, time), (158, TEXT_BYTES, driver.get("UserName") or ""),
                                (222, TEXT_BYTES, driver.get("CarScreenName") or ""),
                                (350, TEXT_BYTES, _venue(log))):
        header[offset:offset + width] = _text(text, width)
    struct.pack_into("<I", header, 1502, 0xC81A4)
    header[1572:1636] = _text(f"telvane {telvane.__version__}", TEXT_BYTES)
    return bytes(header)


def _venue(log: LogFile) -> str:
    return log.metadata.get("track_display_name") or ""


def _event_blocks(log: LogFile) -> bytes:
    """The event, venue and vehicle blocks, one after the other after the header."""
    info = log.metadata.get("session_info_yaml", "")
    venue_at = HEADER_SIZE + EVENT_SIZE
    event = (_text(value_of(info, "EventType") or "", TEXT_BYTES) + _text(_session_types(log), TEXT_BYTES)
             + bytes(1024) + struct.pack("<H", venue_at))
    venue = _text(_venue(log), TEXT_BYTES) + bytes(1034) + struct.pack("<H", venue_at + VENUE_SIZE)
    vehicle = _text(player(info).get("CarScreenName") or "", TEXT_BYTES) + bytes(128 + 4 + 32 + 32)
    return event + venue + vehicle


def _session_types(log: LogFile) -> str:
    """The types of the sessions the records belong to, in their order (all those the
    session info lists where the recording has no session number)."""
    types = {entry.get("SessionNum", ""): entry.get("SessionType", "")
             for entry in list_entries(log.metadata.get("session_info_yaml", ""), "Sessions")}
    numbers = log.lap_inputs.session
    if numbers is None:
        return ", ".join(types.values())
    values, first = np.unique(numbers, return_index=True)
    found = [types.get(str(number)) for number in values[np.argsort(first)].tolist()]
    return ", ".join(dict.fromkeys(text for text in found if text))


def _block(channel: _Channel, name: str, short: str, index: int, first_block: int, count: int,
           data: int) -> bytes:
    at = first_block + BLOCK_SIZE * index
    previous = at - BLOCK_SIZE if index else 0
    following = at + BLOCK_SIZE if index + 1 < count else 0
    kind, size, _ = channel.encoding
    return (struct.pack("<IIIIHHHHhhhh", previous, following, data, channel.count,
                        (FIRST_ID + index) & 0xFFFF, kind, size, channel.rate, 0, 1, 1, 0)
            + _text(name, NAME_BYTES) + _text(short, SHORT_NAME_BYTES) + _text(channel.unit, UNIT_BYTES)
            + bytes(40))


# -- the .ldx ------------------------------------------------------------------------------------

def beacons(log: LogFile, rate: int) -> list[int]:
    """Microseconds from the log's start (the first record, the records `rate` a second
    apart) of every crossing of the line of the lap model, in order."""
    laps = log.lap_times()
    times = log.lap_inputs.times
    crossings = [(time, record) for key, time_key, record_key in
                 (("start_at_line", "start_time", "first_record"), ("end_at_line", "end_time", "end_record"))
                 for at_line, time, record in zip(*(laps.column(name).to_pylist() for name in (key, time_key, record_key)))
                 if at_line]
    return sorted({_microseconds(times, time, record, rate) for time, record in crossings})


def _microseconds(times: np.ndarray, time: float, record: int, rate: int) -> int:
    """The log's time (µs) of the session time `time` (ms) near `record`."""
    return round(_position(times, time, record) * 1e6 / rate)


def _position(times: np.ndarray, time: float, record: int) -> float:
    """Where among the records, as a fractional record index, the session time `time` (ms)
    lies: between the two records around it nearest `record`, where a crossing is."""
    nearby = range(max(record - CROSSING_WINDOW, 1), min(record + CROSSING_WINDOW, len(times) - 1) + 1)
    for j in sorted(nearby, key=lambda j: abs(j - record)):
        before, after = float(times[j - 1]), float(times[j])
        if before <= time <= after:
            return j - 1 + ((time - before) / (after - before) if after > before else 1.0)
    return float(record)


def _ldx(log: LogFile, rate: int, renamed: list[tuple[str, str]]) -> str:
    times = beacons(log, rate)
    lines = ['<?xml version="1.0"?>',
             '<LDXFile Locale="English_United Kingdom.1252" DefaultLocale="C" Version="1.6">',
             ' <Layers>', '  <Layer>']
    if times:
        lines += ['   <MarkerBlock>', f'    <MarkerGroup Name="Beacons" Index="{len(times) - 1}">']
        lines += [f'     <Marker Version="100" ClassName="BCN" Name="Manual.{number}" Flags="77" Time="{time}"/>'
                  for number, time in enumerate(times, 1)]
        lines += ['    </MarkerGroup>', '   </MarkerBlock>']
    lines += ['  </Layer>', '  <Details>']
    lines += [f'   <String Id={_attribute(key)} Value={_attribute(value)}/>'
              for key, value in _details(log, rate, times) + renamed]
    lines += ['  </Details>', ' </Layers>', '</LDXFile>', '']
    return "\n".join(lines)


def _details(log: LogFile, rate: int, times: list[int]) -> list[tuple[str, str]]:
    """Total Laps (the full laps), and the fastest of them: its time and its number as i2
    counts laps (1 before the first beacon, k + 1 from the k-th)."""
    laps = log.lap_times()
    kinds = laps.column("lap_type").to_pylist()
    full = [row for row, kind in enumerate(kinds) if kind == "full"]
    details = [("Total Laps", str(len(full)))]
    if full:
        durations = laps.column("duration").to_pylist()
        fastest = min(full, key=lambda row: (durations[row], row))
        start = _microseconds(log.lap_inputs.times, laps.column("start_time")[fastest].as_py(),
                              laps.column("first_record")[fastest].as_py(), rate)
        details += [("Fastest Time", _lap_time(durations[fastest])),
                    ("Fastest Lap", str(np.searchsorted(times, start, side="right") + 1))]
    return details


def _lap_time(ms: float) -> str:
    """mm:ss.sss, the minutes growing past 99 where a lap is that long."""
    minutes, millis = divmod(round(ms), 60_000)
    return f"{minutes:02d}:{millis // 1000:02d}.{millis % 1000:03d}"


def _attribute(text: str) -> str:
    """An XML attribute value in quotes, in ASCII: control characters as Python escapes,
    other characters beyond ASCII as character references."""
    return quoteattr(printable(text)).encode("ascii", "xmlcharrefreplace").decode("ascii")


def _identity(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    try:
        status = os.stat(path)
    except (OSError, ValueError):  # not there, or no name of a file ("<bytes>", a NUL)
        return None
    return status.st_dev, status.st_ino
