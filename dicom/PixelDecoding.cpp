// Encapsulated Pixel Data: the items (Basic Offset Table, fragments) of the
// first frame, and the choice of codec.
#include "dicom/PixelDecoding.h"

#include <algorithm>
#include <new>
#include <vector>

#include "base/EvenorError.h"
#include "dicom/ByteSource.h"
#include "dicom/Codecs.h"
#include "dicom/HugePages.h"

namespace evenor {

namespace {

constexpr std::uint32_t kItemTag = 0xFFFEE000;
constexpr std::uint32_t kSequenceDelimitationTag = 0xFFFEE0DD;
constexpr std::uint32_t kUndefinedLength = 0xFFFFFFFF;

struct Fragment {
    std::uint64_t Offset = 0;  // of the item's tag, from the first fragment's tag (Basic Offset Table units)
    std::span<const std::uint8_t> Bytes;
};

std::string_view WithoutPadding(std::string_view uid)
{
    while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.remove_suffix(1);
    return uid;
}

// The items of the value: the Basic Offset Table and the fragments after it,
// up to the Sequence Delimitation Item or the end of the bytes. Returns why
// the items are malformed, or nullptr; the items before a fault are kept.
const char* ReadItems(std::span<const std::uint8_t> value, std::vector<std::uint32_t>& offsetTable,
                      std::vector<Fragment>& fragments)
{
    std::size_t at = 0;
    bool first = true;
    std::uint64_t firstFragmentAt = 0;
    while (true) {
        if (value.size() - at < 8) {
            // The end of the file after a whole fragment stands for the missing delimiter.
            if (at == value.size() && !first) return nullptr;
            return "the encapsulated pixel data ends inside an item header";
        }
        const std::uint16_t group = DecodeUnsigned<std::uint16_t>(value.data() + at, ByteOrder::Little);
        const std::uint16_t element = DecodeUnsigned<std::uint16_t>(value.data() + at + 2, ByteOrder::Little);
        const std::uint32_t tag = (static_cast<std::uint32_t>(group) << 16) | element;
        const std::uint32_t length = DecodeUnsigned<std::uint32_t>(value.data() + at + 4, ByteOrder::Little);
        if (tag == kSequenceDelimitationTag) {
            return first ? "the encapsulated pixel data has no Basic Offset Table item" : nullptr;
        }
        if (tag != kItemTag) return "the encapsulated pixel data holds an element that is no item";
        if (length == kUndefinedLength) return "an item of the encapsulated pixel data has no length";
        const std::size_t start = at + 8;
        if (length > value.size() - start) return "a fragment runs past the end of the file";
        const auto bytes = value.subspan(start, length);
        if (first) {
            if (length % 4 != 0) return "the Basic Offset Table is not a list of 32-bit offsets";
            offsetTable.reserve(length / 4);
            for (std::size_t i = 0; i < length; i += 4)
                offsetTable.push_back(DecodeUnsigned<std::uint32_t>(bytes.data() + i, ByteOrder::Little));
            firstFragmentAt = start + length;
            first = false;
        } else {
            fragments.push_back(Fragment{at - firstFragmentAt, bytes});
        }
        at = start + length;
    }
}

// Whether a fragment closes a JPEG, JPEG-LS or JPEG 2000 codestream: its last
// bytes, zero padding aside, are FF D9.
bool EndsCodestream(std::span<const std::uint8_t> bytes)
{
    std::size_t end = bytes.size();
    while (end > 0 && bytes[end - 1] == 0) --end;
    return end >= 2 && bytes[end - 2] == 0xFF && bytes[end - 1] == 0xD9;
}

// The fragments of frame 1.
std::span<const Fragment> FirstFrameFragments(PixelCoding coding, const std::vector<std::uint32_t>& offsetTable,
                                              const std::vector<Fragment>& fragments, const FrameLayout& layout)
{
    if (fragments.empty()) codecs::Fail("the encapsulated pixel data holds no fragment", layout);
    if (!offsetTable.empty()) {
        // Every offset must name the start of a fragment, in ascending order.
        std::size_t index = 0;
        std::size_t secondFrame = fragments.size();
        for (std::size_t i = 0; i < offsetTable.size(); ++i) {
            while (index < fragments.size() && fragments[index].Offset < offsetTable[i]) ++index;
            const bool atFragment = index < fragments.size() && fragments[index].Offset == offsetTable[i];
            if (!atFragment || (i == 0 && offsetTable[0] != 0) || (i > 0 && offsetTable[i] <= offsetTable[i - 1]))
                codecs::Fail("the Basic Offset Table does not point at the starts of fragments", layout);
            if (i == 1) secondFrame = index;
        }
        return std::span(fragments).first(secondFrame);
    }
    if (layout.NumberOfFrames <= 1) return fragments;
    // Several frames without an offset table: RLE keeps one fragment per
    // frame; the JPEG family's frame ends with the fragment that closes its
    // codestream.
    if (coding == PixelCoding::Rle) return std::span(fragments).first(1);
    for (std::size_t i = 0; i < fragments.size(); ++i)
        if (EndsCodestream(fragments[i].Bytes)) return std::span(fragments).first(i + 1);
    return fragments;
}

}  // namespace

std::optional<TransferSyntaxCoding> DecodableSyntax(std::string_view uid)
{
    struct Known {
        std::string_view Uid;
        TransferSyntaxCoding Coding;
    };
    static constexpr Known kKnown[] = {
        {"1.2.840.10008.1.2.1.99", {PixelCoding::Deflated, false}},
        {"1.2.840.10008.1.2.4.50", {PixelCoding::Jpeg, true}},
        {"1.2.840.10008.1.2.4.51", {PixelCoding::Jpeg, true}},
        {"1.2.840.10008.1.2.4.57", {PixelCoding::Jpeg, false}},
        {"1.2.840.10008.1.2.4.70", {PixelCoding::Jpeg, false}},
        {"1.2.840.10008.1.2.4.80", {PixelCoding::JpegLs, false}},
        {"1.2.840.10008.1.2.4.81", {PixelCoding::JpegLs, true}},
        {"1.2.840.10008.1.2.4.90", {PixelCoding::Jpeg2000, false}},
        {"1.2.840.10008.1.2.4.91", {PixelCoding::Jpeg2000, true}},
        {"1.2.840.10008.1.2.5", {PixelCoding::Rle, false}},
    };
    uid = WithoutPadding(uid);
    for (const Known& known : kKnown)
        if (known.Uid == uid) return known.Coding;
    return std::nullopt;
}

std::string DecodeFailure(const std::string& reason, const std::string& transferSyntaxUid)
{
    return "Cannot decode compressed DICOM image: " + reason +
           ". Transfer Syntax UID = " + std::string(WithoutPadding(transferSyntaxUid));
}

namespace codecs {

void Fail(const std::string& reason, const FrameLayout& layout)
{
    throw EvenorError(DecodeFailure(reason, layout.TransferSyntaxUid));
}

void SizeOutput(WordArray& out, const FrameLayout& layout)
{
    out = HugePageVector<std::uint16_t>(static_cast<std::size_t>(layout.Rows) * layout.Columns);
}

}  // namespace codecs

WordArray DecodeFirstFrame(PixelCoding coding, std::span<const std::uint8_t> encapsulated, const FrameLayout& layout)
{
    if (layout.BitsAllocated != 8 && layout.BitsAllocated != 16)
        codecs::Fail("Bits Allocated " + std::to_string(layout.BitsAllocated) + " is not 8 or 16", layout);
    if (layout.Rows == 0 || layout.Columns == 0) codecs::Fail("the image has no rows or no columns", layout);
    // A few bytes of JPEG-LS or JPEG 2000 can describe a huge flat image; the
    // pixels and their analysis would take more memory than a workstation
    // has. Detector images are far below this.
    if (static_cast<std::uint64_t>(layout.Rows) * layout.Columns > kMaxDecodedSamples)
        codecs::Fail(std::to_string(layout.Columns) + " x " + std::to_string(layout.Rows) +
                         " pixels are more than can be decoded (16384 x 16384)",
                     layout);

    std::vector<std::uint32_t> offsetTable;
    std::vector<Fragment> fragments;
    if (const char* fault = ReadItems(encapsulated, offsetTable, fragments)) codecs::Fail(fault, layout);
    const std::span<const Fragment> frame = FirstFrameFragments(coding, offsetTable, fragments, layout);

    // A frame in one fragment is decoded where it lies; several are joined.
    std::vector<std::uint8_t> joined;
    std::span<const std::uint8_t> codestream = frame.front().Bytes;
    if (frame.size() > 1) {
        std::size_t total = 0;
        for (const Fragment& fragment : frame) total += fragment.Bytes.size();
        joined.reserve(total);
        for (const Fragment& fragment : frame)
            joined.insert(joined.end(), fragment.Bytes.begin(), fragment.Bytes.end());
        codestream = joined;
    }

    WordArray pixels;
    try {
        switch (coding) {
        case PixelCoding::Jpeg:
            codecs::DecodeJpeg(codestream, layout, pixels);
            break;
        case PixelCoding::JpegLs:
            codecs::DecodeJpegLs(codestream, layout, pixels);
            break;
        case PixelCoding::Jpeg2000:
            codecs::DecodeJpeg2000(codestream, layout, pixels);
            break;
        case PixelCoding::Rle:
            codecs::DecodeRle(codestream, layout, pixels);
            break;
        case PixelCoding::Native:
        case PixelCoding::Deflated:
            codecs::Fail("the pixel data is not encapsulated", layout);
        }
    } catch (const std::bad_alloc&) {
        codecs::Fail("not enough memory for " + std::to_string(layout.Columns) + " x " + std::to_string(layout.Rows) +
                         " pixels",
                     layout);
    }
    return pixels;
}

namespace {

// The start of the first fragment (after the Basic Offset Table item and the
// fragment's item header); empty when the bytes do not reach it.
std::span<const std::uint8_t> FirstFragmentStart(std::span<const std::uint8_t> encapsulated)
{
    if (encapsulated.size() < 8) return {};
    const std::uint32_t tableLength = DecodeUnsigned<std::uint32_t>(encapsulated.data() + 4, ByteOrder::Little);
    if (tableLength > encapsulated.size() - 8 || encapsulated.size() - 8 - tableLength < 8) return {};
    return encapsulated.subspan(8 + std::size_t{tableLength} + 8);
}

}  // namespace

bool IsReversibleJpeg2000(std::span<const std::uint8_t> encapsulated)
{
    // The first fragment's main header: SOC, then marker segments up to the
    // first tile (SOT). COD's transformation byte: 1 = 5-3 reversible;
    // QCD's style: 0 = no quantisation. The bytes may stop inside the
    // fragment: the main header comes first.
    std::span<const std::uint8_t> bytes = FirstFragmentStart(encapsulated);
    // A JP2 file wraps the codestream in boxes; find its start.
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0x4F) {
            bytes = bytes.subspan(i);
            break;
        }
    }
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0x4F) return false;
    std::size_t at = 2;
    std::optional<bool> reversible, unquantised;
    while (at + 4 <= bytes.size()) {
        if (bytes[at] != 0xFF) return false;
        const std::uint8_t marker = bytes[at + 1];
        if (marker == 0x90) break;  // SOT: the main header is over
        const std::size_t length = (static_cast<std::size_t>(bytes[at + 2]) << 8) | bytes[at + 3];
        if (length < 2 || at + 2 + length > bytes.size()) return false;
        const std::uint8_t* segment = bytes.data() + at + 4;
        if (marker == 0x52 && length >= 12)
            reversible = segment[9] == 1;  // Scod, SGcod(4), SPcod: levels, w, h, style, transform
        if (marker == 0x5C && length >= 3) unquantised = (segment[0] & 0x1F) == 0;
        at += 2 + length;
    }
    return reversible.value_or(false) && unquantised.value_or(false);
}

bool CodestreamIsLossy(PixelCoding coding, std::span<const std::uint8_t> encapsulated)
{
    if (coding != PixelCoding::Jpeg && coding != PixelCoding::JpegLs) return false;
    // SOI, then marker segments skipped by their lengths up to the frame
    // header (JPEG) or the first scan header (JPEG-LS).
    const std::span<const std::uint8_t> bytes = FirstFragmentStart(encapsulated);
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
    std::size_t at = 2;
    while (at + 4 <= bytes.size()) {
        if (bytes[at] != 0xFF) return false;
        const std::uint8_t marker = bytes[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const std::size_t length = (static_cast<std::size_t>(bytes[at + 2]) << 8) | bytes[at + 3];
        if (length < 2 || at + 2 + length > bytes.size()) return false;
        const std::uint8_t* segment = bytes.data() + at + 4;
        if (coding == PixelCoding::Jpeg) {
            // SOF0-SOF2, SOF5, SOF6, SOF9, SOF10, SOF13, SOF14: DCT processes.
            // SOF3, SOF7, SOF11, SOF15: lossless. C4 DHT, C8 JPG, CC DAC.
            if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
                return marker != 0xC3 && marker != 0xC7 && marker != 0xCB && marker != 0xCF;
            if (marker == 0xDA) return false;
        } else if (marker == 0xDA) {
            // SOS: Ns, Ns x (component, table), then NEAR.
            const std::size_t components = length >= 3 ? segment[0] : 0;
            const std::size_t nearAt = 1 + 2 * components;
            return nearAt + 2 < length && segment[nearAt] > 0;
        }
        at += 2 + length;
    }
    return false;
}

}  // namespace evenor
