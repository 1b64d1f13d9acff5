// Fuzzes the data dictionary text: loading it from memory and from
// "DicomLibrary.txt" in a working directory, looking tags up, and reading a
// fixed, well-formed implicit-VR header whose VRs come from that dictionary.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dicom/DicomDictionary.h"
#include "dicom/DicomLib.h"
#include "fuzz/FuzzSupport.h"

namespace evenor::fuzz {
namespace {

void Put16(std::string& out, std::uint16_t v)
{
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void Put32(std::string& out, std::uint32_t v)
{
    Put16(out, static_cast<std::uint16_t>(v & 0xFFFF));
    Put16(out, static_cast<std::uint16_t>(v >> 16));
}

void Implicit(std::string& out, std::uint32_t tag, std::string_view value)
{
    Put16(out, static_cast<std::uint16_t>(tag >> 16));
    Put16(out, static_cast<std::uint16_t>(tag & 0xFFFF));
    Put32(out, static_cast<std::uint32_t>(value.size()));
    out += value;
}

// A bare implicit little-endian data set: elements of every value size the
// dictionary can give a binary VR to (lengths 0, 1, 2, 3, 4, 6, 8, 12, 24 and
// 26, so whole values and leftovers alike), a defined-length sequence, an
// undefined-length one with an item, then Rows 3, Columns 2 and Pixel Data.
// Whatever VRs the dictionary gives, the header reads to its end.
const std::string& FixedHeader()
{
    static const std::string header = [] {
        std::string out;
        const std::string bytes26 = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10"
                                    "\x7F\x80\xFF\xFE\x00\x00\xF0\x7F\x00\x00";
        Implicit(out, 0x00080005, "ISO_IR 100");
        Implicit(out, 0x00080008, "");
        Implicit(out, 0x00080016, bytes26.substr(0, 1));
        Implicit(out, 0x00100010, bytes26.substr(0, 2));
        Implicit(out, 0x00180060, bytes26.substr(0, 3));
        Implicit(out, 0x00181153, bytes26.substr(0, 4));
        Implicit(out, 0x00181310, bytes26.substr(0, 6));
        Implicit(out, 0x00181628, bytes26.substr(0, 8));
        Implicit(out, 0x00186028, bytes26.substr(0, 12));
        Implicit(out, 0x00187022, "0.1\\0.1 ");
        Implicit(out, 0x00200013, bytes26.substr(0, 24));
        Implicit(out, 0x00280101, bytes26.substr(0, 2));
        Implicit(out, 0x00281041, bytes26.substr(0, 2));
        Implicit(out, 0x00283002, bytes26);
        Implicit(out, 0x00283006, bytes26);
        Implicit(out, 0x00091001, bytes26.substr(0, 16));
        std::string item;
        Implicit(item, 0xFFFEE000, "");  // an empty item of defined length
        Implicit(out, 0x00081140, item);
        Put16(out, 0x0008);
        Put16(out, 0x1115);
        Put32(out, 0xFFFFFFFF);
        Put16(out, 0xFFFE);
        Put16(out, 0xE000);
        Put32(out, 0xFFFFFFFF);
        Implicit(out, 0x00081150, "1.2.3");
        Implicit(out, 0xFFFEE00D, "");
        Implicit(out, 0xFFFEE0DD, "");
        std::string rows, columns;
        Put16(rows, 3);
        Put16(columns, 2);
        Implicit(out, 0x00280010, rows);
        Implicit(out, 0x00280011, columns);
        Implicit(out, 0x7FE00010, "abcdef");
        return out;
    }();
    return header;
}

// The tags looked up: those the reader and the analysis depend on, those of
// the fixed header, and up to 16 eight-character runs of upper-case hex digits
// in the text itself.
std::vector<std::uint32_t> TagsToLookUp(std::string_view text)
{
    std::vector<std::uint32_t> tags = {0x00020010, 0x00080023, 0x00181164, 0x00280010, 0x00280011, 0x00280030,
                                       0x00280100, 0x00280101, 0x00281040, 0x00281041, 0x00880200, 0x7FE00010,
                                       0xFFFEE000, 0xFFFEE0DD, 0x00000000, 0xFFFFFFFF};
    auto hexValue = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::size_t run = 0;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < text.size() && tags.size() < 32; ++i) {
        const int digit = hexValue(text[i]);
        if (digit < 0) {
            run = 0;
            value = 0;
            continue;
        }
        value = (value << 4) | static_cast<std::uint32_t>(digit);
        if (++run >= 8) tags.push_back(value);
    }
    return tags;
}

struct Lookup {
    bool Found;
    std::string VR;
    std::string Description;
    bool operator==(const Lookup&) const = default;
};

std::vector<Lookup> LookUpAll(const std::vector<std::uint32_t>& tags)
{
    std::vector<Lookup> results;
    for (std::uint32_t tag : tags) {
        Lookup lookup{false, "vr", "stale"};
        lookup.Found = LookupTag(tag, lookup.VR, lookup.Description);
        results.push_back(lookup);
    }
    return results;
}

std::string TagKey(std::uint32_t tag)
{
    char key[9];
    std::snprintf(key, sizeof key, "%08X", tag);
    return key;
}

// Loads the text as "DicomLibrary.txt" from the scratch folder as working
// directory, and comes back to the directory the process was in.
void LoadThroughFile(std::string_view text)
{
    WriteFile(ScratchFolder::Path() / "DicomLibrary.txt", text);
    const int back = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(back >= 0);
    FUZZ_CHECK(::chdir(ScratchFolder::Path().c_str()) == 0);
    LoadDicomDictionary();
    FUZZ_CHECK(::fchdir(back) == 0);
    ::close(back);
}

}  // namespace
}  // namespace evenor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace evenor;
    using namespace evenor::fuzz;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view used = text.substr(0, text.find('\0'));  // a NUL ends the text
    const std::vector<std::uint32_t> tags = TagsToLookUp(used);

    LoadDicomDictionaryFromText(text);
    const std::vector<Lookup> fromText = LookUpAll(tags);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        const Lookup& lookup = fromText[i];
        // A tag is found exactly when its key stands somewhere in one line;
        // a key cannot span a line break, which is never a hex digit.
        FUZZ_CHECK(lookup.Found == (used.find(TagKey(tags[i])) != std::string_view::npos));
        if (lookup.Found) {
            FUZZ_CHECK(lookup.VR.size() == 2);
            FUZZ_CHECK(used.find(lookup.Description) != std::string_view::npos);
        } else {
            FUZZ_CHECK(lookup.VR == "vr");
            FUZZ_CHECK(lookup.Description.empty());
        }
    }

    // The header is well formed whatever the dictionary says: it reads to its
    // end with the geometry of its own elements.
    const std::string& header = FixedHeader();
    const TDicomBeeld image(std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
    FUZZ_CHECK(image.Rows() == 3 && image.Columns() == 2);
    FUZZ_CHECK(image.PixelDataOffset() == static_cast<std::int32_t>(header.size() - 6));
    for (const auto& entry : image.TagTable()) FUZZ_CHECK(entry.VR.size() == 2);
    const std::vector<std::string> lines = image.TagList();
    FUZZ_CHECK(lines.size() == image.TagTable().size());

    // The same text through the file gives the same dictionary.
    LoadThroughFile(text);
    FUZZ_CHECK(LookUpAll(tags) == fromText);
    const TDicomBeeld again(std::span(reinterpret_cast<const std::uint8_t*>(header.data()), header.size()));
    FUZZ_CHECK(again.TagList() == lines);
    return 0;
}
