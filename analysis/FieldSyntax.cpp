#include "analysis/FieldSyntax.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace evenor {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::size_t SkipBlanks(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    return i;
}

// Parses the integer syntax into a magnitude and a sign, refusing any
// magnitude above maxMagnitude. A sign stands only before decimal digits: a
// hexadecimal number ("$1F", "0x1F") takes none, so "-$1F" does not parse.
bool ParseMagnitude(std::string_view text, std::uint64_t maxMagnitude, std::uint64_t& magnitude, bool& negative)
{
    std::size_t i = SkipBlanks(text);
    negative = false;
    bool signed_ = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        signed_ = true;
        ++i;
    }
    unsigned base = 10;
    if (signed_) {
        // decimal digits only
    } else if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) return false;  // no digits at all
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit = base == 16 ? HexDigitValue(text[i]) : (IsDigit(text[i]) ? text[i] - '0' : -1);
        if (digit < 0) return false;  // anything after the number, a blank included
        if (value > (maxMagnitude - static_cast<unsigned>(digit)) / base) return false;
        value = value * base + static_cast<unsigned>(digit);
    }
    magnitude = value;
    return true;
}

}  // namespace

bool ParseInteger(std::string_view text, std::int32_t& value)
{
    std::uint64_t magnitude = 0;
    bool negative = false;
    // The largest magnitude is that of INT32_MIN; the positive side is checked below.
    if (!ParseMagnitude(text, std::uint64_t{1} << 31, magnitude, negative)) return false;
    if (!negative && magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return false;
    value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                     : static_cast<std::int32_t>(magnitude);
    return true;
}

bool ParseInteger64(std::string_view text, std::int64_t& value)
{
    std::uint64_t magnitude = 0;
    bool negative = false;
    if (!ParseMagnitude(text, std::uint64_t{1} << 63, magnitude, negative)) return false;
    if (!negative && magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
    // Two's complement negation of the magnitude; also right for INT64_MIN.
    value = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
}

bool ParseReal(std::string_view text, double& value)
{
    std::size_t i = SkipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Check the whole syntax by hand first: std::from_chars alone would also
    // take "inf", "nan" and stop early instead of failing.
    const std::size_t start = i;
    std::size_t intDigits = 0;
    while (i < text.size() && IsDigit(text[i])) ++i, ++intDigits;
    std::size_t fracDigits = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) ++i, ++fracDigits;
    }
    if (intDigits + fracDigits == 0) return false;
    const std::size_t mantissaEnd = i;
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            ++i;
        }
        if (i == text.size()) return false;
        for (; i < text.size() && IsDigit(text[i]); ++i) {
            if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (negativeExponent) exponent = -exponent;
    }
    if (i != text.size()) return false;

    double parsed = 0.0;
    const char* first = text.data() + start;
    const char* last = text.data() + text.size();
    const auto [end, ec] = std::from_chars(first, last, parsed, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        // Tell underflow (taken as 0) from overflow (refused) by the decimal
        // order of magnitude of the first significant digit.
        const std::string_view mantissa = text.substr(start, mantissaEnd - start);
        long long position = static_cast<long long>(intDigits);  // digits before the point
        bool found = false;
        for (char c : mantissa) {
            if (c == '.') continue;
            --position;
            if (c != '0') {
                found = true;
                break;
            }
        }
        if (found && position + exponent >= 0) return false;
        parsed = 0.0;
    } else if (ec != std::errc() || end != last) {
        return false;
    }
    if (!std::isfinite(parsed)) return false;
    value = negative ? -parsed : parsed;
    return true;
}

bool IsPositiveInteger(std::string_view text)
{
    std::int32_t value = 0;
    return ParseInteger(text, value) && value >= 0;
}

bool IsNumber(std::string_view text)
{
    double value = 0.0;
    return ParseReal(text, value);
}

bool ParsePixelOffset(std::string_view text, std::uint16_t& value)
{
    std::int32_t parsed = 0;
    if (!ParseInteger(text, parsed) || parsed < 0 || parsed > 65535) return false;
    value = static_cast<std::uint16_t>(parsed);
    return true;
}

bool FindTagValue(const std::vector<std::string>& tagList, std::string_view tagText, std::string& value)
{
    constexpr std::size_t kTagWidth = 8;
    constexpr std::size_t kValueStart = 10;  // character 11, counting from 1
    for (const std::string& line : tagList) {
        if (line.size() < kTagWidth || std::string_view(line).substr(0, kTagWidth) != tagText) continue;
        if (line.size() <= kValueStart) {
            value.clear();
            return true;
        }
        const std::size_t comma = line.find(',', kValueStart);
        value = line.substr(kValueStart, comma == std::string::npos ? std::string::npos : comma - kValueStart);
        return true;
    }
    return false;
}

bool ReadAreaField(std::string_view text, std::uint32_t& value)
{
    if (text.empty()) {
        value = 0;
        return true;
    }
    std::int64_t parsed = 0;
    if (!ParseInteger64(text, parsed)) return false;
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

bool ReadRealField(std::string_view text, double& value)
{
    if (text.empty()) {
        value = 0.0;
        return true;
    }
    return ParseReal(text, value);
}

std::string ShortestText(double value)
{
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

}  // namespace evenor
