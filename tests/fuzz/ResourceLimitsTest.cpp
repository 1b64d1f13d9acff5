// The DICOM reader on inputs that claim far more than they hold: absurd
// lengths, Rows = Columns = 65535 in a short file, deeply nested items of
// undefined length, endless lists of numbers. Whatever the header claims, the
// memory the reader takes stays in proportion to the file's own size: values
// are allocated only after their length has been checked against the bytes
// left, Pixels only when the file holds every sample, and each tag-table entry
// stands for at least one element header or value read from the file.
//
// The figures come from a counting operator new (CountingAllocator.cpp), not
// from timing or the resident set size, so they are exact and repeatable.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CountingAllocator.h"
#include "DicomDictionary.h"
#include "DicomLib.h"

namespace evenor {
namespace {

// Little-endian byte streams.
class Bytes {
public:
    Bytes& Raw(std::string_view s)
    {
        data.append(s);
        return *this;
    }
    Bytes& U16(std::uint16_t v)
    {
        data += static_cast<char>(v & 0xFF);
        data += static_cast<char>(v >> 8);
        return *this;
    }
    Bytes& U32(std::uint32_t v) { return U16(static_cast<std::uint16_t>(v & 0xFFFF)).U16(static_cast<std::uint16_t>(v >> 16)); }
    Bytes& Tag(std::uint32_t tag) { return U16(static_cast<std::uint16_t>(tag >> 16)).U16(static_cast<std::uint16_t>(tag)); }
    Bytes& Preamble()
    {
        data.append(128, '\0');
        Raw("DICM");
        return Short(0x00020010, "UI", std::string("1.2.840.10008.1.2.1\0", 20));
    }
    // Explicit short-VR element; the length field may lie.
    Bytes& Short(std::uint32_t tag, const char* vr, std::string_view value, int length = -1)
    {
        Tag(tag).Raw(vr).U16(static_cast<std::uint16_t>(length < 0 ? value.size() : length));
        return Raw(value);
    }
    // Explicit long-VR element (OB, OW, SQ, UN, UT); the length field may lie.
    Bytes& Long(std::uint32_t tag, const char* vr, std::string_view value, std::uint32_t length)
    {
        Tag(tag).Raw(vr).U16(0).U32(length);
        return Raw(value);
    }
    // A bare data set (no preamble) long enough to be read: one implicit
    // element of 130 bytes first.
    Bytes& BareStart() { return Implicit(0x00080005, std::string(130, 'A'), 130); }
    Bytes& Implicit(std::uint32_t tag, std::string_view value, std::uint32_t length)
    {
        Tag(tag).U32(length);
        return Raw(value);
    }
    Bytes& Word(std::uint32_t tag, std::uint16_t value)
    {
        std::string v{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
        return Short(tag, "US", v);
    }
    std::string data;
};

constexpr std::uint32_t kUndefined = 0xFFFFFFFF;

struct Case {
    const char* name;
    std::string bytes;
    bool opens;                 // the header reads to the pixel data
    std::size_t bytesPerByte;   // allowed peak per byte of the file, beyond a fixed allowance
};

// The fixed allowance: the reader's 64 KiB file window and small change.
constexpr std::size_t kFixedAllowance = 128 * 1024;

std::vector<Case> HostileInputs()
{
    std::vector<Case> cases;
    // Pixels are never sized beyond what the file holds.
    for (std::uint16_t bits : {16, 8}) {
        Bytes b;
        b.Preamble().Word(0x00280010, 65535).Word(0x00280011, 65535).Word(0x00280100, bits);
        b.Long(0x7FE00010, bits == 16 ? "OW" : "OB", std::string(64, '\x11'), 0xFFFFFFF0);
        cases.push_back({bits == 16 ? "65535x65535, 16 bits, 64 pixel bytes" : "65535x65535, 8 bits, 64 pixel bytes",
                         b.data, true, 4});
    }
    {
        // Absurd lengths on every kind of value: text, long VR, palette,
        // icon sequence, 0018,1164 spacing, implicit.
        const std::pair<const char*, Bytes> lengths[] = {
            {"text length 65535", Bytes().Preamble().Short(0x00100010, "PN", "abc", 0xFFFF)},
            {"UN length 0xFFFFFFF0", Bytes().Preamble().Long(0x00091001, "UN", "abcd", 0xFFFFFFF0)},
            {"OB length 0x7FFFFFFF", Bytes().Preamble().Long(0x00091002, "OB", "abcd", 0x7FFFFFFF)},
            {"palette length 0xFFFFFFF0", Bytes().Preamble().Long(0x00281201, "OW", "abcd", 0xFFFFFFF0)},
            {"icon sequence length 0xFFFFFFF0", Bytes().Preamble().Long(0x00880200, "SQ", "abcd", 0xFFFFFFF0)},
            {"spacing length 65535", Bytes().Preamble().Short(0x00181164, "DS", "0.1", 0xFFFF)},
            {"implicit length 0xFFFFFFF0", Bytes().BareStart().Implicit(0x00100010, "abcd", 0xFFFFFFF0)},
            {"implicit US length 0xFFFFFFFE", Bytes().BareStart().Implicit(0x00280106, "\1\0\2\0", 0xFFFFFFFE)},
            {"implicit FD length 0xFFFFFFF8", Bytes().BareStart().Implicit(0x00181628, std::string(16, '\0'), 0xFFFFFFF8)},
        };
        for (const auto& [name, b] : lengths) cases.push_back({name, b.data, false, 4});
    }
    {
        // 100,000 sequences and items of undefined length nested in each
        // other, never closed: the reader lists them flat, without recursion.
        Bytes b;
        b.Preamble();
        for (int i = 0; i < 100000; ++i) {
            b.Long(0x00081115, "SQ", "", kUndefined);
            b.Tag(0xFFFEE000).U32(kUndefined);
        }
        b.Word(0x00280010, 2).Word(0x00280011, 2).Long(0x7FE00010, "OB", "\1\2\3\4", 4);
        cases.push_back({"100,000 nested undefined-length sequences", b.data, true, 64});
    }
    {
        // The same nesting with the item delimiters, then no pixel data.
        Bytes b;
        b.Preamble();
        for (int i = 0; i < 50000; ++i) b.Long(0x00081115, "SQ", "", kUndefined).Tag(0xFFFEE000).U32(kUndefined);
        for (int i = 0; i < 50000; ++i) b.Tag(0xFFFEE00D).U32(0).Tag(0xFFFEE0DD).U32(0);
        cases.push_back({"50,000 nested and closed sequences, no pixel data", b.data, false, 64});
    }
    {
        // Numbers listed one entry each (SS, FD) and US, of which only 11
        // entries are listed however many values there are.
        const std::string words(60000, '\x01');
        cases.push_back({"implicit SS, 30,000 values", Bytes().BareStart().Implicit(0x00281041, words, 0x7FFFFFFE).data, false, 160});
        cases.push_back({"implicit FD, 7,500 values", Bytes().BareStart().Implicit(0x00181628, words, 0x7FFFFFF8).data, false, 40});
        Bytes us;
        us.Preamble().Long(0x00283006, "OW", "", 0).Short(0x00280106, "US", std::string(65534, '\x02'));
        us.Word(0x00280010, 1).Word(0x00280011, 2).Long(0x7FE00010, "OB", "\1\2", 2);
        cases.push_back({"US, 32,767 values", us.data, true, 4});
    }
    return cases;
}

struct Measured {
    test::AllocationFigures figures;
    bool opened = false;
    std::string error;
};

// Constructs the image from memory, or from the file when path is given, and
// asks for its tag list and its pixels; measures everything from the start.
Measured Measure(const std::string& bytes, const std::filesystem::path* path)
{
    Measured m;
    test::ResetAllocationFigures();
    try {
        std::unique_ptr<TDicomBeeld> image;
        if (path)
            image = std::make_unique<TDicomBeeld>(path->parent_path().string() + "/", path->filename().string());
        else
            image = std::make_unique<TDicomBeeld>(
                std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
        const auto lines = image->TagList();
        if (path) image->LoadPixels();
        m.opened = true;
    } catch (const EvenorError& e) {
        m.error = e.Message();
    }
    m.figures = test::ReadAllocationFigures();
    return m;
}

class ScratchFile {
public:
    explicit ScratchFile(const std::string& bytes)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "evenor-limits-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        folder_ = pattern;
        path_ = folder_ / "hostile.dcm";
        std::ofstream(path_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    ~ScratchFile()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
};

TEST(ResourceLimitsTest, ReaderMemoryStaysInProportionToTheFile)
{
    // The dictionary is loaded once per program, outside any measurement.
    LoadDicomDictionaryFromText(BuiltInDictionary);
    for (const Case& c : HostileInputs()) {
        SCOPED_TRACE(c.name);
        const ScratchFile file(c.bytes);
        const std::size_t allowed = kFixedAllowance + c.bytesPerByte * c.bytes.size();
        for (const bool fromFile : {false, true}) {
            const Measured m = Measure(c.bytes, fromFile ? &file.Path() : nullptr);
            EXPECT_EQ(m.opened, c.opens) << m.error;
            EXPECT_LE(m.figures.Peak, allowed) << (fromFile ? "file" : "memory");
            EXPECT_LE(m.figures.Largest, allowed) << (fromFile ? "file" : "memory");
            std::printf("%-52s %-6s %9zu file bytes, peak %10zu (%.1f per byte), largest %9zu, %s\n", c.name,
                        fromFile ? "file" : "memory", c.bytes.size(), m.figures.Peak,
                        static_cast<double>(m.figures.Peak) / static_cast<double>(c.bytes.size()),
                        m.figures.Largest, m.opened ? "opened" : m.error.substr(0, 40).c_str());
        }
    }
}

// A short file claiming a huge image gives no pixels, before and after a load.
TEST(ResourceLimitsTest, HugeGeometryInAShortFileGivesNoPixels)
{
    Bytes b;
    b.Preamble().Word(0x00280010, 65535).Word(0x00280011, 65535).Word(0x00280100, 16);
    b.Long(0x7FE00010, "OW", std::string(64, '\x11'), 0xFFFFFFF0);
    const ScratchFile file(b.data);
    TDicomBeeld image(file.Path().parent_path().string() + "/", file.Path().filename().string());
    EXPECT_EQ(image.Rows(), 65535);
    EXPECT_EQ(image.Columns(), 65535);
    EXPECT_TRUE(image.Pixels().empty());
    image.LoadPixels();
    EXPECT_TRUE(image.Pixels().empty());
}

// The allocator hook itself counts: a vector of 1 MiB shows as such.
TEST(ResourceLimitsTest, TheCounterSeesAllocations)
{
    test::ResetAllocationFigures();
    {
        std::vector<char> block(1 << 20);
        EXPECT_GE(test::ReadAllocationFigures().Peak, std::size_t{1} << 20);
    }
    EXPECT_EQ(test::ReadAllocationFigures().Largest, std::size_t{1} << 20);
}

}  // namespace
}  // namespace evenor
