// RLE Lossless (DICOM's PackBits): a 64-byte header with the number of
// segments and their offsets, then one byte plane per segment, most
// significant plane first. A plain loop: every run is one memset or memcpy.
#include <algorithm>
#include <cstring>
#include <vector>

#include "dicom/ByteSource.h"
#include "dicom/Codecs.h"

namespace evenor::codecs {

namespace {

constexpr std::size_t kHeaderSize = 64;
constexpr std::uint32_t kMaxSegments = 15;

// Decodes one segment into plane (exactly plane.size() bytes). Returns false
// when the segment gives fewer bytes; bytes beyond the plane (padding) are
// ignored, as are runs after it is full.
bool DecodeSegment(std::span<const std::uint8_t> segment, std::span<std::uint8_t> plane)
{
    std::size_t in = 0;
    std::size_t out = 0;
    while (out < plane.size() && in < segment.size()) {
        const auto control = static_cast<std::int8_t>(segment[in++]);
        if (control >= 0) {
            const std::size_t count = static_cast<std::size_t>(control) + 1;
            if (count > segment.size() - in || count > plane.size() - out) return false;
            std::memcpy(plane.data() + out, segment.data() + in, count);
            in += count;
            out += count;
        } else if (control != -128) {
            const std::size_t count = static_cast<std::size_t>(1 - control);
            if (in == segment.size() || count > plane.size() - out) return false;
            std::memset(plane.data() + out, segment[in++], count);
            out += count;
        }
    }
    return out == plane.size();
}

}  // namespace

void DecodeRle(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out)
{
    if (frame.size() < kHeaderSize) Fail("the RLE header is incomplete", layout);
    const std::uint32_t segments = DecodeUnsigned<std::uint32_t>(frame.data(), ByteOrder::Little);
    const std::uint32_t expected = layout.BitsAllocated / 8;
    if (segments != expected)
        Fail("the RLE data has " + std::to_string(segments) + " segments where one sample of " +
                 std::to_string(layout.BitsAllocated) + " bits needs " + std::to_string(expected),
             layout);
    std::uint32_t offsets[kMaxSegments + 1];
    for (std::uint32_t i = 0; i < kMaxSegments; ++i)
        offsets[i] = DecodeUnsigned<std::uint32_t>(frame.data() + 4 + 4 * i, ByteOrder::Little);
    offsets[segments] = static_cast<std::uint32_t>(std::min<std::size_t>(frame.size(), 0xFFFFFFFF));
    for (std::uint32_t i = 0; i < segments; ++i) {
        if (offsets[i] < kHeaderSize || offsets[i] > offsets[i + 1] || offsets[i + 1] > frame.size())
            Fail("an RLE segment offset points outside the frame", layout);
    }

    // A run of two bytes gives at most 128: a shorter segment cannot fill its
    // plane, whatever Rows and Columns claim.
    const std::uint64_t planeBytes = static_cast<std::uint64_t>(layout.Rows) * layout.Columns;
    for (std::uint32_t i = 0; i < segments; ++i)
        if (planeBytes > std::uint64_t{64} * (offsets[i + 1] - offsets[i]) + 128)
            Fail("an RLE segment ends early", layout);
    SizeOutput(out, layout);

    // The planes are decoded into the words' own memory and widened in place
    // from the back (word i takes bytes 2i and 2i + 1, which are read by
    // then); the high plane of 16-bit samples goes to a scratch plane.
    const std::size_t samples = out.size();
    auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
    const auto segment = [&](std::uint32_t i) { return frame.subspan(offsets[i], offsets[i + 1] - offsets[i]); };
    if (segments == 1) {
        if (!DecodeSegment(segment(0), std::span(bytes, samples))) Fail("an RLE segment ends early", layout);
        for (std::size_t i = samples; i-- > 0;) out[i] = bytes[i];
        return;
    }
    std::vector<std::uint8_t> high(samples);
    if (!DecodeSegment(segment(0), high)) Fail("an RLE segment ends early", layout);
    if (!DecodeSegment(segment(1), std::span(bytes, samples))) Fail("an RLE segment ends early", layout);
    for (std::size_t i = samples; i-- > 0;)
        out[i] = static_cast<std::uint16_t>((static_cast<unsigned>(high[i]) << 8) | bytes[i]);
}

}  // namespace evenor::codecs
