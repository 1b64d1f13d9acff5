#pragma once
// One QA record: what the history keeps of one uniformity test of one
// detector. Built from a run's outcome by MakeQaRecord; stored by
// HistoryStore::Record. Texts taken from the image are kept byte for byte.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "dicom/DicomLib.h"
#include "insight/DetectorInsight.h"
#include "insight/Guidelines.h"
#include "insight/Metrics.h"

namespace evenor {

// Which tags identify a detector, in order of preference.
enum class DetectorKeyKind : std::uint8_t { DetectorId, SerialNumber, Composite };

struct DetectorIdentity {
    std::string Manufacturer;  // 0008,0070
    std::string Model;         // 0008,1090 Manufacturer's Model Name
    std::string Serial;        // 0018,1000 Device Serial Number
    std::string DetectorId;    // 0018,700A Detector ID
    std::string Station;       // 0008,1010 Station Name

    // Detector ID, else Device Serial Number, else "Manufacturer / Model /
    // Station" (the composite key).
    std::string Key() const;
    DetectorKeyKind KeyKind() const;
};

// "detector id", "serial number", "manufacturer / model / station".
const char* KeyKindName(DetectorKeyKind kind);

// A deviating pixel's position.
struct PixelPosition {
    std::uint32_t X = 0;
    std::uint32_t Y = 0;
    friend auto operator<=>(const PixelPosition&, const PixelPosition&) = default;
};

struct LinePosition {
    LineOrientation Orientation = LineOrientation::Row;
    std::uint32_t Index = 0;
    friend auto operator<=>(const LinePosition&, const LinePosition&) = default;
};

struct ClusterBox {
    std::uint32_t Left = 0, Top = 0, Right = 0, Bottom = 0;  // inclusive
};

// The summary numbers the trends and the baseline checks use.
struct RecordNumbers {
    double AreaMean = 0.0, AreaSD = 0.0, AreaSNR = 0.0, MeanRoiSNR = 0.0, RoiSNRSD = 0.0;
    std::int64_t RoiCount = 0, DeviatingRoiCount = 0, DeviatingPixelCount = 0;
    // The metrics the verdicts judge (robust: deviating pixels left out), by MetricId.
    std::array<std::optional<double>, MetricCount> Metrics{};
};

struct QaRecord {
    DetectorIdentity Detector;
    std::string SoftwareVersions;  // 0018,1020
    std::string SopInstanceUid;    // 0008,0018
    std::string AcquisitionDate;   // 0008,0022 as stored
    std::string AcquisitionTime;   // 0008,0032 as stored
    std::string KVp, Exposure, ExposureUnit, PresentationIntentType;
    std::string FileName;    // as given to the run
    std::string FileSha256;  // of the input file's bytes
    // The settings in one canonical line; with the checksum it says whether
    // this test was recorded before.
    std::string Settings;
    std::string Preset;
    RecordNumbers Numbers;
    Verdict Overall = Verdict::NotEvaluated;
    // JSON (program-made, UTF-8): the metrics with positions (robust and every
    // pixel), the clusters and lines, the verdicts with their limits.
    std::string Details;
    std::vector<PixelPosition> DeviatingPixels;  // sorted by row, then column
    std::vector<ClusterBox> Clusters;
    std::vector<LinePosition> Lines;  // sorted
    std::string ProgramVersion;
    std::string RecordedBy;  // filled by the store when empty: the operating system's user
};

// The detector an image's tags name (TDicomBeeld::TagTable).
DetectorIdentity DetectorFromTags(const std::vector<TagEntry>& tagTable);

// The record of one run. tagTable is the image's (TDicomBeeld::TagTable);
// fileSha256 the checksum of settings.DicomFileName. warnings are the run's
// warnings as shown (the tags', a processed or lossy compressed image's); they
// go into Details ("warnings", left out when there are none).
QaRecord MakeQaRecord(const AnalysisSettings& settings, const AnalysisResult& result, const DetectorInsight& insight,
                      const GuidelinePreset& preset, const std::vector<TagEntry>& tagTable, std::string fileSha256,
                      const std::vector<std::string>& warnings = {});

// "YYYY-MM-DD HH:MM:SS" from a DICOM date (YYYYMMDD) and time (HHMMSS.FFF,
// parts may be missing); empty when the date is not one.
std::string TestedAtText(const std::string& date, const std::string& time);

// The user name of the process (USER / LOGNAME, else the password entry).
std::string OperatingSystemUser();

}  // namespace evenor
