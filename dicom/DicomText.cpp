#include "dicom/DicomText.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace evenor {

std::string TagToHex(std::uint32_t tag)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text(8, '0');
    for (int i = 7; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[tag & 0xF];
        tag >>= 4;
    }
    return text;
}

namespace {

std::string DecimalSeparator()
{
    const std::lconv* conventions = std::localeconv();
    if (conventions == nullptr || conventions->decimal_point == nullptr || *conventions->decimal_point == '\0')
        return ".";
    return conventions->decimal_point;
}

}  // namespace

std::string FormatDicomReal(double value)
{
    if (std::isnan(value)) return "NAN";
    if (std::isinf(value)) return value < 0 ? "-INF" : "INF";

    // Four significant digits, rounded half away from zero on the exact
    // decimal value of the double (which has at most 767 significant
    // digits), independent of the locale.
    const bool negative = std::signbit(value);
    char buffer[800];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific, 770);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));  // "d.ddd...e+xx"
    std::string digits{text[0], text[2], text[3], text[4]};
    int exponent = std::atoi(std::string(text.substr(text.find('e') + 1)).c_str());
    if (text[5] >= '5') {
        int i = 3;
        while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9') digits[static_cast<std::size_t>(i--)] = '0';
        if (i >= 0) {
            ++digits[static_cast<std::size_t>(i)];
        } else {
            digits = "1000";
            ++exponent;
        }
    }
    const std::string separator = DecimalSeparator();

    if (exponent >= 4) {
        std::string out = negative ? "-" : "";
        out += digits[0];
        out += separator;
        out += digits.substr(1);
        out += "E+";
        if (exponent < 10) out += '0';
        out += std::to_string(exponent);
        return out;
    }

    // The rounded value is digits * 10^(exponent - 3); in units of 10^-4 that
    // is digits * 10^(exponent + 1), exact when exponent >= -1 and rounded
    // half up to a whole unit otherwise.
    std::uint64_t units = std::strtoull(digits.c_str(), nullptr, 10);
    if (exponent >= -1) {
        for (int i = 0; i < exponent + 1; ++i) units *= 10;
    } else {
        const int shift = -(exponent + 1);
        if (shift > 4) {
            units = 0;
        } else {
            std::uint64_t divisor = 1;
            for (int i = 0; i < shift; ++i) divisor *= 10;
            units = (units + divisor / 2) / divisor;
        }
    }
    std::string whole = std::to_string(units / 10000);
    std::string fraction = std::to_string(units % 10000);
    fraction.insert(0, 4 - fraction.size(), '0');
    return (negative && units != 0 ? "-" : "") + whole + separator + fraction;
}

double SpacingFromText(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t start = i;
    auto isDigit = [&](std::size_t k) { return k < text.size() && text[k] >= '0' && text[k] <= '9'; };

    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::size_t mantissaStart = i;
    while (isDigit(i)) ++i;
    bool anyDigits = i > mantissaStart;
    if (i < text.size() && text[i] == '.') {
        const std::size_t point = i;
        std::size_t k = i + 1;
        while (isDigit(k)) ++k;
        if (k > point + 1 || anyDigits) {
            anyDigits = anyDigits || k > point + 1;
            i = k;
        }
    }
    if (!anyDigits) return 0.0;
    if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
        std::size_t k = i + 1;
        if (k < text.size() && (text[k] == '+' || text[k] == '-')) ++k;
        const std::size_t exponentDigits = k;
        while (isDigit(k)) ++k;
        if (k > exponentDigits) i = k;
    }

    // from_chars takes no leading '+'.
    std::size_t from = start;
    if (text[from] == '+') ++from;
    double value = 0.0;
    const auto result = std::from_chars(text.data() + from, text.data() + i, value);
    if (result.ec != std::errc() || result.ptr != text.data() + i) return 0.0;
    return value;
}

}  // namespace evenor
