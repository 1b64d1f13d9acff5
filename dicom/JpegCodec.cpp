// JPEG (baseline, extended, lossless) through DCMTK's decoders, which carry
// IJG's library built for 8, 12 and 16-bit samples; the precision in the
// codestream's frame header chooses one, as DCMTK's own codec does.
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmjpeg/djcparam.h>
#include <dcmtk/dcmjpeg/djdijg12.h>
#include <dcmtk/dcmjpeg/djdijg16.h>
#include <dcmtk/dcmjpeg/djdijg8.h>
#include <dcmtk/oflog/appender.h>
#include <dcmtk/oflog/logger.h>
#include <dcmtk/oflog/spi/logevent.h>

#include "dicom/Codecs.h"

namespace evenor::codecs {

namespace {

struct FrameHeader {
    std::uint8_t Process = 0;  // the SOF marker
    unsigned Precision = 0;
    unsigned Lines = 0;
    unsigned Samples = 0;
    unsigned Components = 0;
};

bool IsStartOfFrame(std::uint8_t marker)
{
    // SOF0-SOF3, SOF5-SOF7, SOF9-SOF11, SOF13-SOF15 (C4 is DHT, C8 JPG, CC DAC).
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The first frame header, found the way a decoder finds it: SOI, then marker
// segments skipped by their lengths. Nothing when there is none before the
// first scan or the end.
std::optional<FrameHeader> ReadFrameHeader(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xD8) return std::nullopt;
    std::size_t at = 2;
    while (at < bytes.size()) {
        if (bytes[at] != 0xFF) return std::nullopt;
        while (at < bytes.size() && bytes[at] == 0xFF) ++at;  // fill bytes
        if (at == bytes.size()) return std::nullopt;
        const std::uint8_t marker = bytes[at++];
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // TEM, RSTn: no segment
        if (marker == 0xD8 || marker == 0xD9 || marker == 0xDA) return std::nullopt;
        if (bytes.size() - at < 2) return std::nullopt;
        const std::size_t length = (static_cast<std::size_t>(bytes[at]) << 8) | bytes[at + 1];
        if (length < 2 || length > bytes.size() - at) return std::nullopt;
        if (IsStartOfFrame(marker)) {
            if (length < 8) return std::nullopt;
            const std::uint8_t* p = bytes.data() + at + 2;
            return FrameHeader{marker, p[0], (static_cast<unsigned>(p[1]) << 8) | p[2],
                               (static_cast<unsigned>(p[3]) << 8) | p[4], p[5]};
        }
        at += length;
    }
    return std::nullopt;
}

// The IJG library's warnings reach DCMTK's logger. Those about corrupt data
// ("Corrupt JPEG data: premature end of data segment", "... bad Huffman
// code", "... N extraneous bytes before marker", "Premature end of JPEG
// file") mean samples were skipped or filled in, or the entropy-coded data
// was read otherwise than it was written (a changed byte in a lossless scan
// shows as bytes left over before the end marker): the decoded image is not
// the file's. Others ("Invalid SOS parameters for sequential JPEG") leave the
// samples as they are. The logger's warnings are caught here, for the decode
// running in the same thread, and nothing is written to standard error: the
// program's messages are its own.
thread_local std::string* tCorruption = nullptr;

class CorruptionCatcher : public dcmtk::log4cplus::Appender {
public:
    ~CorruptionCatcher() override { destructorImpl(); }
    void close() override {}

protected:
    // Called inside the IJG library's C code: nothing may be thrown from here.
    void append(const dcmtk::log4cplus::spi::InternalLoggingEvent& event) override
    {
        if (tCorruption == nullptr || !tCorruption->empty()) return;
        const std::string_view text = event.getMessage().c_str();
        if (!text.starts_with("Corrupt JPEG data") && !text.starts_with("Premature end of JPEG file")) return;
        try {
            *tCorruption = text;
        } catch (...) {
            *tCorruption = "?";  // short enough not to allocate
        }
    }
};

void CatchDcmtkWarnings()
{
    static std::once_flag once;
    std::call_once(once, [] {
        dcmtk::log4cplus::Logger logger = dcmtk::log4cplus::Logger::getInstance("dcmtk.dcmjpeg");
        logger.setAdditivity(false);
        logger.removeAllAppenders();
        logger.addAppender(dcmtk::log4cplus::SharedAppenderPtr(new CorruptionCatcher));
        logger.setLogLevel(dcmtk::log4cplus::WARN_LOG_LEVEL);
    });
}

// Points tCorruption at one decode's text while it runs.
class CorruptionWatch {
public:
    CorruptionWatch() { tCorruption = &text_; }
    ~CorruptionWatch() { tCorruption = nullptr; }
    CorruptionWatch(const CorruptionWatch&) = delete;
    CorruptionWatch& operator=(const CorruptionWatch&) = delete;
    const std::string& Text() const { return text_; }

private:
    std::string text_;
};

}  // namespace

void DecodeJpeg(std::span<const std::uint8_t> frame, const FrameLayout& layout, WordArray& out)
{
    const std::optional<FrameHeader> header = ReadFrameHeader(frame);
    if (!header) Fail("the JPEG data has no frame header", layout);
    if (header->Components != 1)
        Fail("the JPEG data has " + std::to_string(header->Components) + " components, not 1", layout);
    if (header->Samples != layout.Columns || header->Lines != layout.Rows)
        Fail("the JPEG data is " + std::to_string(header->Samples) + " x " + std::to_string(header->Lines) +
                 " pixels, the header says " + std::to_string(layout.Columns) + " x " + std::to_string(layout.Rows),
             layout);
    if (header->Precision < 2 || header->Precision > 16 || (layout.BitsAllocated == 8 && header->Precision > 8))
        Fail("the JPEG data has " + std::to_string(header->Precision) + "-bit samples for " +
                 std::to_string(layout.BitsAllocated) + " bits allocated",
             layout);
    const std::uint64_t samples = static_cast<std::uint64_t>(layout.Rows) * layout.Columns;
    // Every Huffman code takes at least one bit: a lossless sample at least
    // one, a DCT block of 64 samples at least two (DC and end of block).
    const bool lossless =
        header->Process == 0xC3 || header->Process == 0xC7 || header->Process == 0xCB || header->Process == 0xCF;
    const std::uint64_t samplesPerByte = lossless ? 8 : 256;
    if (samples > samplesPerByte * frame.size()) Fail("the JPEG data ends early", layout);
    // DCMTK's decoder counts bytes in 32 bits.
    if (samples * 2 > 0xFFFFFFFFu || frame.size() > 0xFFFFFFFFu) Fail("the image is too large to decode", layout);
    SizeOutput(out, layout);
    CatchDcmtkWarnings();

    const DJCodecParameter parameters(ECC_monochrome, EDC_never, EUC_never, EPC_default);
    std::unique_ptr<DJDecoder> decoder;
    if (header->Precision <= 8)
        decoder = std::make_unique<DJDecompressIJG8Bit>(parameters, OFFalse);
    else if (header->Precision <= 12)
        decoder = std::make_unique<DJDecompressIJG12Bit>(parameters, OFFalse);
    else
        decoder = std::make_unique<DJDecompressIJG16Bit>(parameters, OFFalse);
    if (decoder->init().bad()) Fail("the JPEG decoder cannot start", layout);

    // 8-bit samples come as bytes: decoded into the words' own memory and
    // widened from the back; deeper ones come as native 16-bit words.
    auto* destination = reinterpret_cast<Uint8*>(out.data());
    const Uint32 destinationBytes = static_cast<Uint32>(samples * decoder->bytesPerSample());
    // The IJG source manager only reads the compressed bytes.
    auto* source = const_cast<Uint8*>(frame.data());
    const CorruptionWatch corruption;
    const OFCondition status =
        decoder->decode(source, static_cast<Uint32>(frame.size()), destination, destinationBytes, OFFalse);
    if (status == EJ_Suspension) Fail("the JPEG data ends early", layout);
    if (status.bad()) Fail(std::string("the JPEG data cannot be decoded (") + status.text() + ")", layout);
    if (!corruption.Text().empty()) Fail("the JPEG data is corrupt (" + corruption.Text() + ")", layout);
    if (decoder->bytesPerSample() == 1)
        for (std::size_t i = samples; i-- > 0;) out[i] = destination[i];
}

}  // namespace evenor::codecs
