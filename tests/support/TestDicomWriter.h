#pragma once
// The one writer of DICOM bytes for the tests and the fuzz harnesses.
//
// TestDicomWriter builds a byte stream element by element: explicit or
// implicit VR, in either byte order, with or without the preamble, with
// length fields that may lie about their values. DicomFileBytes writes a
// complete, valid image file from a TestImage: a PS3.10 file in Explicit VR
// Little Endian with the few elements the analysis reads and 16-bit pixels.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/TempFolder.h"

namespace evenor::test {

enum class Order { Little, Big };

class TestDicomWriter {
public:
    std::vector<std::uint8_t> bytes;
    Order order = Order::Little;

    // 128 zero bytes and "DICM".
    TestDicomWriter& Preamble()
    {
        std::string preamble(128, '\0');
        preamble += "DICM";
        return Raw(preamble);
    }

    TestDicomWriter& SetOrder(Order o)
    {
        order = o;
        return *this;
    }

    TestDicomWriter& Raw(std::string_view data)
    {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }

    TestDicomWriter& U16(std::uint16_t v) { return Raw(Bytes16(v)); }
    TestDicomWriter& U32(std::uint32_t v) { return Raw(Bytes32(v)); }

    // An explicit-VR element; OB, OW, SQ, UN and UT get the long header.
    TestDicomWriter& Explicit(std::uint32_t tag, std::string_view vr, std::string_view value)
    {
        return ExplicitWithLength(tag, vr, static_cast<std::uint32_t>(value.size()), value);
    }

    // An explicit-VR element whose length field says `length`, followed by
    // `value` (which need not have that length).
    TestDicomWriter& ExplicitWithLength(std::uint32_t tag, std::string_view vr, std::uint32_t length,
                                        std::string_view value)
    {
        Tag(tag);
        Raw(vr);
        if (vr == "OB" || vr == "OW" || vr == "SQ" || vr == "UN" || vr == "UT") {
            U16(0);
            U32(length);
        } else {
            U16(static_cast<std::uint16_t>(length));
        }
        return Raw(value);
    }

    // An explicit US element of one value.
    TestDicomWriter& ExplicitUS(std::uint32_t tag, std::uint16_t value) { return Explicit(tag, "US", Bytes16(value)); }

    TestDicomWriter& Implicit(std::uint32_t tag, std::string_view value)
    {
        return ImplicitWithLength(tag, static_cast<std::uint32_t>(value.size()), value);
    }

    TestDicomWriter& ImplicitWithLength(std::uint32_t tag, std::uint32_t length, std::string_view value)
    {
        Tag(tag);
        U32(length);
        return Raw(value);
    }

    TestDicomWriter& Tag(std::uint32_t tag)
    {
        U16(static_cast<std::uint16_t>(tag >> 16));
        return U16(static_cast<std::uint16_t>(tag & 0xFFFF));
    }

    // Values in the current byte order, for element contents.
    std::string Bytes16(std::uint16_t v) const { return Ordered(v, 2); }
    std::string Bytes32(std::uint32_t v) const { return Ordered(v, 4); }
    std::string Bytes64(std::uint64_t v) const { return Ordered(v, 8); }
    std::string Float32(float v) const
    {
        std::uint32_t u;
        std::memcpy(&u, &v, 4);
        return Bytes32(u);
    }
    std::string Float64(double v) const
    {
        std::uint64_t u;
        std::memcpy(&u, &v, 8);
        return Bytes64(u);
    }
    std::string Words(std::initializer_list<std::uint16_t> values) const
    {
        std::string out;
        for (auto v : values) out += Bytes16(v);
        return out;
    }

    // The file meta group, always explicit little-endian whatever the
    // current order: its group length (0002,0000), then Media Storage SOP
    // Class UID (0002,0002) and Media Storage SOP Instance UID (0002,0003)
    // when given, then Transfer Syntax UID (0002,0010); the UIDs are padded
    // with a NUL to even length. The order is left as it was.
    TestDicomWriter& FileMeta(std::string_view transferSyntax, std::string_view sopClass = {},
                              std::string_view sopInstance = {})
    {
        TestDicomWriter meta;
        if (!sopClass.empty()) meta.Explicit(0x00020002, "UI", EvenText(sopClass, '\0'));
        if (!sopInstance.empty()) meta.Explicit(0x00020003, "UI", EvenText(sopInstance, '\0'));
        meta.Explicit(0x00020010, "UI", EvenText(transferSyntax, '\0'));
        const Order kept = order;
        order = Order::Little;
        Explicit(0x00020000, "UL", Bytes32(static_cast<std::uint32_t>(meta.Size())));
        bytes.insert(bytes.end(), meta.bytes.begin(), meta.bytes.end());
        order = kept;
        return *this;
    }

    // The text, padded with one `pad` to even length when it is odd.
    static std::string EvenText(std::string_view text, char pad = ' ')
    {
        std::string out(text);
        if (out.size() % 2 != 0) out += pad;
        return out;
    }

    std::size_t Size() const { return bytes.size(); }
    std::span<const std::uint8_t> Span() const { return bytes; }
    std::string String() const { return std::string(bytes.begin(), bytes.end()); }

    void WriteTo(const std::filesystem::path& path) const { WriteWholeFile(path, String()); }

private:
    std::string Ordered(std::uint64_t v, int size) const
    {
        std::string out(static_cast<std::size_t>(size), '\0');
        for (int i = 0; i < size; ++i) {
            const int shift = 8 * (order == Order::Little ? i : size - 1 - i);
            out[static_cast<std::size_t>(i)] = static_cast<char>((v >> shift) & 0xFF);
        }
        return out;
    }
};

struct TestImage {
    std::uint16_t Rows = 0;
    std::uint16_t Columns = 0;
    std::vector<std::uint16_t> Pixels;  // row-major, Rows * Columns values
    std::string PixelSpacing = "1\\1";  // DS text; empty: no Pixel Spacing element
    // Bits Stored (0028,0101) as a US number, or as a text (written with VR LO,
    // so the tag list shows that text); neither: no element.
    std::optional<std::uint16_t> BitsStored = 16;
    // The pixel module as stored; the pixel data stays 16-bit words whatever
    // these say. Bits Allocated nullopt: no element.
    std::uint16_t SamplesPerPixel = 1;                // 0028,0002
    std::optional<std::uint16_t> BitsAllocated = 16;  // 0028,0100
    std::uint16_t PixelRepresentation = 0;            // 0028,0103
    std::optional<std::string> BitsStoredText;
    std::optional<std::string> IntensityRelationship = "LIN";  // 0028,1040, CS
    std::optional<std::int16_t> IntensitySign = 1;             // 0028,1041, SS
    std::optional<std::string> PresentationIntentType;         // 0008,0068, CS
    std::size_t MissingPixelBytes = 0;                         // the file ends this many bytes early
    std::optional<std::string> LossyImageCompression;          // 0028,2110, CS
    bool RleCompressed = false;  // RLE Lossless, one fragment (MissingPixelBytes cut from it)
    // SOP Class UID (0008,0016, DX for processing) and this SOP Instance UID
    // (0008,0018), which a DICOM sender needs; empty: neither element.
    std::string SopInstanceUid;
};

// An RLE Lossless frame of 16-bit samples: the header, then the high and the
// low byte plane as literal runs.
inline std::string RleFrame16(const std::vector<std::uint16_t>& pixels)
{
    std::string planes[2];
    for (int plane = 0; plane < 2; ++plane) {
        for (std::size_t at = 0; at < pixels.size(); at += 128) {
            const std::size_t count = std::min<std::size_t>(128, pixels.size() - at);
            planes[plane] += static_cast<char>(count - 1);
            for (std::size_t i = at; i < at + count; ++i)
                planes[plane] += static_cast<char>(plane == 0 ? pixels[i] >> 8 : pixels[i] & 0xFF);
        }
        if (planes[plane].size() % 2 != 0) planes[plane] += '\0';
    }
    TestDicomWriter header;
    header.U32(2).U32(64).U32(static_cast<std::uint32_t>(64 + planes[0].size()));
    for (int i = 0; i < 13; ++i) header.U32(0);
    return header.String() + planes[0] + planes[1];
}

// The file's bytes: preamble, file meta group, the image elements, then the
// pixel data, less MissingPixelBytes at the end.
inline std::string DicomFileBytes(const TestImage& image)
{
    TestDicomWriter file;
    file.Preamble().FileMeta(image.RleCompressed ? "1.2.840.10008.1.2.5" : "1.2.840.10008.1.2.1",
                             "1.2.840.10008.5.1.4.1.1.1.1.1", "1.2.3.4.5");
    const auto text = [&file](std::uint32_t tag, std::string_view vr, std::string_view value) {
        file.Explicit(tag, vr, TestDicomWriter::EvenText(value));
    };
    const auto word = [&file](std::uint32_t tag, std::string_view vr, std::uint16_t value) {
        file.Explicit(tag, vr, file.Bytes16(value));
    };
    if (!image.SopInstanceUid.empty()) {
        file.Explicit(0x00080016, "UI", TestDicomWriter::EvenText("1.2.840.10008.5.1.4.1.1.1.1.1", '\0'));
        file.Explicit(0x00080018, "UI", TestDicomWriter::EvenText(image.SopInstanceUid, '\0'));
    }
    text(0x00080060, "CS", "DX");
    if (image.PresentationIntentType) text(0x00080068, "CS", *image.PresentationIntentType);
    word(0x00280002, "US", image.SamplesPerPixel);
    text(0x00280004, "CS", "MONOCHROME2");
    word(0x00280010, "US", image.Rows);
    word(0x00280011, "US", image.Columns);
    if (!image.PixelSpacing.empty()) text(0x00280030, "DS", image.PixelSpacing);
    if (image.BitsAllocated) word(0x00280100, "US", *image.BitsAllocated);
    if (image.BitsStoredText)
        text(0x00280101, "LO", *image.BitsStoredText);
    else if (image.BitsStored)
        word(0x00280101, "US", *image.BitsStored);
    word(0x00280103, "US", image.PixelRepresentation);
    if (image.IntensityRelationship) text(0x00281040, "CS", *image.IntensityRelationship);
    if (image.IntensitySign) word(0x00281041, "SS", static_cast<std::uint16_t>(*image.IntensitySign));
    if (image.LossyImageCompression) text(0x00282110, "CS", *image.LossyImageCompression);
    if (image.RleCompressed) {
        std::string frame = RleFrame16(image.Pixels);
        frame.resize(frame.size() - std::min(image.MissingPixelBytes, frame.size()));
        TestDicomWriter items;
        items.Tag(0xFFFEE000).U32(0).Tag(0xFFFEE000).U32(static_cast<std::uint32_t>(frame.size())).Raw(frame);
        items.Tag(0xFFFEE0DD).U32(0);
        file.ExplicitWithLength(0x7FE00010, "OB", 0xFFFFFFFF, items.String());
        return file.String();
    }

    std::string pixels;
    pixels.reserve(image.Pixels.size() * 2);
    for (std::uint16_t v : image.Pixels) {  // little-endian
        pixels += static_cast<char>(v & 0xFF);
        pixels += static_cast<char>(v >> 8);
    }
    file.Explicit(0x7FE00010, "OW", pixels);
    std::string bytes = file.String();
    bytes.resize(bytes.size() - std::min<std::size_t>(image.MissingPixelBytes, pixels.size()));
    return bytes;
}

inline void WriteDicomFile(const std::filesystem::path& path, const TestImage& image)
{
    WriteWholeFile(path, DicomFileBytes(image));
}

// An image of one value with single pixels planted at (column, row).
struct Plant {
    std::uint16_t X;
    std::uint16_t Y;
    std::uint16_t Value;
};
inline TestImage FlatImage(std::uint16_t rows, std::uint16_t columns, std::uint16_t value,
                           const std::vector<Plant>& plants = {})
{
    TestImage image;
    image.Rows = rows;
    image.Columns = columns;
    image.Pixels.assign(static_cast<std::size_t>(rows) * columns, value);
    for (const Plant& p : plants) image.Pixels[static_cast<std::size_t>(p.Y) * columns + p.X] = p.Value;
    return image;
}

// An image Evenor reads but does not judge, and the warning that says why.
struct NotJudgedImage {
    std::string Name;
    TestImage Image;
    std::string Warning;
};

// One of each kind, made from base (which Evenor judges): a colour image, Bits
// Allocated 0, 12 and 32, signed pixels. Each names one reason only.
inline std::vector<NotJudgedImage> NotJudgedImages(const TestImage& base)
{
    const auto with = [&](auto change) {
        TestImage image = base;
        change(image);
        return image;
    };
    const auto bits = [&](std::uint16_t allocated) {
        return with([&](TestImage& image) { image.BitsAllocated = allocated; });
    };
    const std::string misread = ": Evenor reads 8 or 16 bits per sample, these samples may be misread";
    return {
        {"rgb", with([](TestImage& image) {
             image.SamplesPerPixel = 3;
             image.BitsAllocated = 8;
             image.BitsStored = 8;
         }),
         "Samples per Pixel is 3: a colour image is not a detector's flat field"},
        {"bits0", bits(0), "Bits Allocated is 0" + misread},
        {"bits12", bits(12), "Bits Allocated is 12" + misread},
        {"bits32", bits(32), "Bits Allocated is 32" + misread},
        {"signed", with([](TestImage& image) { image.PixelRepresentation = 1; }),
         "Pixel Representation is 1: signed pixel values are read as unsigned, a negative value becomes a large one"},
    };
}

}  // namespace evenor::test
