#include "dicom/TerminalText.h"

namespace evenor {

namespace {

void AppendHex(std::string& out, const char* prefix, unsigned value, int digits)
{
    constexpr char kHex[] = "0123456789abcdef";
    out += prefix;
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(value >> shift) & 15];
}

// The length of the well-formed UTF-8 sequence at text[i] of two to four
// bytes, with its code point; 0 when there is none there.
std::size_t Utf8Sequence(std::string_view text, std::size_t i, unsigned& codePoint)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    unsigned minimum = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80) return 0;
        codePoint = codePoint << 6 | (next & 0x3fu);
    }
    if (codePoint < minimum || codePoint > 0x10ffff || (codePoint >= 0xd800 && codePoint <= 0xdfff)) return 0;
    return length;
}

}  // namespace

std::string Printable(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        unsigned codePoint = 0;
        if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7f) {
            AppendHex(out, "\\x", byte, 2);
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
        } else if (const std::size_t length = Utf8Sequence(text, i, codePoint); length > 0) {
            if ((codePoint >= 0x80 && codePoint <= 0x9f) || codePoint == 0x2028 || codePoint == 0x2029)
                AppendHex(out, "\\u", codePoint, 4);
            else
                out.append(text.substr(i, length));
            i += length - 1;
        } else if (byte <= 0x9f) {
            // Not UTF-8: a terminal reading 8-bit characters takes a lone
            // 0x80..0x9f as a C1 control (0x9b starts a sequence).
            AppendHex(out, "\\x", byte, 2);
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

}  // namespace evenor
