#!/usr/bin/env python3
# Writes the seed corpus of smf_reader_fuzz: a few tiny MIDI files made here byte by
# byte (generated files; run again after changing this script).
import os
import struct

def vlq(v):
    out = [v & 0x7F]
    v >>= 7
    while v:
        out.insert(0, 0x80 | (v & 0x7F))
        v >>= 7
    return bytes(out)

def chunk(kind, body):
    return kind + struct.pack(">I", len(body)) + body

def header(fmt, tracks, division):
    return chunk(b"MThd", struct.pack(">HHH", fmt, tracks, division))

def ev(delta, *data):
    return vlq(delta) + bytes(data)

def tempo(delta, us):
    return ev(delta, 0xFF, 0x51, 0x03, us >> 16, (us >> 8) & 0xFF, us & 0xFF)

EOT = ev(0, 0xFF, 0x2F, 0x00)

files = {
    "format0_note.mid": header(0, 1, 96) + chunk(b"MTrk", ev(0, 0x90, 60, 100) + ev(96, 0x80, 60, 0) + EOT),
    "format1_tempo_running_status.mid": header(1, 2, 480)
        + chunk(b"MTrk", tempo(0, 500000) + ev(0, 0xFF, 0x03, 2, ord("e"), ord("p")) + tempo(960, 400000) + EOT)
        + chunk(b"MTrk", ev(0, 0x91, 60, 90) + ev(10, 64, 80) + ev(0, 0xF0, 2, 0x7E, 0xF7) + ev(20, 67, 70)
                + ev(240, 0xB1, 64, 127) + ev(5, 0xC1, 4) + ev(5, 0xE1, 0, 64) + ev(480, 0x81, 60, 0) + EOT),
    "smpte_unknown_chunk.mid": header(0, 1, 0xE728) + chunk(b"XFIH", b"\x01\x02")
        + chunk(b"MTrk", ev(0, 0x9F, 36, 1) + ev(0x0FFFFFFF, 0xDF, 5) + EOT),
    "truncated.mid": (header(0, 1, 96) + chunk(b"MTrk", ev(0, 0x90, 60, 100) + ev(96, 0x80, 60, 0) + EOT))[:-5],
}

folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "smf_reader_fuzz")
os.makedirs(folder, exist_ok=True)
for name, data in files.items():
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)
