// JPEG-LS (lossless and near-lossless) through CharLS.
#include <charls/charls.h>

#include <vector>

#include "dicom/Codecs.h"

namespace evenor::codecs {

namespace {

// True when the bytes end with an End of Image marker, perhaps followed by
// zero bytes (the fragment's padding).
bool EndsWithEndOfImage(std::span<const std::uint8_t> bytes)
{
    while (!bytes.empty() && bytes.back() == 0) bytes = bytes.first(bytes.size() - 1);
    return bytes.size() >= 2 && bytes[bytes.size() - 2] == 0xFF && bytes.back() == 0xD9;
}

}  // namespace

void DecodeJpegLs(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out)
{
    // On some damaged scans that run to the very end of their input, CharLS
    // spends seconds (on 88 bytes of 13 x 11 pixels) before it reports the
    // fault. A codestream without its End of Image marker is given one, and
    // such a scan fails at once. Complete codestreams are decoded where they lie.
    std::vector<std::uint8_t> terminated;
    if (!EndsWithEndOfImage(frame)) {
        terminated.reserve(frame.size() + 2);
        terminated.assign(frame.begin(), frame.end());
        terminated.push_back(0xFF);
        terminated.push_back(0xD9);
        frame = terminated;
    }
    try {
        charls::jpegls_decoder decoder;
        decoder.source(frame.data(), frame.size());
        decoder.read_header();
        const charls::frame_info& info = decoder.frame_info();
        if (info.component_count != 1)
            Fail("the JPEG-LS data has " + std::to_string(info.component_count) + " components, not 1", layout);
        if (info.width != layout.Columns || info.height != layout.Rows)
            Fail("the JPEG-LS data is " + std::to_string(info.width) + " x " + std::to_string(info.height) +
                     " pixels, the header says " + std::to_string(layout.Columns) + " x " + std::to_string(layout.Rows),
                 layout);
        if (info.bits_per_sample > 16 || (layout.BitsAllocated == 8 && info.bits_per_sample > 8))
            Fail("the JPEG-LS data has " + std::to_string(info.bits_per_sample) + "-bit samples for " +
                     std::to_string(layout.BitsAllocated) + " bits allocated",
                 layout);
        // Samples of up to 8 bits come as bytes: decoded into the words' own
        // memory and widened from the back; deeper ones as native words.
        const std::size_t samples = static_cast<std::size_t>(layout.Rows) * layout.Columns;
        const std::size_t bytes = decoder.destination_size();
        const std::size_t bytesPerSample = info.bits_per_sample > 8 ? 2 : 1;
        if (bytes != samples * bytesPerSample) Fail("the JPEG-LS data does not hold one frame", layout);
        SizeOutput(out, layout);
        auto* destination = reinterpret_cast<std::uint8_t*>(out.data());
        decoder.decode(destination, bytes);
        if (bytesPerSample == 1)
            for (std::size_t i = samples; i-- > 0;) out[i] = destination[i];
    } catch (const charls::jpegls_error& error) {
        Fail(std::string("the JPEG-LS data cannot be decoded (") + error.what() + ")", layout);
    }
}

}  // namespace evenor::codecs
