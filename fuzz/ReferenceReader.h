#pragma once
// A plain reference of the DICOM header parse, written straight from the
// reading rules as an index walking over the bytes, with no buffering, no
// byte-source class and no shared code with the reader but the dictionary
// lookup and the two text conversions (FD/FL values, spacing). The reader's
// fuzzer compares the real reader with it on every input: the tag table, the
// geometry, the flags and, for a file that cannot be read, the exact message.
#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/DicomDictionary.h"
#include "dicom/DicomLib.h"
#include "dicom/DicomText.h"

namespace evenor::fuzz {

struct ReferenceHeader {
    std::string Error;  // empty when the header was read to the pixel data
    std::vector<TagEntry> Table;
    bool HasPreamble = false;
    bool OddOffsets = false;
    bool BigEndian = false;
    std::uint8_t BitsAllocated = 0;
    double PixelSpacing = 0.0;
    bool ImagerSpacingSeen = false;
    std::int64_t PixelDataOffset = 0;
    std::int32_t Rows = 0;
    std::int32_t Columns = 0;
};

class ReferenceReader {
public:
    explicit ReferenceReader(std::span<const std::uint8_t> bytes) : b_(bytes) {}

    ReferenceHeader Read()
    {
        try {
            Parse();
        } catch (const Failure&) {}
        return h_;
    }

private:
    struct Failure {};

    // A short read: the position is where the read started plus the bytes it got.
    [[noreturn]] void Fail16(std::uint64_t start, std::uint64_t wanted)
    {
        h_.Error = "Error Reading file at Position " + std::to_string(Reached(start, wanted)) + ".";
        throw Failure{};
    }
    [[noreturn]] void Fail32(std::uint64_t start, std::uint64_t wanted)
    {
        h_.Error = "Error Reading file, Position : " + std::to_string(Reached(start, wanted)) +
                   ", last Tag: " + (h_.Table.empty() ? std::string() : h_.Table.back().Tag);
        throw Failure{};
    }
    std::uint64_t Reached(std::uint64_t start, std::uint64_t wanted) const
    {
        if (start >= b_.size()) return start;
        return start + std::min<std::uint64_t>(wanted, b_.size() - start);
    }
    bool Have(std::uint64_t count) const { return pos_ <= b_.size() && count <= b_.size() - pos_; }

    std::uint64_t Number(std::size_t size, bool bigEndian)
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint8_t byte = b_[pos_ + (bigEndian ? i : size - 1 - i)];
            value = value << 8 | byte;
        }
        pos_ += size;
        return value;
    }
    std::uint16_t U16()
    {
        if (!Have(2)) Fail16(pos_, 2);
        return static_cast<std::uint16_t>(Number(2, big_));
    }
    std::uint32_t U32()
    {
        if (!Have(4)) Fail32(pos_, 4);
        return static_cast<std::uint32_t>(Number(4, big_));
    }
    std::uint64_t U64()
    {
        if (!Have(8)) Fail32(pos_, 8);
        return Number(8, big_);
    }
    std::string Text(std::uint64_t count)
    {
        if (!Have(count)) Fail16(pos_, count);
        std::string text(reinterpret_cast<const char*>(b_.data() + pos_), count);
        pos_ += count;
        return text;
    }
    void Skip(std::uint64_t count)
    {
        if (!Have(count)) Fail16(pos_, count);
        pos_ += count;
    }

    void Add(std::uint32_t tag, std::string value, std::string description)
    {
        if (description.empty()) {
            std::string vr;
            if (LookupTag(tag, vr, description)) vr_ = vr;
        }
        h_.Table.push_back(TagEntry{TagToHex(tag), std::move(value), vr_, std::move(description)});
    }

    static bool In(std::string_view code, std::initializer_list<std::string_view> list)
    {
        for (auto c : list)
            if (c == code) return true;
        return false;
    }

    std::uint32_t Header()
    {
        // Group: in a big-endian file the first group other than 0002 (read
        // little-endian) switches the byte order for good.
        if (!Have(2)) Fail16(pos_, 2);
        if (h_.BigEndian && !big_ && (b_[pos_] | b_[pos_ + 1] << 8) != 0x0002) big_ = true;
        const std::uint32_t group = U16();
        const std::uint32_t element = U16();
        if (!Have(2)) Fail16(pos_, 2);
        const std::string code(reinterpret_cast<const char*>(b_.data() + pos_), 2);
        const std::uint64_t w1At = pos_;
        pos_ += 2;
        const std::uint16_t w2 = U16();
        std::uint32_t length;
        if (In(code, {"??", "AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL", "IS",
                      "LO", "LT", "PN", "SH", "SL", "SS", "ST", "TM", "UI", "UL", "US"})) {
            vr_ = code;
            length = w2;
        } else if (In(code, {"OB", "OW", "SQ", "UN", "UT"}) && w2 == 0) {
            vr_ = code;
            length = U32();
        } else {
            vr_ = "--";
            const std::uint64_t keep = pos_;
            pos_ = w1At;
            length = static_cast<std::uint32_t>(Number(4, big_));
            pos_ = keep;
        }
        if (length == 13 && !h_.OddOffsets) length = 10;
        if (length == 0xFFFFFFFF) length = 0;
        length_ = length;
        return group << 16 | element;
    }

    void Generic(std::uint32_t tag)
    {
        std::string description;
        if (vr_ == "--") {
            std::string vr;
            if (LookupTag(tag, vr, description)) vr_ = vr;
        }
        const std::string vr = vr_;
        const std::size_t size = vr == "FD"                                 ? 8
                                 : (vr == "FL" || vr == "SL" || vr == "UL") ? 4
                                 : (vr == "SS" || vr == "US")               ? 2
                                                                            : 0;
        if (size == 0) {
            Add(tag, Text(length_), description);
            return;
        }
        const std::uint32_t n = length_ / static_cast<std::uint32_t>(size);
        for (std::uint32_t i = 1; i <= n; ++i) {
            std::string text;
            if (vr == "FD")
                text = FormatDicomReal(std::bit_cast<double>(U64()));
            else if (vr == "FL")
                text = FormatDicomReal(std::bit_cast<float>(U32()));
            else if (vr == "SL")
                text = std::to_string(static_cast<std::int32_t>(U32()));
            else if (vr == "UL")
                text = std::to_string(U32());
            else if (vr == "SS")
                text = std::to_string(static_cast<std::int16_t>(U16()));
            else
                text = std::to_string(U16());
            if (vr == "US" && i == 11) {
                Add(tag, "....(11 till" + std::to_string(n) + ")", description);
                for (std::uint32_t k = 12; k <= n; ++k) U16();
                break;
            }
            if (i >= 2) text += "(" + std::to_string(i) + ")";
            Add(tag, text, description);
        }
        // The bytes that make no whole value are passed over.
        Skip(length_ % size);
    }

    void Parse()
    {
        pos_ = 128;
        if (!Have(4)) Fail16(128, 4);
        if (std::memcmp(b_.data() + 128, "DICM", 4) == 0) {
            h_.HasPreamble = true;
            pos_ = 132;
        } else {
            pos_ = 0;
        }
        for (;;) {
            const std::uint32_t tag = Header();
            const std::uint64_t start = pos_;
            if (start % 2 != 0) h_.OddOffsets = true;
            const std::uint32_t length = length_;
            switch (tag) {
            case 0x00020010: {
                const std::string uid = Text(length);
                Add(tag, uid, "");
                if (uid.find("1.2.4") != std::string::npos || uid.find("1.2.5") != std::string::npos) {
                    h_.Error = "Cannot open compressed DICOM images. Transfer Syntax UID = " + uid;
                    return;
                }
                if (uid.find("1.2.840.10008.1.2.2") != std::string::npos) h_.BigEndian = true;
                break;
            }
            case 0x00181164: {
                const std::string text = Text(length);
                h_.ImagerSpacingSeen = true;
                h_.PixelSpacing = SpacingFromText(text);
                Add(tag, text, "");
                break;
            }
            case 0x00187022:
            case 0x00280030: {
                const std::string text = Text(length);
                if (!h_.ImagerSpacingSeen) h_.PixelSpacing = SpacingFromText(text);
                Add(tag, text, "");
                break;
            }
            case 0x00180088:
            case 0x00280004:
            case 0x00280008:
            case 0x00281050:
            case 0x00281051:
                Add(tag, Text(length), "");
                break;
            case 0x00280002: {
                const std::uint16_t v = U16();
                Add(tag, std::to_string(icon_ ? v : (v & 0xFF)), "");
                break;
            }
            case 0x00280006:
            case 0x00280103:
                Add(tag, std::to_string(U16()), "");
                break;
            case 0x00280010:
            case 0x00280011: {
                const std::uint16_t v = U16();
                if (!icon_) (tag == 0x00280010 ? h_.Rows : h_.Columns) = v;
                Add(tag, std::to_string(v), "");
                break;
            }
            case 0x00280100: {
                const std::uint16_t v = U16();
                if (!icon_) h_.BitsAllocated = static_cast<std::uint8_t>(v & 0xFF);
                Add(tag, std::to_string(icon_ ? v : h_.BitsAllocated), "");
                break;
            }
            case 0x00281201:
            case 0x00281202:
            case 0x00281203:
                Add(tag, "Bah, kleuren, gaat niet goed ingelezen worden", "");
                Skip(length);
                break;
            case 0x00880200:
                if (length == 0) {
                    icon_ = true;
                } else {
                    Skip(length);
                    Add(tag, "media-icon-image, sla ik over", "");
                }
                break;
            case 0x7F880010:
                if (length != 0) {
                    h_.PixelDataOffset = static_cast<std::int64_t>(start) + 4;
                    return;
                }
                break;
            case 0x7FE00010:
                if (length != 0 && !icon_) {
                    h_.PixelDataOffset = static_cast<std::int64_t>(start);
                    Add(tag, std::to_string(start), "");
                    return;
                }
                Add(tag, "", "");
                icon_ = false;
                Skip(length);
                break;
            default:
                Generic(tag);
            }
        }
    }

    std::span<const std::uint8_t> b_;
    std::uint64_t pos_ = 0;
    bool big_ = false;
    bool icon_ = false;
    std::string vr_;
    std::uint32_t length_ = 0;
    ReferenceHeader h_;
};

}  // namespace evenor::fuzz
