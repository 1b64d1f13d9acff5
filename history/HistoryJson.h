#pragma once
// The QA history as JSON: the objects "history --json", "detectors --json"
// and "baseline show --json" print, member by member in the order they have
// always had. Numbers that are missing or not finite are null.
#include <optional>

#include <nlohmann/json.hpp>

#include "history/Baselines.h"
#include "history/HistoryStore.h"
#include "history/QaRecord.h"

namespace evenor {

// A number, or null when there is none or it is not finite.
nlohmann::ordered_json JsonNumber(std::optional<double> value);

// Stands for a record's details in RecordJson until they are written: the
// details are stored as JSON already and are copied, not parsed and dumped.
inline constexpr const char* kDetailsPlaceholder = "\x01evenor-details\x01";

nlohmann::ordered_json NumbersJson(const RecordNumbers& numbers);
// The record with its baseline checks; its details (when they are JSON) as
// kDetailsPlaceholder, for the writer to put in place.
nlohmann::ordered_json RecordJson(const StoredRecord& record);
nlohmann::ordered_json DetectorJson(const DetectorRow& detector);
nlohmann::ordered_json BaselineJson(const Baseline& baseline);
// Per check key: warning, action and whether both are the defaults.
nlohmann::ordered_json LimitsJson(const BaselineLimits& values);
nlohmann::ordered_json LimitsVersionJson(const LimitsVersion& version);

}  // namespace evenor
