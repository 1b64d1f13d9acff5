#!/usr/bin/python3
"""Generates dicom/BuiltInDictionary.cpp, the built-in data dictionary text,
and dicom/DicomTags.h, the constants of the tags the program looks for.

The text is 431 lines "GGGGEEEE=VRName" in a fixed order with fixed VRs (the
KEYS table below). The names come from the DICOM data dictionary (PS3.6) as
Debian's pydicom holds it, in the older wording where later editions renamed
an element, and the rows in VERBATIM are taken exactly as they stand (their
spelling, including the odd ones, is what users of the program have always
seen and what other code relies on).

The tag constants are named by their keywords in the same dictionary (the
CODE_TAGS list below); the few tags outside it are in EXTRA_TAGS.

Run after changing a list and commit both files:
  /usr/bin/python3 scripts/make-dictionary.py
With --check it writes nothing and fails (status 1, naming the file) when a
committed file differs from what it would write; scripts/test runs that.
"""

import os
import sys

from pydicom.datadict import DicomDictionary

# Key order and VRs of the text, by group: element number and VR.
KEYS = """
0002 0010 UI
0008 0005 CS, 0008 CS, 0012 DA, 0013 TM, 0014 UI, 0016 UI, 0018 UI, 0020 DA, 0021 DA, 0022 DA, 0023 DA, 0024 DA, 0025 DA, 0030 TM, 0031 TM, 0032 TM, 0033 TM, 0034 TM, 0035 TM, 0042 CS, 0050 SH, 0052 CS, 0054 AE, 0058 AE, 0060 CS, 0064 CS, 0070 LO, 0080 LO, 0081 ST, 0082 SQ, 0090 PN, 0092 ST, 0094 SH, 0100 SH, 0102 SH, 0104 LO, 1010 SH, 1030 LO, 1032 SQ, 103E LO, 1040 LO, 1050 PN, 1060 PN, 1070 PN, 1080 LO, 1084 SQ, 1090 LO, 1100 SQ, 1110 SQ, 1111 SQ, 1115 SQ, 1120 SQ, 1125 SQ, 1130 SQ, 1140 SQ, 1145 SQ, 1150 UI, 1155 UI, 2111 ST, 2112 SQ, 2120 SH, 2122 IS, 2124 IS, 2129 IS, 2128 IS, 212A IS, 2130 DS, 2132 LO, 2142 IS, 2143 IS, 2144 IS, 2200 CS, 2204 CS, 2208 CS
0010 0010 PN, 0020 LO, 0021 LO, 0030 DA, 0032 TM, 0040 CS, 1000 LO, 1001 PN, 1005 PN, 1010 AS, 1020 DS, 1030 DS, 1040 LO, 2150 LO, 2152 LO, 2180 SH, 21A0 CS, 21B0 LT, 4000 LT
0018 0010 LO, 0015 CS, 0020 CS, 0021 CS, 0022 CS, 0023 CS, 0024 SH, 0025 CS, 0030 LO, 0031 LO, 0032 DS, 0033 DS, 0034 LO, 0035 TM, 0040 IS, 0050 DS, 0060 DS, 0070 IS, 0071 CS, 0072 DS, 0080 DS, 0081 DS, 0082 DS, 0083 DS, 0084 DS, 0085 SH, 0086 IS, 0087 DS, 0088 DS, 0089 IS, 0090 DS, 0091 IS, 0093 DS, 0094 DS, 0095 DS, 1000 LO, 1004 LO, 1010 LO, 1012 DA, 1014 TM, 1016 LO, 1018 LO, 1019 LO, 1020 LO, 1022 SH, 1023 LO, 1030 LO, 1040 LO, 1041 DS, 1042 TM, 1043 TM, 1044 DS, 1045 IS, 1050 DS, 1060 DS, 1061 LO, 1062 IS, 1063 DS, 1064 LO, 1065 DS, 1066 DS, 1070 LO, 1071 DS, 1072 TM, 1073 TM, 1074 DS, 1080 CS, 1081 IS, 1082 IS, 1083 IS, 1084 IS, 1085 LO, 1086 IS, 1088 IS, 1090 IS, 1094 IS, 1100 DS, 1110 DS, 1111 DS, 1120 DS, 1130 DS, 1131 DS, 1140 CS, 1141 DS, 1142 DS, 1143 DS, 1144 DS, 1145 DS, 1146 DS, 1147 CS, 1149 IS, 1150 IS, 1151 IS, 1152 IS, 1153 IS, 1154 DS, 1155 CS, 1156 CS, 115A CS, 115E DS, 1160 SH, 1161 LO, 1162 DS, 1164 DS, 1166 CS, 1170 IS, 1180 SH, 1181 CS, 1182 IS, 1183 DS, 1184 DS, 1190 DS, 1191 CS, 11A0 DS, 11A2 DS, 1200 DA, 1201 TM, 1210 SH, 1242 IS, 1243 IS, 1250 SH, 1251 SH, 1260 SH, 1261 LO, 1300 IS, 1301 CS, 1302 IS, 1310 US, 1312 CS, 1314 DS, 1315 CS, 1316 DS, 1318 DS, 1400 LO, 1401 LO, 1402 CS, 1403 CS, 1404 US, 1405 IS, 1450 CS, 1500 CS, 1508 CS, 1510 DS, 1511 DS, 1520 DS, 1521 DS, 1530 DS, 1531 DS, 1600 CS, 1602 IS, 1604 IS, 1606 IS, 1608 IS, 1610 IS, 1612 IS, 1620 IS, 1700 IS, 1702 IS, 1704 IS, 1706 IS, 1708 IS, 1710 IS, 1712 IS, 1720 IS, 5000 SH, 5010 LO, 5012 DS, 5020 LO, 5021 LO, 5022 DS, 5024 DS, 5026 DS, 5027 DS, 5028 DS, 5029 DS, 5050 IS, 5100 CS, 5101 CS, 5104 SQ, 5210 DS, 5212 DS, 6000 DS, 6011 SQ, 6012 US, 6014 US, 6016 UL, 6018 UL, 601A UL, 601C UL, 601E UL, 6020 SL, 6022 SL, 6024 US, 6026 US, 1628 FD, 602A FD, 602C FD, 602E FD, 6030 UL, 6031 CS, 6032 UL, 6034 FD, 6036 FD, 6038 UL, 603A UL, 603C UL, 603E UL, 6040 UL, 6042 UL, 6044 US, 6046 UL, 6048 UL, 604A UL, 604C US, 604E US, 6050 UL, 6052 UL, 6054 FD, 6056 UL, 6058 UL, 605A UL, 7000 CS, 7001 DS, 7004 CS, 7005 CS, 7006 LT, 7008 LT, 700A SH, 700C DA, 700E TM, 7010 IS, 7011 IS, 7012 DS, 7014 DS, 7016 DS, 701A DS, 7020 DS, 7022 DS, 7024 CS, 7026 DS, 7028 DS, 7030 DS, 7032 DS, 7034 CS, 7040 LT, 7041 LT, 7042 DS, 7044 DS, 7046 IS, 7048 DS, 704C DS, 7050 LT, 7052 DS, 7054 DS, 7060 CS, 7062 LT, 7064 CS, 7065 DS
0020 000D UI, 000E UI, 0010 SH, 0011 IS, 0012 IS, 0013 IS, 0014 IS, 0015 IS, 0016 IS, 0017 IS, 0018 IS, 0020 CS, 0022 US, 0024 US, 0032 DS, 0037 DS, 0052 UI, 0060 CS, 0080 UI, 0100 IS, 0105 IS, 0110 DS, 1000 IS, 1002 IS, 1004 IS, 1040 LO, 1041 DS, 1070 IS, 1200 IS, 1202 IS, 1204 IS, 1206 IS, 1208 IS, 4000 LT
0028 0002 US, 0004 CS, 0006 US, 0008 IS, 0009 AT, 0010 US, 0011 US, 0030 DS, 0031 DS, 0032 DS, 0034 IS, 0051 CS, 0100 US, 0101 US, 0102 US, 0103 US, 0106 US, 0107 US, 0108 US, 0109 US, 0120 US, 1040 CS, 1041 SS, 1050 DS, 1051 DS, 1052 DS, 1053 DS, 1054 LO, 1055 LO, 1101 US, 1102 US, 1103 US, 1201 US, 1202 US, 1203 US, 3000 SQ, 3002 xs, 3003 LO, 3004 LO, 3006 OW, 3010 SQ
7FE0 0010 OX
FFFE E000 na, E00D na, E0DD na
"""

# Rows that stand exactly as written, whatever PS3.6 says.
VERBATIM = [
    "00020010=UITransfer Syntax UID",
    "00080023=DAImage Date",
    "00200013=ISImage Number",
    "00180060=DSkVp",
    "00180086=ISEcho Numbers(s)",
    "00181020=LOSoftware Versions(s)",
    "00181149=ISField of View Dimensions(s)",
    "00181153=ISExposure in uAs",
    "00181164=DSImager Pixel Spacing",
    "00181628=FDReference Pixel Physical Value X",
    "00186036=FDSterring Angle",
    "00187022=DSDetector Element Spacing",
    "00187050=LTFilter Material LT",
    "00280010=USRows",
    "00280011=USColumns",
    "00280030=DSPixel Spacing",
    "00280100=USBits Allocated",
    "00280101=USBits Stored",
    "00281040=CSPixelIntensity Relationship",
    "00281041=SSPixelIntensity Relationship Sign",
    "00281201=USRed Palette Color Lookup Table Data",
    "00281202=USGreen Palette Color Lookup Table Data",
    "00281203=USBlue Palette Color Lookup Table Data",
    "00283002=xsLUT Descriptor",
    "00283004=LOMadality LUT Type",
    "00283006=OWLUT Data",
    "7FE00010=OXPixel Data",
    "FFFEE000=naItem",
    "FFFEE00D=naItem Delimitation Item",
    "FFFEE0DD=naSequence Delimitation Item",
]

# Elements that later editions of PS3.6 renamed: the earlier name.
OLDER_NAMES = {
    0x00080033: "Image Time",
    0x00081111: "Referenced Study Component Sequence",
    0x0018115E: "Image Area Dose Product",
    0x00201204: "Number of Patient Related Images",
    0x00201208: "Number of Study Related Images",
}


# Tags the program itself looks for, by their keywords in PS3.6: the reader's
# elements with their own handling, and the elements whose values the
# analysis and the image identity read from the tag list.
CODE_TAGS = """
TransferSyntaxUID
AcquisitionDate AcquisitionTime PresentationIntentType Manufacturer StationName ManufacturerModelName
DeviceSerialNumber SoftwareVersions
KVP SpacingBetweenSlices Exposure ExposureInuAs ImagerPixelSpacing DetectorID DetectorElementSpacing
ExposureIndex TargetExposureIndex DeviationIndex
SamplesPerPixel PhotometricInterpretation PlanarConfiguration NumberOfFrames Rows Columns PixelSpacing
BitsAllocated BitsStored PixelRepresentation LossyImageCompression
PixelIntensityRelationship PixelIntensityRelationshipSign WindowCenter WindowWidth
RedPaletteColorLookupTableData GreenPaletteColorLookupTableData BluePaletteColorLookupTableData
IconImageSequence
PixelData
"""

# Tags the program looks for that PS3.6 does not define: keyword, tag, what it is.
EXTRA_TAGS = [
    ("PrivatePixelData", 0x7F880010, "pixel data in a private group"),
]


def keys():
    for line in KEYS.strip().splitlines():
        group, rest = line.split(" ", 1)
        for item in rest.split(", "):
            element, vr = item.split(" ")
            yield group + element, vr


def name_of(tag):
    if tag in OLDER_NAMES:
        return OLDER_NAMES[tag]
    name = DicomDictionary[tag][2]
    # Retired elements carry no marker in the older editions.
    return name.removesuffix(" (Retired)")


def lines():
    verbatim = {row[:8]: row for row in VERBATIM}
    out = []
    for key, vr in keys():
        if key in verbatim:
            row = verbatim.pop(key)
            assert row[9:11] == vr, row
        else:
            row = f"{key}={vr}{name_of(int(key, 16))}"
        assert row.isascii() and ")DICT\"" not in row, row
        out.append(row)
    assert not verbatim, verbatim
    assert len(out) == 431, len(out)
    return out


def code_tags():
    by_keyword = {entry[4]: tag for tag, entry in DicomDictionary.items()}
    tags = []
    for keyword in CODE_TAGS.split():
        tag = by_keyword[keyword]
        vr, _, name = DicomDictionary[tag][:3]
        tags.append((keyword, tag, f"{vr} {name}"))
    for keyword, tag, what in EXTRA_TAGS:
        assert tag not in DicomDictionary, keyword
        tags.append((keyword, tag, what))
    tags.sort(key=lambda t: t[1])
    assert len({t[0] for t in tags}) == len(tags)
    return tags


def tags_header():
    rows = []
    for keyword, tag, what in code_tags():
        key = f"{tag:08X}"
        rows.append(f"// ({key[:4]},{key[4:]}) {what}\n"
                    f'inline constexpr DicomTag {keyword}{{0x{key}, "{key}"}};')
    body = "\n".join(rows)
    return f"""\
// Generated by scripts/make-dictionary.py. DO NOT EDIT.
//
// The tags the program looks for, named by their keywords in the DICOM data
// dictionary (PS3.6). Each carries its number and its key in the tag list,
// both written from the same number here, so that a lookup by either cannot
// name a different element.
#pragma once
#include <cstdint>
#include <string_view>

namespace evenor {{

struct DicomTag {{
    std::uint32_t Number;  // group << 16 | element
    std::string_view Key;  // TagEntry::Tag: 8 upper-case hexadecimal digits, group first
}};

namespace tags {{

{body}

}}  // namespace tags

}}  // namespace evenor
"""


def dictionary_source():
    rows = lines()
    chars = sum(len(r) for r in rows) + 2 * (len(rows) - 1)
    body = "\n".join(rows)
    return f"""\
// Generated by scripts/make-dictionary.py. DO NOT EDIT.
//
// The built-in data dictionary: {len(rows)} lines "GGGGEEEE=VRName",
// {chars} characters with CR LF between the lines and none after the last.
// The raw literal below holds the lines separated by LF; they are turned into
// CR LF at compile time so the text is exactly what a DicomLibrary.txt file
// holding the same lines would give.
#include <array>
#include <cstddef>
#include <string_view>

#include "dicom/DicomDictionary.h"

namespace evenor {{

namespace {{

constexpr std::string_view kLines = R"DICT({body})DICT";

constexpr std::size_t CrLfSize(std::string_view text)
{{
    std::size_t size = text.size();
    for (char c : text)
        if (c == '\\n') ++size;
    return size;
}}

constexpr auto ToCrLf()
{{
    std::array<char, CrLfSize(kLines)> out{{}};
    std::size_t k = 0;
    for (char c : kLines) {{
        if (c == '\\n') out[k++] = '\\r';
        out[k++] = c;
    }}
    return out;
}}

constexpr auto kText = ToCrLf();
static_assert(kText.size() == {chars});

}}  // namespace

extern const std::string_view BuiltInDictionary(kText.data(), kText.size());

}}  // namespace evenor
"""


def main():
    check = sys.argv[1:] == ["--check"]
    if sys.argv[1:] and not check:
        print("usage: make-dictionary.py [--check]", file=sys.stderr)
        return 2
    dicom = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "dicom")
    stale = []
    for name, text in (("BuiltInDictionary.cpp", dictionary_source()), ("DicomTags.h", tags_header())):
        path = os.path.join(dicom, name)
        if check:
            with open(path, encoding="ascii", newline="") as f:
                if f.read() != text:
                    stale.append(path)
            continue
        with open(path, "w", encoding="ascii", newline="\n") as f:
            f.write(text)
    for path in stale:
        print(f"{os.path.normpath(path)} is not what scripts/make-dictionary.py makes; run it and commit the result",
              file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
