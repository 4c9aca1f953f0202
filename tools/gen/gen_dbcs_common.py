"""Shared parts of the double-byte table generators.

- round_trip_mappings(): the round-trip (code point, bytes) pairs of an ICU
  converter, read through `uconv` (icu-devtools).
- index layouts: bytes -> the compact value stored for each MbKind.
- PageTable: the two-level table the C++ side reads (see mb_tables.h).
"""

import subprocess

BLOCK_BITS = 6
BLOCK_SIZE = 1 << BLOCK_BITS
BMP_BLOCKS = 0x10000 >> BLOCK_BITS
LINEAR_FLAG = 0x80000000


def _uconv(args, data):
    result = subprocess.run(["uconv", "--callback", "substitute"] + args,
                            input=data, capture_output=True, check=True)
    return result.stdout


def round_trip_mappings(icu_name, lead_bytes, trail_bytes):
    """Returns {code point: bytes} for every round-trip mapping of icu_name.

    Every single byte and every lead/trail pair is decoded; a pair counts when
    it decodes to one code point and that code point encodes back to the same
    bytes without fallbacks (this drops ICU's one-way fallbacks both ways).
    """
    candidates = [bytes([b]) for b in range(0x100) if b != 0x0A]
    candidates += [bytes([lead, trail]) for lead in lead_bytes for trail in trail_bytes]
    for seq in candidates:
        assert b"\n" not in seq
    decoded = _uconv(["-f", icu_name, "-t", "UTF-32BE"],
                     b"\n".join(candidates) + b"\n")
    code_points = [int.from_bytes(decoded[i:i + 4], "big") for i in range(0, len(decoded), 4)]
    lines, current = [], []
    for cp in code_points:
        if cp == 0x0A:
            lines.append(current)
            current = []
        else:
            current.append(cp)
    assert len(lines) == len(candidates), (icu_name, len(lines), len(candidates))

    single = [(seq, cps[0]) for seq, cps in zip(candidates, lines) if len(cps) == 1]
    text = "".join(chr(cp) + "\n" for _, cp in single
                   if not 0xD800 <= cp <= 0xDFFF).encode("utf-32-be")
    single = [(seq, cp) for seq, cp in single if not 0xD800 <= cp <= 0xDFFF]
    encoded = _uconv(["-f", "UTF-32BE", "-t", icu_name, "--no-fallback"], text)
    back = encoded.split(b"\n")
    assert back[-1] == b"" and len(back) - 1 == len(single), icu_name
    mapping = {}
    for (seq, cp), out in zip(single, back):
        if out == seq:
            assert cp not in mapping or mapping[cp] == seq, (icu_name, hex(cp))
            mapping[cp] = seq
    # 0x0A itself was the separator: it maps to itself in every page used here.
    mapping[0x0A] = b"\n"
    return mapping


# --- index layouts: the value stored per code point, 0 = no mapping --------

def value_japanese(seq):
    if len(seq) == 1:
        return seq[0]
    lead, trail = seq
    row = lead - 0x81 if lead <= 0x9F else 31 + lead - 0xE0
    cell = trail - 0x40 if trail <= 0x7E else trail - 0x41
    assert 0x81 <= lead <= 0x9F or 0xE0 <= lead <= 0xFC
    assert 0x40 <= trail <= 0xFC and trail != 0x7F
    return 256 + row * 188 + cell


def value_simplified_chinese(seq):
    if len(seq) == 1:
        assert seq[0] < 0x80
        return seq[0]
    if len(seq) == 2:
        lead, trail = seq
        assert 0x81 <= lead <= 0xFE and 0x40 <= trail <= 0xFE and trail != 0x7F
        return 128 + (lead - 0x81) * 190 + (trail - 0x40 if trail <= 0x7E else trail - 0x41)
    b1, b2, b3, b4 = seq
    return 24068 + (b1 - 0x81) * 12600 + (b2 - 0x30) * 1260 + (b3 - 0x81) * 10 + (b4 - 0x30)


def value_traditional_chinese(seq):
    if len(seq) == 1:
        return seq[0]
    lead, trail = seq
    assert 0x81 <= lead <= 0xFE
    assert 0x40 <= trail <= 0x7E or 0xA1 <= trail <= 0xFE
    return 256 + (lead - 0x81) * 157 + (trail - 0x40 if trail <= 0x7E else trail - 0x62)


def value_korean(seq):
    if len(seq) == 1:
        return seq[0]
    lead, trail = seq
    assert 0x81 <= lead <= 0xFE and 0x41 <= trail <= 0xFE
    return 256 + (lead - 0x81) * 191 + (trail - 0x41)


# --- two-level page table --------------------------------------------------

class PageTable:
    """BMP code point -> uint16 value via 64-entry blocks.

    index[cp >> 6] is either LINEAR_FLAG | base (value = base + (cp & 63)) or
    the offset of a deduplicated block in `values`.
    """

    def __init__(self, mapping, fill):
        self.fill = fill
        self.index = []
        self.values = []
        seen = {}
        for block in range(BMP_BLOCKS):
            first = block << BLOCK_BITS
            vals = tuple(mapping.get(first + i, fill) for i in range(BLOCK_SIZE))
            for v in vals:
                assert 0 <= v <= 0xFFFF
            base = vals[0]
            if base != fill and all(vals[i] == base + i and vals[i] != fill
                                    for i in range(BLOCK_SIZE)):
                self.index.append(LINEAR_FLAG | base)
                continue
            if vals not in seen:
                seen[vals] = len(self.values)
                self.values.extend(vals)
            self.index.append(seen[vals])
        self.linear_blocks = sum(1 for e in self.index if e & LINEAR_FLAG)

    def lookup(self, cp):
        entry = self.index[cp >> BLOCK_BITS]
        if entry & LINEAR_FLAG:
            return (entry & 0xFFFF) + (cp & (BLOCK_SIZE - 1))
        return self.values[entry + (cp & (BLOCK_SIZE - 1))]

    def emit(self, symbol, header_comment):
        lines = ["// Generated by tools/gen/gen_dbcs.py: do not edit.",
                 "// " + header_comment,
                 '#include "encoding/mb_tables.h"',
                 "",
                 "namespace {",
                 "",
                 f"constexpr uint32_t kIndex[{len(self.index)}] = {{"]
        for i in range(0, len(self.index), 8):
            lines.append("    " + " ".join(f"0x{e:08X}u," for e in self.index[i:i + 8]))
        lines += ["};", "", f"constexpr uint16_t kValues[{len(self.values)}] = {{"]
        for i in range(0, len(self.values), 16):
            lines.append("    " + " ".join(f"0x{v:04X}," for v in self.values[i:i + 16]))
        lines += ["};", "", "}  // namespace", "",
                  f"extern const MbPageTable {symbol} = {{kIndex, kValues, "
                  f"{len(self.values)}u, 0x{self.fill:04X}u}};", ""]
        return "\n".join(lines)
