#!/usr/bin/python3
"""Writes the seed corpora of the fuzz harnesses into fuzz/seeds/<harness>/.

Every seed is derived from fixed arguments, so running this again gives the
same files (the DICOM seeds come from scripts/make-sample.py with small sizes,
pydicom and DCMTK's dcmconv, and hand-built byte streams for the corners of
the reader). Run it after changing the input layout of a harness:
  /usr/bin/python3 fuzz/make-seeds.py
Needs Debian's pydicom and numpy; dcmconv (dcmtk) where available.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

import pydicom
from pydicom.dataset import Dataset
from pydicom.sequence import Sequence

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEEDS = os.path.join(ROOT, "fuzz", "seeds")
PY = "/usr/bin/python3"


def out(harness, name, data):
    folder = os.path.join(SEEDS, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def make_sample(tmp, name, *args):
    path = os.path.join(tmp, name)
    subprocess.run([PY, os.path.join(ROOT, "scripts", "make-sample.py"), "--out", path,
                    "--blotch-diameter", "3", "--defects", "1", *args],
                   check=True, stdout=subprocess.DEVNULL)
    with open(path, "rb") as f:
        return f.read()


# --- hand-built byte streams -------------------------------------------------

def tag_bytes(tag, big=False):
    fmt = ">HH" if big else "<HH"
    return struct.pack(fmt, tag >> 16, tag & 0xFFFF)


def explicit(tag, vr, value, length=None, *, big=False):
    n = len(value) if length is None else length
    e = ">" if big else "<"
    if vr in ("OB", "OW", "SQ", "UN", "UT"):
        return tag_bytes(tag, big) + vr.encode() + struct.pack(e + "HI", 0, n) + value
    return tag_bytes(tag, big) + vr.encode() + struct.pack(e + "H", n) + value


def implicit(tag, value, length=None):
    n = len(value) if length is None else length
    return tag_bytes(tag) + struct.pack("<I", n) + value


def meta(uid):
    uid = uid.encode()
    if len(uid) % 2:
        uid += b"\0"
    body = explicit(0x00020010, "UI", uid)
    return b"\0" * 128 + b"DICM" + explicit(0x00020000, "UL", struct.pack("<I", len(body))) + body


def us(v, big=False):
    return struct.pack(">H" if big else "<H", v)


def reader_seeds(tmp):
    h = "dicom_reader"
    # Small versions of the sample image in every syntax and both widths.
    for syntax in ("explicit", "implicit", "big"):
        for bits in ("16", "8"):
            out(h, f"sample-{syntax}-{bits}.dcm",
                make_sample(tmp, f"s-{syntax}-{bits}.dcm", "--rows", "6", "--cols", "5",
                            "--bits", bits, "--syntax", syntax, "--spacing", "0.143"))
    base = os.path.join(tmp, "s-explicit-16.dcm")

    # DCMTK's own encodings of the same image.
    if shutil.which("dcmconv"):
        for flag, name in (("+ti", "implicit"), ("+tb", "big"), ("+te", "explicit")):
            path = os.path.join(tmp, f"dcmconv-{name}.dcm")
            subprocess.run(["dcmconv", flag, base, path], check=True)
            with open(path, "rb") as f:
                out(h, f"dcmconv-{name}.dcm", f.read())

    # pydicom variants: an icon image sequence (undefined length), palette
    # data, a compressed transfer syntax, a bare data set.
    ds = pydicom.dcmread(base)
    icon = Dataset()
    icon.Rows = 2
    icon.Columns = 2
    icon.BitsAllocated = 8
    icon.SamplesPerPixel = 1
    icon.PixelData = b"\1\2\3\4"
    icon["PixelData"].VR = "OB"
    ds.IconImageSequence = Sequence([icon])
    path = os.path.join(tmp, "icon.dcm")
    ds.save_as(path, write_like_original=False)
    with open(path, "rb") as f:
        out(h, "icon-sequence.dcm", f.read())

    ds = pydicom.dcmread(base)
    ds.RedPaletteColorLookupTableData = b"\1\0\2\0"
    ds.GreenPaletteColorLookupTableData = b"\1\0\2\0"
    ds.BluePaletteColorLookupTableData = b"\1\0\2\0"
    ds.PhotometricInterpretation = "PALETTE COLOR"
    path = os.path.join(tmp, "palette.dcm")
    ds.save_as(path, write_like_original=False)
    with open(path, "rb") as f:
        out(h, "palette.dcm", f.read())

    with open(base, "rb") as f:
        data = f.read()
    ts = b"1.2.840.10008.1.2.1\0"
    out(h, "compressed-jpeg.dcm", data.replace(ts, b"1.2.840.10008.1.2.4.50"[:20]))
    out(h, "compressed-rle.dcm", data.replace(ts, b"1.2.840.10008.1.2.5\0"))
    # The bare data set: everything after the file meta group.
    meta_length = struct.unpack("<I", data[140:144])[0]
    out(h, "bare-dataset.dcm", data[144 + meta_length:])

    # Hand-built corners.
    px = b"\1\0\2\0\3\0\4\0\5\0\6\0"
    out(h, "edge-us-12-values.dcm", meta("1.2.840.10008.1.2.1") +
        explicit(0x00283002, "US", b"".join(us(i) for i in range(12))) +
        explicit(0x00280010, "US", us(2)) + explicit(0x00280011, "US", us(3)) +
        explicit(0x00280100, "US", us(16)) + explicit(0x7FE00010, "OW", px))
    out(h, "edge-numbers.dcm", meta("1.2.840.10008.1.2.1") +
        explicit(0x00181628, "FD", struct.pack("<dd", 0.143, 123456.0)) +
        explicit(0x00091010, "FL", struct.pack("<ff", 1.5, float("nan"))) +
        explicit(0x00091011, "SL", struct.pack("<ii", -5, 7)) +
        explicit(0x00091012, "UL", struct.pack("<I", 4000000000)) +
        explicit(0x00281041, "SS", struct.pack("<hh", -1, 1) + b"\0") +
        explicit(0x00280030, "DS", b"0.2\\0.1 ") + explicit(0x00181164, "DS", b"0.15\\0.15") +
        explicit(0x00187022, "DS", b"-1e-2 ") +
        explicit(0x00280010, "US", us(2)) + explicit(0x00280011, "US", us(3)) +
        explicit(0x00280100, "US", us(16)) + explicit(0x7FE00010, "OW", px))
    out(h, "edge-implicit-undefined.dcm",
        implicit(0x00080060, b"DX") + implicit(0x00081115, b"", 0xFFFFFFFF) +
        implicit(0xFFFEE000, b"", 0xFFFFFFFF) + implicit(0x00081150, b"1.2.3\0") +
        implicit(0xFFFEE00D, b"") + implicit(0xFFFEE0DD, b"") +
        implicit(0x00880200, b"", 0xFFFFFFFF) + implicit(0x00280010, us(1)) +
        implicit(0x7FE00010, b"\9\9") + implicit(0x00280010, us(2)) +
        implicit(0x00280011, us(2)) + implicit(0x00280100, us(8)) + implicit(0x7FE00010, b"\1\2\3\4"))
    # Length 13 is read as 10 until a value has started at an odd offset
    # (the SH after the one-byte LO), and as 13 after that.
    out(h, "edge-length-13.dcm", meta("1.2.840.10008.1.2.1") +
        explicit(0x00100010, "PN", b"ABCDEFGHIJ", 13) + explicit(0x00100020, "LO", b"X") +
        explicit(0x00100021, "SH", b"ab") + explicit(0x00100030, "DA", b"0123456789ABC", 13) +
        explicit(0x00280010, "US", us(1)) + explicit(0x00280011, "US", us(2)) +
        explicit(0x7FE00010, "OB", b"\7\8"))
    out(h, "edge-private-pixels.dcm", meta("1.2.840.10008.1.2.1") +
        explicit(0x00280010, "US", us(1)) + explicit(0x00280011, "US", us(2)) +
        explicit(0x7F880010, "OB", b"", 0) + explicit(0x7F880010, "OB", b"\0\0\0\0\1\2"))
    out(h, "edge-big-endian.dcm", meta("1.2.840.10008.1.2.2") +
        explicit(0x00280010, "US", us(2, True), big=True) + explicit(0x00280011, "US", us(3, True), big=True) +
        explicit(0x00280100, "US", us(16, True), big=True) +
        explicit(0x00283002, "US", us(4, True) + us(5, True), big=True) +
        explicit(0x7FE00010, "OW", px[::-1], big=True))
    out(h, "edge-huge-geometry.dcm", meta("1.2.840.10008.1.2.1") +
        explicit(0x00280010, "US", us(65535)) + explicit(0x00280011, "US", us(65535)) +
        explicit(0x00280100, "US", us(16)) + explicit(0x7FE00010, "OW", b"\0" * 8, 0xFFFFFFF0))
    out(h, "edge-long-length.dcm", meta("1.2.840.10008.1.2.1") +
        explicit(0x00091001, "UN", b"abcd", 0x7FFFFFFF))
    out(h, "edge-reserved-nonzero.dcm", meta("1.2.840.10008.1.2.1") +
        tag_bytes(0x00091002) + b"OB" + struct.pack("<HI", 1, 4) + b"wxyz" +
        explicit(0x00280010, "US", us(1)) + explicit(0x00280011, "US", us(1)) +
        explicit(0x7FE00010, "OB", b"\5\6"))
    out(h, "edge-short.dcm", b"\0" * 120)


def dictionary_seeds():
    h = "dictionary"
    with open(os.path.join(ROOT, "dicom", "BuiltInDictionary.cpp"), encoding="latin-1") as f:
        source = f.read()
    lines = re.search(r'R"DICT\((.*?)\)DICT"', source, re.S).group(1).split("\n")
    out(h, "builtin.txt", "\r\n".join(lines).encode("latin-1"))
    out(h, "builtin-lf-part.txt", "\n".join(lines[200:260]).encode("latin-1"))
    out(h, "one-line.txt", b"00280010=USNumber of rows")
    out(h, "empty.txt", b"")
    out(h, "lower-case-key.txt", b"0008103e=LOSeries Description\r\n0008103E=LOSeries Description\r\n")
    out(h, "duplicates.txt", b"00100010=PNPatient's Name\r\n00100010=LOName\r\n\r\n00281041=SSSign\r")
    out(h, "binary-vrs.txt", b"00080016=US\r00100010=SS\n00180060=FL\r\n00181153=UL\n"
        b"00181310=SL\n00181628=FD\n00186028=FD\n00200013=US\n00283002=SS\n00283006=FL\n"
        b"00091001=FDPrivate\n00081140=US\nFFFEE000=UL\n00081115=FD\n00280101=FD\n")
    out(h, "short-lines.txt", b"00280010\n00280011=\n00280100=U\n7FE00010=OX\x00after nul\n")


def field_seeds():
    h = "field_syntax"
    cases = {
        "area-ok.txt": b"\x89" + b"0\n15\n0\n15\n1\n5\n20",
        "area-hex.txt": b"\x8d" + b"$0\n0xF\nx0\n$f\n0.5\n5.\n.5",
        "area-wrong-order.txt": b"\x80" + b"15\n0\n0\n15\n1\n5\n20",
        "empty-fields.txt": b"\x80",
        "big-numbers.txt": b"\x81" + b"-$80000000\n9223372036854775807\n-9223372036854775808\n"
                           b"4294967296\n1e308\n1e-400\n1e400",
        "integers.txt": b"\x00" + b"  +12\n-0\n$7FFFFFFF\n2147483648\n0X1f\n-x10\n12 \n 65535\n65536",
        "reals.txt": b"\x00" + b"1.5e+3\n-.5E-2\n.\n5e\n+\ninf\nnan\n0x1p3\n00012.3400\n1,5",
        "tag-lines.txt": b"\x00" + b"00280101, 12, US, Bits Stored\n00280101, 14, US\n00281041",
    }
    for name, data in cases.items():
        out(h, name, data)


def run_seed(rows, cols, flags, bits_stored, offset, spacing, fields, pixels):
    data = bytes([(rows - 1) % 64, (cols - 1) % 64, flags, bits_stored]) + struct.pack("<H", offset)
    for text in [spacing] + fields:
        data += bytes([len(text)]) + text
    return data + pixels


def run_seeds():
    h = "analysis_run"
    noise = bytes((i * 37 + (i * i) % 11) % 256 for i in range(256))
    out(h, "flat-16.bin", run_seed(20, 20, 0x01 | 0x08 | 0x20, 12, 0, b"1\\1",
                                   [b"0", b"19", b"0", b"19", b"1", b"5", b"20"], b"\xe8\x03"))
    out(h, "noise-16-inverted.bin", run_seed(32, 24, 0x01 | 0x08 | 0x10 | 0x20, 12, 100, b"0.5\\0.5",
                                             [b"0", b"31", b"0", b"23", b"0.6", b"1", b"2"], noise))
    out(h, "noise-8-implicit.bin", run_seed(17, 33, 0x02 | 0x08, 8, 7, b"1",
                                            [b"1", b"16", b"2", b"30", b"0.4", b"3", b"10"], noise))
    out(h, "noise-16-big.bin", run_seed(64, 64, 0x01 | 0x04 | 0x08 | 0x10, 16, 0, b"0.25",
                                        [b"0", b"63", b"0", b"63", b"0.3", b"5", b"0"], noise))
    out(h, "refused.bin", run_seed(8, 8, 0x01, 0, 0, b"2",
                                   [b"0", b"7", b"0", b"7", b"5", b"5", b"20"], noise))
    out(h, "no-spacing.bin", run_seed(8, 8, 0x40, 0, 0, b"",
                                      [b"0", b"7", b"0", b"7", b"0.2", b"5", b"20"], noise))
    # Percentages that turn the bands inside out or make them take in every
    # value.
    out(h, "negative-percent.bin", run_seed(24, 20, 0x01 | 0x08, 0, 0, b"1",
                                            [b"0", b"23", b"0", b"19", b"0.5", b"-5", b"-150"], noise))
    out(h, "huge-percent.bin", run_seed(24, 20, 0x08, 0, 0, b"1",
                                        [b"0", b"23", b"0", b"19", b"0.5", b"1e300", b"1e9"], noise))
    out(h, "percent-100.bin", run_seed(16, 16, 0x01 | 0x08, 0, 0, b"1",
                                       [b"0", b"15", b"0", b"15", b"0.4", b"100", b"100"], noise))
    out(h, "truncated.bin", run_seed(10, 10, 0x81, 0, 3, b"1",
                                     [b"0", b"9", b"0", b"9", b"0.3", b"5", b"20"], noise))


def encapsulated_value(path):
    """The value of an encapsulated Pixel Data element, items and delimiter."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.rfind(b"\xe0\x7f\x10\x00OB\x00\x00\xff\xff\xff\xff")
    assert at > 0, path
    return data[at + 12:]


def opj_wrapped(tmp, source, target, options):
    """source's pixels through opj_compress, in a copy of source (JPEG 2000)."""
    from pydicom.encaps import encapsulate
    ds = pydicom.dcmread(source)
    bits = ds.BitsAllocated
    pgm = os.path.join(tmp, "frame.pgm")
    with open(pgm, "wb") as f:
        f.write(b"P5\n%d %d\n%d\n" % (ds.Columns, ds.Rows, 255 if bits == 8 else 65535))
        f.write(ds.pixel_array.astype(">u2" if bits == 16 else "u1").tobytes())
    j2k = os.path.join(tmp, "frame.j2k")
    subprocess.run(["opj_compress", "-i", pgm, "-o", j2k, *options], check=True, stdout=subprocess.DEVNULL)
    with open(j2k, "rb") as f:
        ds.PixelData = encapsulate([f.read()])
    ds["PixelData"].is_undefined_length = True
    ds["PixelData"].VR = "OB"
    ds.file_meta.TransferSyntaxUID = "1.2.840.10008.1.2.4.90"
    ds.save_as(target, write_like_original=False)


def encapsulated_seeds(tmp):
    """Input: a mode byte (codec: 0 RLE, 1 JPEG, 2 JPEG-LS, 3 JPEG 2000; +4 for
    16 bits; +0x80 for a whole file), then rows - 1, columns - 1, frames and
    the Pixel Data value, or the whole file."""
    h = "encapsulated"
    rows, cols = 11, 13
    for bits in (8, 16):
        make_sample(tmp, f"plain{bits}.dcm", "--rows", str(rows), "--cols", str(cols), "--bits", str(bits),
                    "--noise", "3" if bits == 8 else "40")
        plain = os.path.join(tmp, f"plain{bits}.dcm")
        wide = 4 if bits == 16 else 0
        made = {
            "rle": (0, ["dcmcrle", plain]),
            "jpeg-lossless": (1, ["dcmcjpeg", "+e1", plain]),
            "jpeg-fragments": (1, ["dcmcjpeg", "+e1", "+fs", "1", plain]),
            "jpeg-ls": (2, ["dcmcjpls", plain]),
            "jpeg-ls-near": (2, ["dcmcjpls", "+en", plain]),
        }
        for name, (codec, command) in made.items():
            target = os.path.join(tmp, f"{name}{bits}.dcm")
            subprocess.run(command + [target], check=True)
            value = encapsulated_value(target)
            out(h, f"{name}-{bits}.bin", bytes([codec | wide, rows - 1, cols - 1, 1]) + value)
        j2k = os.path.join(tmp, f"j2k{bits}.dcm")
        opj_wrapped(tmp, plain, j2k, ["-n", "2"])
        out(h, f"jpeg2000-{bits}.bin", bytes([3 | wide, rows - 1, cols - 1, 1]) + encapsulated_value(j2k))
        # Whole files: deflated, RLE, JPEG-LS.
        deflated = os.path.join(tmp, f"deflated{bits}.dcm")
        subprocess.run(["dcmconv", "+td", plain, deflated], check=True)
        for name, path in (("file-deflated", deflated), ("file-rle", os.path.join(tmp, f"rle{bits}.dcm")),
                           ("file-jpeg-ls", os.path.join(tmp, f"jpeg-ls{bits}.dcm"))):
            with open(path, "rb") as f:
                out(h, f"{name}-{bits}.bin", b"\x80" + f.read())


def rules_seeds():
    """The intake rules: the shipped example and small rule texts, each with
    the condition values (modality, manufacturer, model, station, detector
    ID, serial, series description, image type) after a NUL byte."""
    with open(os.path.join(ROOT, "docs", "rules-example.json"), "rb") as f:
        example = f.read()
    values = b"\0".join([b"DX", b"Evenor", b"FP-43", b"QA-ROOM-1", b"DET-0042", b"SN-1", b"Flat field",
                         b"ORIGINAL\\PRIMARY"])
    out("rules", "example", example + b"\0" + values)
    out("rules", "example-mg", example + b"\0" + values.replace(b"DX", b"MG"))
    texts = {
        "empty": b'{"rules": []}',
        "every": b'{"rules": [{"match": {}, "settings": {}}]}',
        "regex": b'{"rules": [{"match": {"modality": {"regex": "(CR|DX)+"}}, "settings": {"area": [0, 0, 9, 9]}}]}',
        "settings": b'{"rules": [{"settings": {"box_cm": "0x1F", "offset": "$10", "inverted": "from tag", '
                    b'"preset": "european", "roi_deviation": 1e300, "border_mm": 0.5, "detect": false}}]}',
        "bad": b'{"rules": [{"match": {"x": 1}, "settings": {"area": "1,2"}}, 7], "y": null}',
        "comments": b'// c\n{"rules": [/* x */ {"name": "n", "match": {"station": ""}}]}',
    }
    for name, text in texts.items():
        out("rules", name, text + b"\0" + values)
    # Nested repetitions on long values that almost match: exponential for a
    # backtracking engine, linear for the rules'.
    nested = (b'{"rules": [{"match": {"series_description": {"regex": "(a+)+b"}, '
              b'"image_type": {"regex": "((x|xx)+)+y"}}}, {"match": {"model": {"regex": "(.*a){12}"}}}]}')
    out("rules", "nested", nested + b"\0" + b"\0".join([b"DX", b"", b"a" * 500 + b"!", b"", b"", b"",
                                                        b"a" * 1000, b"x" * 1000]))


def main():
    if os.path.isdir(SEEDS):
        shutil.rmtree(SEEDS)
    with tempfile.TemporaryDirectory() as tmp:
        reader_seeds(tmp)
        encapsulated_seeds(tmp)
    dictionary_seeds()
    field_seeds()
    run_seeds()
    rules_seeds()
    for harness in sorted(os.listdir(SEEDS)):
        print(harness, len(os.listdir(os.path.join(SEEDS, harness))), "seeds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
