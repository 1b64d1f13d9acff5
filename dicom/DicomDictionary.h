#pragma once
// The DICOM data dictionary: for a tag, a two-character VR and a name.
//
// Loaded once at program start from "DicomLibrary.txt" in the working
// directory when that file can be opened exclusively and read, otherwise from
// the built-in text. Read-only afterwards.
#include <cstdint>
#include <string>
#include <string_view>

namespace evenor {

// The built-in dictionary text: 431 lines "TTTTTTTT=VRName", CR LF separated.
extern const std::string_view BuiltInDictionary;

// Loads "DicomLibrary.txt" from the current directory, or the built-in text.
// Never fails.
void LoadDicomDictionary();

// Replaces the dictionary with the lines of the given text (split and sorted
// exactly as a loaded file is). Used by the loader, tests and fuzzing.
void LoadDicomDictionaryFromText(std::string_view text);

// Looks a tag up. Found: vr receives the line's characters 10 and 11 and
// description characters 12 to the end. Not found: false, description empty,
// vr untouched.
bool LookupTag(std::uint32_t tag, std::string& vr, std::string& description);

}  // namespace evenor
