// Fuzzes the decoding of compressed pixel data.
//
// Input: one mode byte, then
//   mode bit 7 clear: rows (1 byte), columns (1 byte), frames (1 byte), then
//     an encapsulated Pixel Data value (Basic Offset Table item, fragments)
//     decoded by DecodeFirstFrame; the mode's low bits choose the codec
//     (RLE, JPEG, JPEG-LS, JPEG 2000) and the width (8 or 16 bits);
//   mode bit 7 set: a whole DICOM file, opened with CompressedImages::Decode
//     and loaded (deflated data sets, the reader's checks before decoding).
// Checked besides crashes, leaks, hangs and allocations: a failure is one
// EvenorError that starts "Cannot decode compressed DICOM image: " and names
// the transfer syntax (or is one of the reader's own messages); a success is
// exactly Rows x Columns samples, each fitting the bits allocated; RLE agrees
// with a plain byte-by-byte PackBits decoder.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "dicom/DicomLib.h"
#include "dicom/PixelDecoding.h"
#include "fuzz/FuzzSupport.h"

namespace evenor::fuzz {
namespace {

struct Codec {
    PixelCoding Coding;
    const char* Uid;
};
constexpr Codec kCodecs[] = {
    {PixelCoding::Rle, "1.2.840.10008.1.2.5"},
    {PixelCoding::Jpeg, "1.2.840.10008.1.2.4.70"},
    {PixelCoding::JpegLs, "1.2.840.10008.1.2.4.80"},
    {PixelCoding::Jpeg2000, "1.2.840.10008.1.2.4.90"},
};

bool StartsWith(const std::string& text, std::string_view prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The first frame of a single-fragment RLE value the slow way: nothing when
// the items are not exactly an empty offset table and one fragment, when a
// segment does not fill its plane, or when its runs go on for a whole row
// (columns bytes) or more after that.
std::optional<WordArray> ReferenceRle(std::span<const std::uint8_t> value, std::uint32_t samples, std::uint32_t columns,
                                      int bits)
{
    const auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(value[at] | (value[at + 1] << 8) | (value[at + 2] << 16) |
                                          (static_cast<std::uint32_t>(value[at + 3]) << 24));
    };
    if (value.size() < 16 || u32(0) != 0xE000FFFE || u32(4) != 0 || u32(8) != 0xE000FFFE) return std::nullopt;
    const std::uint32_t length = u32(12);
    if (length > value.size() - 16) return std::nullopt;
    const std::size_t end = 16 + std::size_t{length};
    if (end != value.size() && !(end + 8 == value.size() && u32(end) == 0xE0DDFFFE)) return std::nullopt;
    const auto frame = value.subspan(16, length);
    if (frame.size() < 64) return std::nullopt;
    const auto f32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(frame[at] | (frame[at + 1] << 8) | (frame[at + 2] << 16) |
                                          (static_cast<std::uint32_t>(frame[at + 3]) << 24));
    };
    const std::uint32_t segments = f32(0);
    if (segments != static_cast<std::uint32_t>(bits / 8)) return std::nullopt;
    WordArray words(samples, 0);
    for (std::uint32_t s = 0; s < segments; ++s) {
        const std::uint32_t begin = f32(4 + 4 * s);
        const std::uint32_t stop = s + 1 < segments ? f32(8 + 4 * s) : static_cast<std::uint32_t>(frame.size());
        if (begin < 64 || begin > stop || stop > frame.size()) return std::nullopt;
        std::vector<std::uint8_t> plane;
        std::size_t in = begin;
        while (plane.size() < samples && in < stop) {
            const int control = static_cast<std::int8_t>(frame[in++]);
            if (control >= 0) {
                for (int i = 0; i <= control; ++i) {
                    if (in >= stop) return std::nullopt;
                    plane.push_back(frame[in++]);
                }
            } else if (control != -128) {
                if (in >= stop) return std::nullopt;
                const std::uint8_t byte = frame[in++];
                for (int i = 0; i < 1 - control; ++i) plane.push_back(byte);
            }
        }
        if (plane.size() != samples) return std::nullopt;
        std::size_t beyond = 0;
        while (beyond < columns && in < stop) {
            const int control = static_cast<std::int8_t>(frame[in++]);
            if (control >= 0) {
                if (stop - in < static_cast<std::size_t>(control) + 1) break;
                in += static_cast<std::size_t>(control) + 1;
                beyond += static_cast<std::size_t>(control) + 1;
            } else if (control != -128) {
                if (in == stop) break;
                ++in;
                beyond += static_cast<std::size_t>(1 - control);
            }
        }
        if (beyond >= columns) return std::nullopt;
        for (std::uint32_t i = 0; i < samples; ++i)
            words[i] = static_cast<std::uint16_t>(segments == 2 && s == 0 ? plane[i] << 8 : words[i] | plane[i]);
    }
    return words;
}

void DecodeValue(std::uint8_t mode, std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 3) return;
    const Codec& codec = kCodecs[mode & 3];
    const int bits = (mode & 4) != 0 ? 16 : 8;
    FrameLayout layout;
    layout.Rows = bytes[0] + 1u;
    layout.Columns = bytes[1] + 1u;
    layout.NumberOfFrames = bytes[2];
    layout.BitsAllocated = static_cast<std::uint8_t>(bits);
    layout.TransferSyntaxUid = codec.Uid;
    const auto value = bytes.subspan(3);
    std::optional<WordArray> pixels;
    try {
        pixels = DecodeFirstFrame(codec.Coding, value, layout);
    } catch (const EvenorError& e) {
        FUZZ_CHECK(StartsWith(e.Message(), "Cannot decode compressed DICOM image: "));
        FUZZ_CHECK(e.Message().ends_with(std::string(". Transfer Syntax UID = ") + codec.Uid));
    }
    const std::uint32_t samples = layout.Rows * layout.Columns;
    if (pixels) {
        FUZZ_CHECK(pixels->size() == samples);
        if (bits == 8)
            for (const std::uint16_t v : *pixels) FUZZ_CHECK(v <= 0xFF);
    }
    if (codec.Coding == PixelCoding::Rle && layout.NumberOfFrames <= 1) {
        const std::optional<WordArray> reference = ReferenceRle(value, samples, layout.Columns, bits);
        if (reference) {
            FUZZ_CHECK(pixels.has_value());
            FUZZ_CHECK(*pixels == *reference);
        }
    }
}

void DecodeFile(std::span<const std::uint8_t> bytes)
{
    const auto folder = ScratchFolder::Path();
    WriteFile(folder / "compressed.dcm", std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    // Rows x Columns words are what a decoder may allocate; the harness keeps
    // that within its allocation limit.
    constexpr std::int64_t kMaxSamples = 4 << 20;
    std::unique_ptr<TDicomBeeld> image;
    try {
        image = std::make_unique<TDicomBeeld>(folder.string() + "/", "compressed.dcm", CompressedImages::Decode);
        if (std::int64_t{image->Rows()} * image->Columns() > kMaxSamples) return;
        image->LoadPixels();
    } catch (const EvenorError&) {
        return;
    }
    const std::size_t samples =
        static_cast<std::size_t>(std::max(image->Rows(), 0)) * static_cast<std::size_t>(std::max(image->Columns(), 0));
    FUZZ_CHECK(image->Pixels().empty() || image->Pixels().size() == samples);
    if (image->Encapsulated()) FUZZ_CHECK(image->Pixels().size() == samples);
}

}  // namespace
}  // namespace evenor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    if ((data[0] & 0x80) != 0)
        evenor::fuzz::DecodeFile(bytes);
    else
        evenor::fuzz::DecodeValue(data[0], bytes);
    return 0;
}
