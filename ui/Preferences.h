#pragma once
// What the window remembers between starts: the folders its file dialogs last
// used, the images opened last, where and when tests are recorded, whether
// compressed images are decoded, the paper of the PDF reports and who they
// name as having made the analysis. Nothing
// else is kept: the settings fields start with their defaults every time.
//
// Stored with QSettings for organisation and application "Evenor" (on Linux
// ~/.config/Evenor/Evenor.conf). Tests and the screenshot driver point it at
// a file of their own with UseFile, so they never read or change the user's.
#include <QString>
#include <QStringList>

#include "qa/ReportData.h"

namespace evenor::Preferences {

// The most recent files kept, newest first.
inline constexpr int MaxRecentFiles = 6;

// The folder of the image chosen last in the open dialog; empty at first.
QString OpenFolder();
void SetOpenFolder(const QString& folder);
// The folder of the output file chosen last; empty at first.
QString OutputFolder();
void SetOutputFolder(const QString& folder);

// The images opened successfully, newest first, at most MaxRecentFiles,
// each once (as absolute paths).
QStringList RecentFiles();
void AddRecentFile(const QString& path);
// Takes path off the list (an image that no longer opens).
void RemoveRecentFile(const QString& path);

// Where the QA history is kept: a file path or a postgresql:// URI; empty
// for the history's default location.
QString DatabaseLocation();
void SetDatabaseLocation(const QString& location);
// Whether each successful Calculate is recorded in the history.
bool RecordEveryTest();
void SetRecordEveryTest(bool record);
// Whether compressed images are decoded when opened (otherwise refused, the
// default).
bool DecodeCompressedImages();
void SetDecodeCompressedImages(bool decode);

// The paper of the PDF reports the window writes: the one chosen, else the
// locale's (LocalePaper).
PaperSize ReportPaper();
// Whether a paper was chosen; until one is, ReportPaper follows the locale.
bool ReportPaperChosen();
void SetReportPaper(PaperSize paper);
// Letter where the system's locale measures in US units, A4 elsewhere.
PaperSize LocalePaper();

// Who the PDF reports name as having made the analysis; empty until set,
// and then the reports name the user's login.
QString AnalysedBy();
void SetAnalysedBy(const QString& name);

// Keeps the preferences in the INI file path instead of the user's settings;
// an empty path goes back to the user's settings.
void UseFile(const QString& path);

}  // namespace evenor::Preferences
