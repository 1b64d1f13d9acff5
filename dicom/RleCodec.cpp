// RLE Lossless (DICOM's PackBits): a 64-byte header with the number of
// segments and their offsets, then one byte plane per segment, most
// significant plane first. A plain loop over the runs.
#include <algorithm>
#include <bit>

#include "dicom/ByteSource.h"
#include "dicom/Codecs.h"

namespace evenor::codecs {

namespace {

constexpr std::size_t kHeaderSize = 64;
constexpr std::uint32_t kMaxSegments = 15;

// The bytes the runs of a segment's rest would give, counted up to limit.
std::size_t BytesBeyond(std::span<const std::uint8_t> rest, std::size_t limit)
{
    std::size_t in = 0;
    std::size_t out = 0;
    while (out < limit && in < rest.size()) {
        const auto control = static_cast<std::int8_t>(rest[in++]);
        if (control >= 0) {
            const std::size_t length = static_cast<std::size_t>(control) + 1;
            if (length > rest.size() - in) break;
            in += length;
            out += length;
        } else if (control != -128) {
            if (in == rest.size()) break;
            ++in;
            out += static_cast<std::size_t>(1 - control);
        }
    }
    return out;
}

enum class SegmentFit { Exact, Short, Long };

// Decodes one segment into a byte plane of count bytes, every stride-th byte
// from plane on: the bytes of one significance within the output words.
// Short when the segment gives fewer bytes; Long when a run crosses the
// plane's end, or when the runs go on for a whole row (columns bytes) or more
// after it, so the data holds more samples than the header says. Less than a
// row after the plane is taken for padding.
template <std::size_t Stride>
SegmentFit DecodeSegment(std::span<const std::uint8_t> segment, std::uint8_t* plane, std::size_t count,
                         std::size_t columns)
{
    std::size_t in = 0;
    std::size_t out = 0;
    while (out < count && in < segment.size()) {
        const auto control = static_cast<std::int8_t>(segment[in++]);
        if (control >= 0) {
            const std::size_t length = static_cast<std::size_t>(control) + 1;
            if (length > segment.size() - in) return SegmentFit::Short;
            if (length > count - out) return SegmentFit::Long;
            const std::uint8_t* from = segment.data() + in;
            std::uint8_t* to = plane + out * Stride;
            for (std::size_t i = 0; i < length; ++i) to[i * Stride] = from[i];
            in += length;
            out += length;
        } else if (control != -128) {
            const std::size_t length = static_cast<std::size_t>(1 - control);
            if (in == segment.size()) return SegmentFit::Short;
            if (length > count - out) return SegmentFit::Long;
            const std::uint8_t value = segment[in++];
            std::uint8_t* to = plane + out * Stride;
            for (std::size_t i = 0; i < length; ++i) to[i * Stride] = value;
            out += length;
        }
    }
    if (out < count) return SegmentFit::Short;
    return BytesBeyond(segment.subspan(in), columns) >= columns ? SegmentFit::Long : SegmentFit::Exact;
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

    // Each plane is decoded straight into its byte of the output words (the
    // words start as zeros, so 8-bit samples need only their low byte): no
    // memory beyond the pixels themselves.
    const std::size_t samples = out.size();
    auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
    constexpr std::size_t kLow = std::endian::native == std::endian::little ? 0 : 1;
    const auto segment = [&](std::uint32_t i) { return frame.subspan(offsets[i], offsets[i + 1] - offsets[i]); };
    const auto decode = [&](std::uint32_t i, std::size_t at) {
        switch (DecodeSegment<2>(segment(i), bytes + at, samples, layout.Columns)) {
        case SegmentFit::Short:
            Fail("an RLE segment ends early", layout);
        case SegmentFit::Long:
            Fail("an RLE segment holds more than Rows x Columns samples", layout);
        case SegmentFit::Exact:
            break;
        }
    };
    if (segments == 1) {
        decode(0, kLow);
    } else {
        decode(0, 1 - kLow);
        decode(1, kLow);
    }
}

}  // namespace evenor::codecs
