#include "ui/Preferences.h"

#include <memory>
#include <optional>

#include <QFileInfo>
#include <QLocale>
#include <QSettings>

namespace evenor::Preferences {

namespace {

QString& StoreFile()
{
    static QString file;
    return file;
}

std::unique_ptr<QSettings> Store()
{
    if (!StoreFile().isEmpty()) return std::make_unique<QSettings>(StoreFile(), QSettings::IniFormat);
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Evenor"),
                                       QStringLiteral("Evenor"));
}

const QString OpenFolderKey = QStringLiteral("Folders/Open");
const QString OutputFolderKey = QStringLiteral("Folders/Output");
const QString RecentFilesKey = QStringLiteral("RecentFiles");
const QString DatabaseKey = QStringLiteral("History/Database");
const QString RecordEveryTestKey = QStringLiteral("History/RecordEveryTest");
const QString DecodeCompressedKey = QStringLiteral("Images/DecodeCompressed");
const QString ReportPaperKey = QStringLiteral("Reports/Paper");  // "a4" or "letter"
const QString AnalysedByKey = QStringLiteral("Reports/AnalysedBy");

std::optional<PaperSize> StoredPaper()
{
    const QString name = Store()->value(ReportPaperKey).toString();
    for (const PaperSize paper : {PaperSize::A4, PaperSize::Letter})
        if (name == QLatin1String(PaperName(paper))) return paper;
    return std::nullopt;
}

}  // namespace

QString OpenFolder() { return Store()->value(OpenFolderKey).toString(); }
void SetOpenFolder(const QString& folder) { Store()->setValue(OpenFolderKey, folder); }
QString OutputFolder() { return Store()->value(OutputFolderKey).toString(); }
void SetOutputFolder(const QString& folder) { Store()->setValue(OutputFolderKey, folder); }

QStringList RecentFiles()
{
    QStringList files = Store()->value(RecentFilesKey).toStringList();
    files.removeAll(QString());
    files.removeDuplicates();
    while (files.size() > MaxRecentFiles) files.removeLast();
    return files;
}

void AddRecentFile(const QString& path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList files = RecentFiles();
    files.removeAll(absolute);
    files.prepend(absolute);
    while (files.size() > MaxRecentFiles) files.removeLast();
    Store()->setValue(RecentFilesKey, files);
}

void RemoveRecentFile(const QString& path)
{
    QStringList files = RecentFiles();
    if (files.removeAll(QFileInfo(path).absoluteFilePath()) > 0) Store()->setValue(RecentFilesKey, files);
}

QString DatabaseLocation() { return Store()->value(DatabaseKey).toString(); }
void SetDatabaseLocation(const QString& location) { Store()->setValue(DatabaseKey, location); }
bool RecordEveryTest() { return Store()->value(RecordEveryTestKey, false).toBool(); }
void SetRecordEveryTest(bool record) { Store()->setValue(RecordEveryTestKey, record); }
bool DecodeCompressedImages() { return Store()->value(DecodeCompressedKey, false).toBool(); }
void SetDecodeCompressedImages(bool decode) { Store()->setValue(DecodeCompressedKey, decode); }

PaperSize LocalePaper()
{
    return QLocale::system().measurementSystem() == QLocale::ImperialUSSystem ? PaperSize::Letter : PaperSize::A4;
}
PaperSize ReportPaper() { return StoredPaper().value_or(LocalePaper()); }
bool ReportPaperChosen() { return StoredPaper().has_value(); }
void SetReportPaper(PaperSize paper) { Store()->setValue(ReportPaperKey, QString::fromLatin1(PaperName(paper))); }

QString AnalysedBy() { return Store()->value(AnalysedByKey).toString(); }
void SetAnalysedBy(const QString& name) { Store()->setValue(AnalysedByKey, name); }

void UseFile(const QString& path) { StoreFile() = path; }

}  // namespace evenor::Preferences
