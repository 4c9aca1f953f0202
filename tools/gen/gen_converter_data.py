#!/usr/bin/env python3
"""Generates the code-page converter's compiled-in files.

Produces, under src/encoding/codepage/generated/:
  conv_file_data.h          declarations and sizes of every distinct file text
  conv_files_tables.cpp     the 54 code tables and 4 character-set files
  conv_files_unicode.cpp    the subset of UnicodeData.txt
  conv_files_models.cpp     settings, module file and the 88 model files
  conv_file_table.cpp       the 149-row embedded-file table (rows with equal
                            texts share one array)

Sources (none is needed by the build):
  * Python's codecs for the IBM/Windows/ISO pages that it knows;
  * glibc's charmap IBM851 (/usr/share/i18n/charmaps/IBM851.gz);
  * ICU's uconv (package icu-devtools) for ibm-1098 and the ISCII pages;
  * Debian's unicode-data (/usr/share/unicode/UnicodeData.txt);
  * the MIT-licensed npm package @point-of-sale/codepage-encoder for the
    printer-specific pages (install it outside the repository and pass its
    folder with --pos-codepages).

Usage (after npm install --prefix /tmp/x @point-of-sale/codepage-encoder@3.0.2):
  gen_converter_data.py --pos-codepages /tmp/x/node_modules/@point-of-sale/codepage-encoder
"""

import argparse
import codecs
import gzip
import json
import os
import re
import subprocess
import sys

from core_namespace import wrap

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT_DIR = os.path.join(REPO, "src", "encoding", "codepage", "generated")
UNICODE_DATA = "/usr/share/unicode/UnicodeData.txt"
IBM851_CHARMAP = "/usr/share/i18n/charmaps/IBM851.gz"

# ---------------------------------------------------------------- code tables

PYTHON_CODECS = {
    "8859-15.txt": "iso8859_15", "8859-2.txt": "iso8859_2", "8859-7.txt": "iso8859_7",
    "cp1125.txt": "cp1125", "cp1250.txt": "cp1250", "cp1251.txt": "cp1251",
    "cp1252.txt": "cp1252", "cp1253.txt": "cp1253", "cp1254.txt": "cp1254",
    "cp1255.txt": "cp1255", "cp1256.txt": "cp1256", "cp1257.txt": "cp1257",
    "cp1258.txt": "cp1258", "cp437.txt": "cp437", "cp720.txt": "cp720",
    "cp737.txt": "cp737", "cp775.txt": "cp775", "cp850.txt": "cp850",
    "cp852.txt": "cp852", "cp855.txt": "cp855", "cp857.txt": "cp857",
    "cp858.txt": "cp858", "cp860.txt": "cp860", "cp861.txt": "cp861",
    "cp862.txt": "cp862", "cp863.txt": "cp863", "cp864.txt": "cp864",
    "cp865.txt": "cp865", "cp866.txt": "cp866", "cp869.txt": "cp869",
    "kz1048.txt": "kz1048",
}

UCONV_PAGES = {
    "cp1098.txt": "ibm-1098",
    "iscii-as.txt": "x-iscii-as", "iscii-be.txt": "x-iscii-be",
    "iscii-de.txt": "x-iscii-de", "iscii-gu.txt": "x-iscii-gu",
    "iscii-ka.txt": "x-iscii-ka", "iscii-ma.txt": "x-iscii-ma",
    "iscii-or.txt": "x-iscii-or", "iscii-pa.txt": "x-iscii-pa",
    "iscii-ta.txt": "x-iscii-ta", "iscii-te.txt": "x-iscii-te",
}

# Printer pages taken from the npm package's tables (name there).
POS_PAGES = {
    "cp853.txt": "cp853", "cp1118.txt": "cp1118", "cp1119.txt": "cp1119",
    "tis11.txt": "thai11", "tis18.txt": "thai18", "ku42.txt": "thai42",
    "tcvn-3_1.txt": "tcvn3", "tcvn-3_2.txt": "tcvn3capitals",
    "katakana.txt": "katakana",
}

TABLE_NAMES = [
    "8859-15.txt", "8859-2.txt", "8859-7.txt", "cp1098.txt", "cp1118.txt", "cp1119.txt",
    "cp1125.txt", "cp1250.txt", "cp1251.txt", "cp1252.txt", "cp1253.txt", "cp1254.txt",
    "cp1255.txt", "cp1256.txt", "cp1257.txt", "cp1258.txt", "cp437.txt", "cp720.txt",
    "cp737.txt", "cp775.txt", "cp850.txt", "cp851.txt", "cp852.txt", "cp853.txt",
    "cp855.txt", "cp857.txt", "cp858.txt", "cp860.txt", "cp861.txt", "cp862.txt",
    "cp863.txt", "cp864.txt", "cp865.txt", "cp866.txt", "cp869.txt", "iscii-as.txt",
    "iscii-be.txt", "iscii-de-m.txt", "iscii-de.txt", "iscii-gu.txt", "iscii-ka.txt",
    "iscii-ma.txt", "iscii-or.txt", "iscii-pa.txt", "iscii-ta.txt", "iscii-te.txt",
    "katakana.txt", "katakanaCD.txt", "ku42.txt", "kz1048.txt", "tcvn-3_1.txt",
    "tcvn-3_2.txt", "tis11.txt", "tis18.txt",
]

ICS_FILES = {
    "ICS_Arabia.txt": {0x25: 0x066A, 0x2A: 0x066D},
    "ICS_Korea.txt": {0x5C: 0x20A9},
    "ICS_None.txt": {},
    "ICS_Vietnam.txt": {0x23: 0x20AB},
}


def table_from_codec(codec):
    rows = []
    for b in range(256):
        try:
            s = bytes([b]).decode(codec)
        except UnicodeDecodeError:
            rows.append(None)
            continue
        rows.append(ord(s) if len(s) == 1 else None)
    return rows


def table_from_glibc_charmap(path):
    rows = [None] * 256
    with gzip.open(path, "rt", encoding="latin-1") as f:
        in_map = False
        for line in f:
            if line.startswith("CHARMAP"):
                in_map = True
                continue
            if line.startswith("END CHARMAP"):
                break
            m = re.match(r"<U([0-9A-Fa-f]{4,6})>\s+/x([0-9a-fA-F]{2})\s", line)
            if in_map and m:
                b = int(m.group(2), 16)
                if rows[b] is None:
                    rows[b] = int(m.group(1), 16)
    return rows


def table_from_uconv(name):
    rows = []
    for b in range(256):
        r = subprocess.run(["uconv", "-f", name, "-t", "UTF-32BE", "--from-callback", "stop"],
                           input=bytes([b]), capture_output=True)
        out = r.stdout
        if r.returncode != 0 or len(out) != 4:
            rows.append(None)
            continue
        cp = int.from_bytes(out, "big")
        # ICU's IBM pages rotate the controls (ibm-1098: 1A -> U+001C,
        # 1C -> U+007F, 7F -> U+001A): real mappings, kept as they are.
        rows.append(None if cp == 0xFFFD else cp)
    return rows


POS_PACKAGE_VERSION = "3.0.2"  # the version PROVENANCE.md names


def load_pos_pages(pkg_dir):
    with open(os.path.join(pkg_dir, "package.json"), encoding="utf-8") as f:
        version = json.load(f).get("version")
    if version != POS_PACKAGE_VERSION:
        sys.exit("codepage-encoder %s found, %s expected" % (version, POS_PACKAGE_VERSION))
    script = ("const C=require(%s);const o={};for(const n of %s){o[n]=C.getEncoding(n).codepoints;}"
              "console.log(JSON.stringify(o));") % (json.dumps(pkg_dir), json.dumps(sorted(set(POS_PAGES.values()))))
    out = subprocess.run(["node", "-e", script], capture_output=True, check=True).stdout
    data = json.loads(out)
    pages = {}
    for name, key in POS_PAGES.items():
        cps = data[key]
        # The package marks an empty byte with U+FFFD.
        pages[name] = [None if (c is None or c == 0xFFFD) else c for c in cps]
    return pages


def build_tables(pkg_dir):
    tables = {}
    for name, codec in PYTHON_CODECS.items():
        tables[name] = table_from_codec(codec)
    # The euro variant of 857 that the printers carry.
    tables["cp857.txt"][0xD5] = 0x20AC
    tables["cp851.txt"] = table_from_glibc_charmap(IBM851_CHARMAP)
    for name, conv in UCONV_PAGES.items():
        tables[name] = table_from_uconv(conv)
    tables.update(load_pos_pages(pkg_dir))
    # No published chart for these two: derived, provisional.
    tables["iscii-de-m.txt"] = list(tables["iscii-de.txt"])
    kata = tables["katakana.txt"]
    cd = [None] * 256
    for b in range(0x80):
        cd[b] = kata[b]
    for b in range(0xA1, 0xE0):
        cd[b] = 0xFF61 + (b - 0xA1)
    tables["katakanaCD.txt"] = cd
    for name in TABLE_NAMES:
        assert name in tables, name
        assert len(tables[name]) == 256, name
        keep_control_bytes(tables[name])
    return tables


CONTROL_BYTES = list(range(0x20)) + [0x7F]


def is_control(cp):
    return cp < 0x20 or cp == 0x7F


def keep_control_bytes(rows):
    """Bytes 00-1F and 7F are printer and display commands on the wire: a row
    that maps one of them from a printable character (the PC picture symbols
    some sources put there) would turn that character into a command. Such a
    byte maps its own control code instead, or stays empty when the table
    already maps that control code elsewhere (ibm-1098's rotated controls are
    kept as they are). Applies to every table and character-set file."""
    mapped = {cp for cp in rows if cp is not None}
    for b in CONTROL_BYTES:
        cp = rows[b]
        if cp is None or is_control(cp):
            continue
        rows[b] = None if b in mapped else b
        mapped.add(b)


def table_text(name, rows):
    lines = []
    for b, cp in enumerate(rows):
        if cp is None:
            # ISO 8859-7 lists only its 253 assigned bytes.
            if name == "8859-7.txt":
                continue
            lines.append("0x%02X\t      \t#\n" % b)
        else:
            lines.append("0x%02X\t0x%04X\t#\n" % (b, cp))
    return "".join(lines)


def ics_text(mapping):
    for b, cp in mapping.items():
        assert not (b in CONTROL_BYTES and not is_control(cp)), (b, cp)
    return "".join("0x%02X\t0x%04X\t#\n" % (b, cp) for b, cp in sorted(mapping.items()))

# ---------------------------------------------------------------- Unicode data


def load_unicode_data():
    """code point -> line (ranges expanded on demand)."""
    lines = {}
    ranges = []
    with open(UNICODE_DATA, encoding="utf-8") as f:
        first = None
        for line in f:
            line = line.rstrip("\n")
            fields = line.split(";")
            cp = int(fields[0], 16)
            if fields[1].endswith(", First>"):
                first = (cp, fields)
                continue
            if fields[1].endswith(", Last>"):
                ranges.append((first[0], cp, first[1]))
                continue
            lines[cp] = line
    return lines, ranges


def unicode_line(cp, lines, ranges):
    if cp in lines:
        return lines[cp]
    for lo, hi, fields in ranges:
        if lo <= cp <= hi:
            f = list(fields)
            f[0] = "%04X" % cp
            base = f[1][1:].split(",")[0].upper()
            f[1] = "%s-%04X" % (base, cp)
            return ";".join(f)
    return None


def build_unicode_subset(tables):
    lines, ranges = load_unicode_data()
    wanted = set()
    for rows in tables.values():
        wanted.update(c for c in rows if c is not None and c <= 0xFFFF)
    for mapping in ICS_FILES.values():
        wanted.update(mapping.values())
    # Components of decompositions, to a fixed point.
    todo = list(wanted)
    while todo:
        cp = todo.pop()
        line = unicode_line(cp, lines, ranges)
        if line is None:
            continue
        decomp = line.split(";")[5]
        for tok in decomp.split():
            if tok.startswith("<"):
                continue
            c = int(tok, 16)
            if c <= 0xFFFF and c not in wanted:
                wanted.add(c)
                todo.append(c)
    out = []
    for cp in sorted(wanted):
        line = unicode_line(cp, lines, ranges)
        if line is not None:
            out.append(line + "\n")
    return "".join(out), len(out), sum(1 for l in out if l.split(";")[5])

# ---------------------------------------------------------------- model files


FAMILY5 = [
    (437, 0, "cp437"), (932, 1, "katakana"), (850, 2, "cp850"), (860, 3, "cp860"),
    (863, 4, "cp863"), (865, 5, "cp865"), (851, 11, "cp851"), (853, 12, "cp853"),
    (857, 13, "cp857"), (737, 14, "cp737"), (150, 15, "8859-7"), (1252, 16, "cp1252"),
    (866, 17, "cp866"), (852, 18, "cp852"), (858, 19, "cp858"), (120, 20, "ku42"),
    (121, 21, "tis11"), (126, 26, "tis18"), (130, 30, "tcvn-3_1"), (131, 31, "tcvn-3_2"),
    (720, 32, "cp720"), (775, 33, "cp775"), (855, 34, "cp855"), (861, 35, "cp861"),
    (862, 36, "cp862"), (864, 37, "cp864"), (869, 38, "cp869"), (151, 39, "8859-2"),
    (152, 40, "8859-15"), (1098, 41, "cp1098"), (153, 42, "cp1118"), (154, 43, "cp1119"),
    (1125, 44, "cp1125"), (1250, 45, "cp1250"), (1251, 46, "cp1251"), (1253, 47, "cp1253"),
    (1254, 48, "cp1254"), (1255, 49, "cp1255"), (1256, 50, "cp1256"), (1257, 51, "cp1257"),
    (1258, 52, "cp1258"), (155, 53, "kz1048"),
]
FAMILY1 = [
    (437, 0, "cp437"), (932, 1, "katakanaCD"), (850, 2, "cp850"), (860, 3, "cp860"),
    (863, 4, "cp863"), (865, 5, "cp865"), (1252, 16, "cp1252"), (866, 17, "cp866"),
    (852, 18, "cp852"), (858, 19, "cp858"),
]
FAMILY3 = [(cp, p, "katakana" if p == 1 else f) for cp, p, f in FAMILY1]
FAMILY4 = FAMILY3 + [(120, 20, "ku42"), (121, 21, "tis11"), (126, 26, "tis18")]
FAMILY2 = [(cp, p, "katakanaCD" if p == 1 else f) for cp, p, f in FAMILY5 if p not in (20, 21, 26)]
FAMILY6 = FAMILY5 + [
    (57002, 66, "iscii-de"), (57003, 67, "iscii-be"), (57004, 68, "iscii-ta"),
    (57005, 69, "iscii-te"), (57006, 70, "iscii-as"), (57007, 71, "iscii-or"),
    (57008, 72, "iscii-ka"), (57009, 73, "iscii-ma"), (57010, 74, "iscii-gu"),
    (57011, 75, "iscii-pa"), (57003, 82, "iscii-de-m"),
]
FAMILY7 = [(437, 0, "cp437"), (120, 20, "ku42"), (121, 21, "tis11"), (126, 26, "tis18"),
           (130, 30, "tcvn-3_1"), (131, 31, "tcvn-3_2")]
FAMILY8 = [(437, 0, "cp437"), (850, 2, "cp850"), (1252, 16, "cp1252")]
FAMILY9 = [(437, 0, "cp437")]

ICS_KOREA = [(13, "ICS_Korea")]
ICS_KOREA_ARABIA = [(13, "ICS_Korea"), (17, "ICS_Arabia")]
FAMILIES = {
    1: (FAMILY1, ICS_KOREA), 2: (FAMILY2, ICS_KOREA), 3: (FAMILY3, ICS_KOREA),
    4: (FAMILY4, ICS_KOREA), 5: (FAMILY5, ICS_KOREA_ARABIA), 6: (FAMILY6, ICS_KOREA_ARABIA),
    7: (FAMILY7, [(16, "ICS_Vietnam")]), 8: (FAMILY8, [(0, "ICS_None")]),
    9: (FAMILY9, [(0, "ICS_None")]),
}


def model_names():
    names = ["CD-A2_ank", "CD-A4_ank", "CD-A1_ank"]
    groups = [
        (["RP-X5D_", "RP-X5E_"], ["ank", "jpn", "sc", "tc"]),
        (["RP-B2_", "RP-k2_"], ["ank", "jpn", "sa", "sc", "tc"]),
        (["RP-k4_"], ["ank", "jpn", "ko", "sa", "sc", "tc"]),
        (["RP-M3_"], ["ank", "jpn", "sa", "sc", "tc"]),
        (["RP-M5B_", "RP-M5_", "RP-M7_"], ["ank", "jpn", "tc"]),
        (["RP-S3B_", "RP-S3_"], ["ank", "jpn"]),
        (["RP-S5_"], ["sc"]),
        (["RP-S6B_", "RP-S6_"], ["ank", "jpn", "sa", "sc", "tc"]),
        (["RP-S8B_"], ["sa", "sc"]),
        (["RP-S9B_"], ["ank", "sa", "sc", "tc"]),
        (["RP-S9_"], ["sa", "sc", "tc"]),
        (["RP-S11B_"], ["ko"]),
        (["RP-S12F_", "RP-S12E_"], ["ank", "jpn", "ko", "sa", "sc", "tc"]),
        (["RP-S14B_"], ["ank", "jpn"]),
        (["RP-D4_"], ["ank", "jpn", "ko", "sa", "sc", "tc"]),
        (["RP-D6_"], ["ank", "sc"]),
    ]
    for models, langs in groups:
        for m in models:
            for l in langs:
                names.append(m + l)
    return names


def family_of(name):
    model, lang = name.rsplit("_", 1)
    model += "_"
    if name in ("CD-A2_ank", "CD-A4_ank"):
        return 1
    if name == "CD-A1_ank":
        return 2
    if name in ("RP-S6_sa", "RP-D4_sa"):
        return 7
    if name == "RP-D6_ank":
        return 8
    if name == "RP-D6_sc":
        return 9
    if name == "RP-B2_sa":
        return 4
    if model in ("RP-X5D_", "RP-X5E_", "RP-M5_", "RP-S6_", "RP-D4_", "RP-B2_"):
        return 3
    if name in ("RP-S5_sc", "RP-S8B_sc"):
        return 3
    if model == "RP-M3_":
        return 6
    return 5


def model_text(name):
    tables, sets = FAMILIES[family_of(name)]
    ics_default = 11 if name == "RP-S12E_ank" else 0
    out = ["[Common]\n",
           "MappingTableNumber=%d\n" % len(tables),
           "InternalCharacterSetNumber=%d\n" % len(sets),
           "ICSCommandDefault=%d\n" % ics_default,
           "DecompositionClassNumber=1160\n",
           "GeneralCategorySize=2\n",
           "CanonicalCombiningClassSize=1\n",
           "BidiClassSize=3\n",
           "DecompositionMappingSize=4\n"]
    for i, (cp, param, f) in enumerate(tables, 1):
        out += ["[Table%d]\n" % i, "CodePage=%d\n" % cp, "TableCommandParam=%d\n" % param,
                "TableFileName=%s.txt\n" % f]
    for i, (param, f) in enumerate(sets, 1):
        out += ["[ICS%d]\n" % i, "ICSCommandParam=%d\n" % param, "ICSFileName=%s.txt\n" % f]
    return "".join(out)


SETTINGS = ("[Settings]\nEncodeTypeDefault=3\nMissingCharacterCode=63\n"
            "DeviceInfoPath=/usr/local/ORVIK/OrvUCCvt/\nMaximumHandle=100\n"
            "OutputBufferBlockSize=65536\nOutputBufferBlockMax=5\n")
MODULE = "ModulePath=./\nUninstallerPath=./\nCommonPath=OrvUCCvt/\n"

# ---------------------------------------------------------------- C++ output

HEADER_NOTE = "// Generated by tools/gen/gen_converter_data.py; do not edit.\n"


def ident(name):
    # "cp437.txt" -> kConvFileCp437Txt
    parts = re.split(r"[^A-Za-z0-9]+", name)
    return "kConvFile" + "".join(p[:1].upper() + p[1:] for p in parts)


def c_literal(text):
    parts = []
    for line in text.splitlines(keepends=True):
        esc = line.replace("\\", "\\\\").replace("\"", "\\\"").replace("\t", "\\t").replace("\n", "\\n")
        parts.append('    "%s"\n' % esc)
    return "".join(parts) if parts else '    ""\n'


def write_data_cpp(path, files, holder):
    out = [HEADER_NOTE, '#include "encoding/codepage/generated/conv_file_data.h"\n\n']
    for name, text in files:
        if holder[text] != name:
            continue
        out.append("extern const char %s[] =\n%s    ;\n\n" % (ident(name), c_literal(text)))
    data = "".join(out)
    assert len(data.encode()) < 1024 * 1024, path
    with open(path, "w") as f:
        f.write(wrap(data))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--pos-codepages", required=True,
                    help="folder of the installed @point-of-sale/codepage-encoder package")
    args = ap.parse_args()

    tables = build_tables(args.pos_codepages)
    table_files = [(n, table_text(n, tables[n])) for n in TABLE_NAMES]
    ics_files = [(n, ics_text(m)) for n, m in sorted(ICS_FILES.items())]
    unicode_text, ucount, dcount = build_unicode_subset(tables)
    models = model_names()
    assert len(models) == 88, len(models)
    model_files = [(m + ".txt", model_text(m)) for m in models]
    converter_files = [("OrvUCSet.txt", SETTINGS), ("rpi.txt", MODULE)]

    order = ([("OrvUCSet.txt", SETTINGS), ("rpi.txt", MODULE), ("UnicodeData.txt", unicode_text)]
             + table_files + ics_files + model_files)
    assert len(order) == 149, len(order)

    # Many models share one file's text (and iscii-de-m copies iscii-de): each
    # distinct text is stored once, under the first file that holds it, and
    # every row with that text points at it.
    holder = {}
    for name, text in order:
        holder.setdefault(text, name)
    idents = [ident(n) for n in set(holder.values())]
    assert len(set(idents)) == len(idents), "two files give one identifier"

    os.makedirs(OUT_DIR, exist_ok=True)
    hdr = [HEADER_NOTE, "#pragma once\n\n#include <cstdint>\n\n"]
    for name, text in order:
        if holder[text] != name:
            continue
        hdr.append("extern const char %s[];\n" % ident(name))
        hdr.append("inline constexpr uint64_t %sSize = %d;\n" % (ident(name), len(text.encode())))
    with open(os.path.join(OUT_DIR, "conv_file_data.h"), "w") as f:
        f.write(wrap("".join(hdr)))

    write_data_cpp(os.path.join(OUT_DIR, "conv_files_tables.cpp"), table_files + ics_files, holder)
    write_data_cpp(os.path.join(OUT_DIR, "conv_files_unicode.cpp"), [("UnicodeData.txt", unicode_text)], holder)
    write_data_cpp(os.path.join(OUT_DIR, "conv_files_models.cpp"), converter_files + model_files, holder)

    tab = [HEADER_NOTE, '#include "encoding/codepage/embedded_file.h"\n',
           '#include "encoding/codepage/generated/conv_file_data.h"\n\n',
           "const EmbeddedFileRow EmbeddedFileTable[] = {\n"]
    for name, text in order:
        data = ident(holder[text])
        tab.append('    {"%s", %s, %sSize},\n' % (name, data, data))
    tab.append("    {nullptr, nullptr, 0},\n};\n")
    with open(os.path.join(OUT_DIR, "conv_file_table.cpp"), "w") as f:
        f.write(wrap("".join(tab)))

    print("UnicodeData subset: %d lines, %d with a decomposition" % (ucount, dcount), file=sys.stderr)


if __name__ == "__main__":
    main()
