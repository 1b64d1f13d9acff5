// JPEG 2000 (reversible and irreversible) through OpenJPEG, from memory.
#include <openjpeg.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

#include "dicom/Codecs.h"

namespace evenor::codecs {

namespace {

// The codestream as an OpenJPEG input stream.
struct MemoryInput {
    std::span<const std::uint8_t> Bytes;
    std::size_t Position = 0;
};

OPJ_SIZE_T ReadInput(void* buffer, OPJ_SIZE_T count, void* data)
{
    auto& input = *static_cast<MemoryInput*>(data);
    const std::size_t got = std::min<std::size_t>(count, input.Bytes.size() - input.Position);
    if (got == 0) return static_cast<OPJ_SIZE_T>(-1);
    std::memcpy(buffer, input.Bytes.data() + input.Position, got);
    input.Position += got;
    return got;
}

OPJ_OFF_T SkipInput(OPJ_OFF_T count, void* data)
{
    auto& input = *static_cast<MemoryInput*>(data);
    if (count < 0) {
        const auto back = std::min<std::size_t>(static_cast<std::size_t>(-count), input.Position);
        input.Position -= back;
        return -static_cast<OPJ_OFF_T>(back);
    }
    const auto ahead = std::min<std::size_t>(static_cast<std::size_t>(count), input.Bytes.size() - input.Position);
    input.Position += ahead;
    return static_cast<OPJ_OFF_T>(ahead);
}

OPJ_BOOL SeekInput(OPJ_OFF_T position, void* data)
{
    auto& input = *static_cast<MemoryInput*>(data);
    if (position < 0 || static_cast<std::uint64_t>(position) > input.Bytes.size()) return OPJ_FALSE;
    input.Position = static_cast<std::size_t>(position);
    return OPJ_TRUE;
}

// OpenJPEG's first error message, for ours.
void KeepError(const char* message, void* data)
{
    auto& kept = *static_cast<std::string*>(data);
    if (kept.empty() && message != nullptr) {
        kept = message;
        while (!kept.empty() && (kept.back() == '\n' || kept.back() == ' ')) kept.pop_back();
    }
}
void Ignore(const char*, void*) {}

// The image and tile sizes of the codestream's SIZ segment (right after SOC).
struct SizeSegment {
    std::uint64_t Width = 0, Height = 0;  // of the image area
    std::uint64_t Tiles = 0;
    unsigned Components = 0;
};

std::uint32_t Big32(const std::uint8_t* p)
{
    return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
           (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

std::optional<SizeSegment> ReadSizeSegment(std::span<const std::uint8_t> bytes)
{
    // A JP2 file holds the codestream in a box; the codestream starts SOC SIZ.
    static constexpr std::uint8_t kStart[] = {0xFF, 0x4F, 0xFF, 0x51};
    const auto start = std::search(bytes.begin(), bytes.end(), std::begin(kStart), std::end(kStart));
    if (start == bytes.end()) return std::nullopt;
    const std::span<const std::uint8_t> stream(start, bytes.end());
    // SOC, SIZ, Lsiz, Rsiz, then eight 32-bit sizes and Csiz.
    if (stream.size() < 4 + 2 + 2 + 32 + 2) return std::nullopt;
    const std::uint8_t* p = stream.data() + 8;
    const std::uint32_t width = Big32(p), height = Big32(p + 4), x0 = Big32(p + 8), y0 = Big32(p + 12);
    const std::uint32_t tileWidth = Big32(p + 16), tileHeight = Big32(p + 20);
    const std::uint32_t tileX0 = Big32(p + 24), tileY0 = Big32(p + 28);
    if (x0 >= width || y0 >= height || tileWidth == 0 || tileHeight == 0 || tileX0 > x0 || tileY0 > y0)
        return std::nullopt;
    SizeSegment size;
    size.Width = width - x0;
    size.Height = height - y0;
    size.Tiles = ((std::uint64_t{width} - tileX0 + tileWidth - 1) / tileWidth) *
                 ((std::uint64_t{height} - tileY0 + tileHeight - 1) / tileHeight);
    size.Components = (static_cast<unsigned>(p[32]) << 8) | p[33];
    return size;
}

struct StreamDeleter {
    void operator()(opj_stream_t* stream) const { opj_stream_destroy(stream); }
};
struct CodecDeleter {
    void operator()(opj_codec_t* codec) const { opj_destroy_codec(codec); }
};
struct ImageDeleter {
    void operator()(opj_image_t* image) const { opj_image_destroy(image); }
};

}  // namespace

void DecodeJpeg2000InBands(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out,
                           std::uint32_t rowsPerBand)
{
    static constexpr std::uint8_t kSignature[] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20};
    const bool boxed =
        frame.size() >= sizeof kSignature && std::equal(std::begin(kSignature), std::end(kSignature), frame.begin());
    // OpenJPEG sizes its tile structures from the SIZ segment when it reads
    // the header, so the claims there are checked first: the image is the one
    // the header describes, and every tile has at least its tile-part header
    // (SOT and SOD, 14 bytes) in the data.
    const std::optional<SizeSegment> size = ReadSizeSegment(frame);
    if (!size) Fail("the JPEG 2000 data has no readable header", layout);
    if (size->Components != 1)
        Fail("the JPEG 2000 data has " + std::to_string(size->Components) + " components, not 1", layout);
    if (size->Width != layout.Columns || size->Height != layout.Rows)
        Fail("the JPEG 2000 data is " + std::to_string(size->Width) + " x " + std::to_string(size->Height) +
                 " pixels, the header says " + std::to_string(layout.Columns) + " x " + std::to_string(layout.Rows),
             layout);
    if (size->Tiles > frame.size() / 14) Fail("the JPEG 2000 data ends early", layout);

    // OpenJPEG decodes into 32-bit samples. A large image is decoded in bands
    // of rows, each with a decoder of its own that decodes only the
    // code-blocks the band needs, so its buffers stay a band's size beside the
    // 16-bit pixels.
    const std::uint32_t rows = rowsPerBand > 0 ? rowsPerBand : layout.Rows;
    bool sized = false;
    for (std::uint32_t top = 0; top < layout.Rows; top += rows) {
        const std::uint32_t bottom = std::min<std::uint32_t>(layout.Rows, top + std::min(rows, layout.Rows - top));
        const bool whole = top == 0 && bottom == layout.Rows;

        MemoryInput input{frame, 0};
        std::unique_ptr<opj_stream_t, StreamDeleter> stream(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
        std::unique_ptr<opj_codec_t, CodecDeleter> codec(opj_create_decompress(boxed ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
        if (!stream || !codec) Fail("the JPEG 2000 decoder cannot start", layout);
        opj_stream_set_user_data(stream.get(), &input, nullptr);
        opj_stream_set_user_data_length(stream.get(), frame.size());
        opj_stream_set_read_function(stream.get(), ReadInput);
        opj_stream_set_skip_function(stream.get(), SkipInput);
        opj_stream_set_seek_function(stream.get(), SeekInput);

        std::string error;
        opj_set_error_handler(codec.get(), KeepError, &error);
        opj_set_warning_handler(codec.get(), Ignore, nullptr);
        opj_set_info_handler(codec.get(), Ignore, nullptr);
        opj_dparameters_t parameters;
        opj_set_default_decoder_parameters(&parameters);
        if (!opj_setup_decoder(codec.get(), &parameters)) Fail("the JPEG 2000 decoder cannot start", layout);
        // A codestream cut short is an error, never a partly decoded image.
        opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE);
        // Code-blocks are decoded on every core; the samples are the same.
        if (opj_has_thread_support())
            opj_codec_set_threads(codec.get(), static_cast<int>(std::max(1u, std::thread::hardware_concurrency())));
        const auto failed = [&](const char* what) {
            Fail(std::string(what) + (error.empty() ? std::string() : " (" + error + ")"), layout);
        };

        opj_image_t* rawImage = nullptr;
        const bool headerRead = opj_read_header(stream.get(), codec.get(), &rawImage);
        std::unique_ptr<opj_image_t, ImageDeleter> image(rawImage);
        if (!headerRead || !image) failed("the JPEG 2000 data has no readable header");
        if (image->numcomps != 1)
            Fail("the JPEG 2000 data has " + std::to_string(image->numcomps) + " components, not 1", layout);
        const std::uint64_t width = image->x1 - std::min(image->x0, image->x1);
        const std::uint64_t height = image->y1 - std::min(image->y0, image->y1);
        if (width != layout.Columns || height != layout.Rows)
            Fail("the JPEG 2000 data is " + std::to_string(width) + " x " + std::to_string(height) +
                     " pixels, the header says " + std::to_string(layout.Columns) + " x " + std::to_string(layout.Rows),
                 layout);
        const opj_image_comp_t& header = image->comps[0];
        if (header.prec < 1 || header.prec > 16 || (layout.BitsAllocated == 8 && header.prec > 8))
            Fail("the JPEG 2000 data has " + std::to_string(header.prec) + "-bit samples for " +
                     std::to_string(layout.BitsAllocated) + " bits allocated",
                 layout);
        if (header.dx != 1 || header.dy != 1) Fail("the JPEG 2000 data is subsampled", layout);

        if (!whole && !opj_set_decode_area(codec.get(), image.get(), static_cast<OPJ_INT32>(image->x0),
                                           static_cast<OPJ_INT32>(image->y0 + top), static_cast<OPJ_INT32>(image->x1),
                                           static_cast<OPJ_INT32>(image->y0 + bottom)))
            failed("the JPEG 2000 data cannot be decoded");
        if (!opj_decode(codec.get(), stream.get(), image.get())) failed("the JPEG 2000 data cannot be decoded");
        if (!opj_end_decompress(codec.get(), stream.get())) failed("the JPEG 2000 data ends early");
        const opj_image_comp_t& component = image->comps[0];
        if (component.data == nullptr || component.w != layout.Columns || component.h != bottom - top)
            Fail("the JPEG 2000 data does not decode to one whole frame", layout);
        if (!sized) {
            SizeOutput(out, layout);
            sized = true;
        }
        // Signed samples keep their two's complement bits in the bits
        // allocated, as in an uncompressed file.
        const OPJ_INT32* data = component.data;
        const std::size_t count = static_cast<std::size_t>(bottom - top) * layout.Columns;
        std::uint16_t* to = out.data() + static_cast<std::size_t>(top) * layout.Columns;
        if (layout.BitsAllocated == 8)
            for (std::size_t i = 0; i < count; ++i) to[i] = static_cast<std::uint8_t>(data[i]);
        else
            for (std::size_t i = 0; i < count; ++i) to[i] = static_cast<std::uint16_t>(data[i]);
    }
}

void DecodeJpeg2000(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out)
{
    // Up to 2^25 samples (128 MB of OpenJPEG's) at once, larger images in
    // bands of 2^24 samples.
    constexpr std::uint64_t kWhole = std::uint64_t{1} << 25;
    constexpr std::uint64_t kBand = std::uint64_t{1} << 24;
    const std::uint64_t samples = static_cast<std::uint64_t>(layout.Rows) * layout.Columns;
    const auto rows =
        samples <= kWhole ? 0u : static_cast<std::uint32_t>(std::max<std::uint64_t>(1, kBand / layout.Columns));
    DecodeJpeg2000InBands(frame, layout, out, rows);
}

}  // namespace evenor::codecs
