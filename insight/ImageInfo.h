#pragma once
// The tags that identify an image for QA records and trending (which detector,
// when, with which exposure), and whether the image was processed for viewing.
// Every value is the element's value text with its padding (spaces and NUL
// bytes at either end) removed; empty when the image has no such element.
#include <string>
#include <string_view>
#include <vector>

#include "dicom/DicomLib.h"

namespace evenor {

// The warning every front end shows, and the JSON result carries, for an image
// whose Presentation Intent Type is FOR PRESENTATION.
inline constexpr std::string_view ProcessedImageWarning =
    "Presentation Intent Type is FOR PRESENTATION: the image is processed, the result may not describe "
    "the detector";

// The warning for an image decoded from a lossy compression (a lossy transfer
// syntax, or Lossy Image Compression "01"), shown where the one above is.
inline constexpr std::string_view LossyImageWarning =
    "Lossy compressed image: noise and pixel values are altered, the result may not describe the detector";

// Evenor judges an image only when its samples can be a detector's grey
// values as read: one sample per pixel, 8 or 16 bits allocated, unsigned. The
// reader takes any other image's first Rows x Columns samples as unsigned 8-
// or 16-bit numbers all the same (the report is written from them), but no
// verdict is given and no QA record made. The warnings naming the reason, in
// this order, one per reason; empty for an image Evenor judges:
//   "Samples per Pixel is 3: a colour image is not a detector's flat field"
//   "Bits Allocated is 12: Evenor reads 8 or 16 bits per sample, these samples may be misread"
//   "Pixel Representation is 1: signed pixel values are read as unsigned, a negative value becomes a large one"
std::vector<std::string> NotJudgedReasons(const TDicomBeeld& image);

struct ImageInfo {
    std::string Manufacturer;            // 0008,0070
    std::string Model;                   // 0008,1090 Manufacturer's Model Name
    std::string Station;                 // 0008,1010 Station Name
    std::string DetectorId;              // 0018,700A Detector ID
    std::string AcquisitionDate;         // 0008,0022, as stored (YYYYMMDD)
    std::string KVp;                     // 0018,0060
    std::string Exposure;                // 0018,1153 when present, else 0018,1152
    std::string ExposureUnit;            // "uAs" (0018,1153), "mAs" (0018,1152), empty without exposure
    std::string PresentationIntentType;  // 0008,0068
    // TDicomBeeld::LossyCompressed (set by the caller; the tags alone cannot
    // tell whether decoding was asked for).
    bool LossyCompressed = false;
    // NotJudgedReasons (set by the caller, or by the image overload below).
    std::vector<std::string> NotJudged;
    // The warnings about 0028,1040 and 0028,1041 (DefaultsFromTags), in its
    // order (set by the caller, or by the image overload below).
    std::vector<std::string> TagWarnings;

    // True when Presentation Intent Type is FOR PRESENTATION (letter case ignored).
    bool IsProcessed() const;
    // Evenor gives verdicts for the image (NotJudged is empty).
    bool Judged() const { return NotJudged.empty(); }
    // The reasons of NotJudged joined by "; ".
    std::string NotJudgedText() const;
};

// From the lines of TDicomBeeld::TagList, through FindTagValue. A value holding
// a comma is cut at the comma there (the tag-list line cannot tell a comma in
// the value from its separator); prefer the tag-table overload when the image
// object is at hand.
ImageInfo ReadImageInfo(const std::vector<std::string>& tagList);

// From TDicomBeeld::TagTable: the values exactly as read. The first element
// with a tag counts, as in the tag-list lookup.
ImageInfo ReadImageInfo(const std::vector<TagEntry>& tagTable);

// From the image: its tag table, LossyCompressed, NotJudged and TagWarnings.
ImageInfo ReadImageInfo(const TDicomBeeld& image);

// The value of the first element with tag (8 hexadecimal digits, as
// TagEntry::Tag) in tagTable, padding removed; empty when there is none.
std::string TagTableValue(const std::vector<TagEntry>& tagTable, std::string_view tag);

// Removes spaces and NUL bytes from both ends.
std::string TrimPadding(std::string_view value);

}  // namespace evenor
