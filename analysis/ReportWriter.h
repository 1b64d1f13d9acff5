#pragma once
// The results report: a plain-text file, CR LF line ends, fixed-width tables.
//
// Number formats. Reals are rounded half away from zero on their decimal
// expansion to 18 significant digits (the digits an 80-bit runtime formats
// from): 0.125 gives 0.13, and 2.675, stored as 2.67499999999999982..., gives
// 2.67. fixed(w, d) writes "." whatever the locale, a "-" only when the rounded
// value is not zero, and widens the field rather than cut a longer number.
// Every table line is written: ROIs and deviating pixels are not limited to a
// 16-bit count. The one locale-dependent text is the "Mean SNR" line: its
// separator is the C locale's decimal point (after the program's
// setlocale(LC_ALL, "")), or "." when that is not a single byte.
#include <ostream>
#include <string>

#include "analysis/AnalysisSettings.h"
#include "analysis/PixelPreparation.h"
#include "analysis/RoiGrid.h"
#include "base/EvenorError.h"

namespace evenor {

// Writes the report lines to a stream (every line ended by CR LF). Stops at the
// first failure of the stream; the caller tests its state.
void WriteResultsReport(std::ostream& out, const AnalysisSettings& settings, const AnalysisResult& result,
                        const PixelPreparation& preparation);

// Creates or truncates settings.OutputFileName and writes the report into it.
// Throws InOutError with the operating system's error code and its text
// ("Disk full", "File access denied", ...) on the first failed operation:
// the open (an existing file then keeps its content), a buffered write, or the
// close. A partly written file is left in place.
void WriteResultsReport(const AnalysisSettings& settings, const AnalysisResult& result,
                        const PixelPreparation& preparation);

// fixed(width, decimals): "." as separator, right-aligned, widened when longer.
std::string FormatFixed(double value, int width, int decimals);

// The "Mean SNR" line's number format: rounded to at most 5 significant digits
// and at most 2 decimals, written with exactly 2 decimals and the given
// separator (the locale's). With more than five digits before the separator
// it is written as 5 significant digits in exponent form: one digit, the
// separator, four digits, "E", the exponent's sign and at least three exponent
// digits, e.g. 1.2346E+005 for 123456.
std::string FormatSnr(double value, char separator);

// The error codes of the report and their texts: 2 "File not found", 3
// "Invalid filename", 4 "Too many open files", 5 "File access denied", 101
// "Disk full", any other code "I/O error <code>".
std::string InOutErrorText(int code);

// Maps an errno to those codes: ENOENT, ENOTDIR -> 2; ENAMETOOLONG, EINVAL ->
// 3; EMFILE, ENFILE -> 4; EACCES, EROFS, EPERM, EISDIR -> 5; ENOSPC, EDQUOT ->
// 101; any other errno stays itself.
int InOutCodeFromErrno(int errnoValue);

// The InOutError for a failed file operation; an unmapped errno is always
// written "I/O error <errno>" (EIO is not "File access denied").
InOutError InOutErrorFromErrno(int errnoValue);

}  // namespace evenor
