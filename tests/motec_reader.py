"""An independent reading of MoTeC i2 logged data (.ld) and its .ldx, with struct, numpy and
ElementTree, from the layout the open-source readers of the format agree on: the header's
fields at their offsets, the event, venue and vehicle blocks through their offsets, the
channel blocks by their linked list, each value as (raw / scale × 10^-dec + shift) × mul."""

from __future__ import annotations

import struct
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path

import numpy as np

HEADER = 1762
BLOCK = 124
KINDS = {(0x07, 2): "<f2", (0x07, 4): "<f4", (0x00, 2): "<i2", (0x03, 2): "<i2", (0x05, 2): "<i2",
         (0x00, 4): "<i4", (0x03, 4): "<i4", (0x05, 4): "<i4"}


def text(field: bytes) -> str:
    return field.rstrip(b"\0").decode("ascii")


@dataclass
class Channel:
    name: str
    short_name: str
    unit: str
    rate: int
    stored: str  # the numpy type of a sample
    raw: np.ndarray
    values: np.ndarray  # raw with its scaling


@dataclass
class LdFile:
    header: dict[str, object]
    event: dict[str, str]
    venue: str
    vehicle: str
    channels: dict[str, Channel]


def read_ld(path: str | Path) -> LdFile:
    data = Path(path).read_bytes()
    assert len(data) >= HEADER
    (marker,) = struct.unpack_from("<I", data, 0)
    first_block, first_data = struct.unpack_from("<II", data, 8)
    (event_at,) = struct.unpack_from("<I", data, 36)
    one, signature, serial, device, version, flags, count = struct.unpack_from("<HII8sHHI", data, 64)
    (pro,) = struct.unpack_from("<I", data, 1502)
    assert (marker, one, signature, pro) == (0x40, 1, 1_000_000, 0xC81A4)
    header = {"first_data": first_data, "serial": serial, "device": text(device), "version": version,
              "count": count, "date": text(data[94:110]), "time": text(data[126:142]),
              "driver": text(data[158:222]), "vehicle": text(data[222:286]), "venue": text(data[350:414]),
              "comment": text(data[1572:1636])}
    event, venue, vehicle = {}, "", ""
    if event_at:
        event = {"name": text(data[event_at:event_at + 64]), "session": text(data[event_at + 64:event_at + 128]),
                 "comment": text(data[event_at + 128:event_at + 1152])}
        (venue_at,) = struct.unpack_from("<H", data, event_at + 1152)
        venue = text(data[venue_at:venue_at + 64])
        (vehicle_at,) = struct.unpack_from("<H", data, venue_at + 1098)
        vehicle = text(data[vehicle_at:vehicle_at + 64])
    channels: dict[str, Channel] = {}
    at, previous = first_block, 0
    while at:
        back, forward, data_at, samples, _, kind, size, rate, shift, mul, scale, dec = \
            struct.unpack_from("<IIIIHHHHhhhh", data, at)
        assert back == previous and at + BLOCK <= len(data)
        stored = KINDS[(kind, size)]
        raw = np.frombuffer(data, stored, samples, data_at)
        values = (raw.astype(np.float64) / scale * 10.0 ** -dec + shift) * mul
        name = text(data[at + 32:at + 64])
        assert name not in channels
        channels[name] = Channel(name, text(data[at + 64:at + 72]), text(data[at + 72:at + 84]), rate, stored,
                                 raw, values)
        previous, at = at, forward
    assert len(channels) == count
    return LdFile(header, event, venue, vehicle, channels)


@dataclass
class LdxFile:
    beacons: list[int]  # µs from the log's start
    details: dict[str, str]


def read_ldx(path: str | Path) -> LdxFile:
    root = ElementTree.parse(path).getroot()
    assert root.tag == "LDXFile"
    group = root.find("Layers/Layer/MarkerBlock/MarkerGroup[@Name='Beacons']")
    markers = [] if group is None else group.findall("Marker")
    assert group is None or int(group.get("Index")) == len(markers) - 1
    assert all(marker.get("ClassName") == "BCN" for marker in markers)
    details = {item.get("Id"): item.get("Value") for item in root.findall("Layers/Details/String")}
    return LdxFile([int(marker.get("Time")) for marker in markers], details)
