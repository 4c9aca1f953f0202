#!/usr/bin/env python3
"""Generates the double-byte encoder tables under src/encoding/dbcs/generated/.

Run from the repository root:  python3 tools/gen/gen_dbcs.py
Needs uconv (icu-devtools), Python 3 and ../shared/data/bestfit932.txt (or
the path given as the first argument). Sources and patches: tools/gen/PROVENANCE.md.
"""

import os
import sys

from core_namespace import wrap
from gen_dbcs_common import (PageTable, round_trip_mappings, value_bytes,
                             value_simplified_chinese)

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
OUT_DIR = os.path.join(ROOT, "src", "encoding", "dbcs", "generated")
# shared/ sits beside the main tree and two levels above a worktree.
BESTFIT_CANDIDATES = [os.path.join(ROOT, *up, "shared", "data", "bestfit932.txt")
                      for up in (("..",), ("..", ".."))]

TRAIL_40_FC = [t for t in range(0x40, 0xFD) if t != 0x7F]
TRAIL_40_FE = [t for t in range(0x40, 0xFF) if t != 0x7F]
TRAIL_41_FE = list(range(0x41, 0xFF))

# The twelve code points of Shift_JIS row FC (IBM extension tail): printers
# in Japanese mode have no glyphs there.
ROW_FC = [0x9ADC, 0x9B72, 0x9B75, 0x9B8F, 0x9BB1, 0x9BBB,
          0x9C00, 0x9D6B, 0x9D70, 0x9E19, 0x9ED1, 0xFA2D]


def japanese():
    leads = list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD))
    m = round_trip_mappings("windows-932", leads, TRAIL_40_FC)
    for cp, seq in list(m.items()):
        if len(seq) == 2 and seq[0] == 0xFC:
            del m[cp]
    # The other Unicode spellings of the same characters, as text from
    # Windows and from Unix sources both reach the printer.
    m[0x301C] = b"\x81\x60"
    m[0x2016] = b"\x81\x61"
    m[0x2212] = b"\x81\x7C"
    m[0x00A2] = b"\x81\x91"
    m[0x00A3] = b"\x81\x92"
    m[0x00AC] = b"\x81\xCA"
    # ICU's private-use fallback for the NEC numero sign.
    m[0xF86F] = b"\x87\x82"
    m.pop(0x0000, None)
    return {cp: value_bytes(seq) for cp, seq in m.items()}, m


def simplified_chinese():
    m = {}
    for cp in range(0x10000):
        if 0xD800 <= cp <= 0xDFFF:
            continue
        m[cp] = chr(cp).encode("gb18030")
    m[0x1E3F] = b"\xA8\xBC"  # same glyph as U+E7C7: both spellings print
    m.pop(0xFFFD)            # text already lost upstream prints as '?', like any unmapped character
    m.pop(0x0000)
    return {cp: value_simplified_chinese(seq) for cp, seq in m.items()}, m


def check_supplementary_formula():
    """The C++ side computes U+10000..U+E0FFF; prove the formula on the codec."""
    text = "".join(chr(cp) for cp in range(0x10000, 0xE1000))
    data = text.encode("gb18030")
    assert len(data) == 4 * len(text)
    for i in range(0, len(text), 997):
        seq = data[4 * i:4 * i + 4]
        assert value_simplified_chinese(seq) == 24068 + 189000 + i, hex(0x10000 + i)


def traditional_chinese():
    m = round_trip_mappings("windows-950", range(0x81, 0xFF), TRAIL_40_FE)
    m.pop(0x0000, None)
    return {cp: value_bytes(seq) for cp, seq in m.items()}, m


def korean():
    m = round_trip_mappings("windows-949", range(0x81, 0xFF), TRAIL_41_FE)
    m.pop(0x0000, None)
    return {cp: value_bytes(seq) for cp, seq in m.items()}, m


def kanji_bestfit(path):
    """WCTABLE of the best-fit file: code point -> bytes as lead << 8 | trail."""
    m = {}
    with open(path, "rb") as f:
        # Comments hold Shift_JIS bytes: split on LF only, never on them.
        lines = [line.decode("latin-1") for line in f.read().split(b"\n")]
    i = 0
    while not lines[i].startswith("WCTABLE"):
        i += 1
    count = int(lines[i].split()[1])
    for line in lines[i + 1:]:
        body = line.split(";", 1)[0].strip()
        if body.startswith("ENDCODEPAGE"):
            break
        if not body:
            continue
        cp_text, bytes_text = body.split()[:2]
        m[int(cp_text, 16)] = int(bytes_text, 16)
    assert len(m) == count, (len(m), count)
    m[0x0000] = 0x0000
    # The JIS spellings that Unix text uses for the wave dash, double vertical
    # line and minus sign: the same glyphs as the table's U+FF5E, U+2225 and
    # U+FF0D, and what the Japanese kind of MbEncodeUtf8 maps too.
    for cp, twin, code in [(0x301C, 0xFF5E, 0x8160), (0x2016, 0x2225, 0x8161), (0x2212, 0xFF0D, 0x817C)]:
        assert cp not in m and m[twin] == code
        m[cp] = code
    m.pop(0xF86F, None)
    assert all(v != 0xFFFF for v in m.values())
    return m


def check(name, table, expected):
    for cp, value in expected.items():
        got = table.lookup(cp)
        assert got == value, (name, hex(cp), got, value)


def write(filename, table, symbol, comment):
    text = wrap(table.emit(symbol, comment))
    assert len(text) < 1 << 20, filename
    with open(os.path.join(OUT_DIR, filename), "w") as f:
        f.write(text)
    print(f"{filename}: {len(table.values)} values, {table.linear_blocks} linear blocks, "
          f"{len(text)} bytes of source")


def main():
    if len(sys.argv) > 1:
        bestfit = sys.argv[1]
    else:
        bestfit = next(p for p in BESTFIT_CANDIDATES if os.path.exists(p))
    os.makedirs(OUT_DIR, exist_ok=True)
    check_supplementary_formula()
    for filename, build, symbol, comment in [
        ("mb_japanese.cpp", japanese, "kMbJapaneseTable",
         "Code page 932 round trips (ICU windows-932), row FC removed, Unicode variants added."),
        ("mb_simplified_chinese.cpp", simplified_chinese, "kMbSimplifiedChineseTable",
         "GB18030 in the BMP (Python's codec); U+1E3F -> A8 BC, U+FFFD unmapped."),
        ("mb_traditional_chinese.cpp", traditional_chinese, "kMbTraditionalChineseTable",
         "Code page 950 round trips (ICU windows-950)."),
        ("mb_korean.cpp", korean, "kMbKoreanTable",
         "Code page 949 round trips (ICU windows-949)."),
    ]:
        values, _ = build()
        table = PageTable(values, 0)
        check(filename, table, values)
        write(filename, table, symbol, comment)
    kanji = kanji_bestfit(bestfit)
    table = PageTable(kanji, 0xFFFF)
    check("kanji", table, kanji)
    write("mb_kanji_bestfit.cpp", table, "kMbKanjiBestFitTable",
          "Code page 932 with Windows best fit (WCTABLE), U+0000 -> 00, U+F86F unmapped.")


if __name__ == "__main__":
    main()
