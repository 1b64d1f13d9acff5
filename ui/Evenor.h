#pragma once
// Evenor: the main window. The user opens one DICOM image here, reads its tag
// list, edits the settings of the uniformity test, chooses the report file and
// starts the analysis.
//
// The window owns the current image (zero or one TDicomBeeld, replaced only by
// the next open) and the one AnalysisSettings of the program. Boven, Onder,
// Links, Rechts = top, bottom, left, right.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QPointer>
#include <QWidget>

#include "analysis/AnalysisSettings.h"
#include "analysis/RoiGrid.h"
#include "dicom/DicomLib.h"
#include "dicom/FilePath.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMimeData;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

namespace evenor {

class TAboutBox;
class TDicomBeeld;
class TFormCalculate;
class THistoryPage;
class TResultsPage;
class RunProgress;
struct RunResults;

// The file a drag carries when it can be opened as an image: exactly one
// local file that exists (not a folder); empty otherwise.
QString DroppedImagePath(const QMimeData& data);

// The report name proposed for an image: NAME-uniformity.txt, NAME being the
// image's file name without the last extension, in outputFolder, or in the
// image's folder when outputFolder is empty.
QString ProposedReportPath(const QString& imagePath, const QString& outputFolder = {});

// The window's title: "NAME - Evenor" for the image NAME (its file name
// without folder) that Calculate would analyse, "Evenor" without one.
QString WindowTitleFor(const QString& imagePath);

class TFormEvenor : public QWidget {
    Q_OBJECT
public:
    TFormEvenor();
    ~TFormEvenor() override;

    // The Calculating notice and the About box, created after this window.
    void AttachWindows(TFormCalculate* formCalculate, TAboutBox* aboutBox);
    // Opens an image named on the command line ("evenor FILE", "Open with"),
    // as a drop would, once the event loop runs.
    void OpenFromCommandLine(const QString& path) { OpenLater(path); }

    AnalysisSettings& Settings() { return settings_; }
    const TDicomBeeld* CurrentImage() const { return image_.get(); }
    // True for the whole of a Calculate click, its message boxes included:
    // the run uses the current image, so nothing opens another meanwhile.
    bool Calculating() const { return calculating_; }
    // The line under the pages: the output file chosen, or that none is, and
    // how the last run ended when it was cancelled.
    QString StatusText() const;

public slots:
    void ButtonCalculateClick();
    void ButtonOpenClick();
    void ButtonExportClick();
    void ButtonAboutClick();
    // The preferences dialog: the history database, whether every test is recorded, whether
    // compressed images are decoded and the paper of the PDF reports.
    void ButtonPreferencesClick();
    void CheckBoxDevClick();

    // The exit checks, run when the focus moves from the field to another
    // control of this window.
    void EditBovenExit();
    void EditLinksExit();
    void EditRechtsExit();
    void EditOnderExit();
    void EditDimExit();
    void EditROIDevExit();
    void EditDevPercExit();
    void EditPixelOffsetExit();

    // After a successful open: the whole image as the area, and the
    // pixel-representation check boxes from the image's tags, with warnings.
    void SetDefaultsFromTags();

protected:
    // A DICOM file dropped anywhere on the window is opened as "Open DICOM
    // File" would open it. Drags are refused while a run goes on.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void FocusChanged(QWidget* old, QWidget* now);

private:
    void CreateControls();
    // The body of ButtonCalculateClick, run with calculating_ set.
    void Calculate();
    void SetPagesEnabled(bool enabled);
    // The title and the status line from the image and output file names,
    // after statusNote_.
    void ShowFileNames();
    // Runs work on a thread of its own while the Calculating notice shows its
    // progress and offers Cancel; the window repaints meanwhile. Returns
    // false when the run was cancelled; rethrows what work threw.
    bool RunInBackground(RunProgress& progress, const std::function<void()>& work);
    // RunInBackground for a page's long action (the PDF report) as a run:
    // the notice shown, nothing opened meanwhile.
    bool RunWithNotice(RunProgress& progress, const std::function<void()>& work);
    // Steps 2.1 to 2.5 of the open flow for a chosen path: the dialog, a
    // drop and the recent files all open through here. A successful open
    // lists the file first among the recent files and remembers its folder
    // for the open dialog; a failed one takes it off the list. Throws what
    // the reader throws.
    void OpenImage(const QString& path);
    // OpenImage from the event loop, with the error box on failure. Does
    // nothing while a run goes on; one asked for before a run began and due
    // while it goes on is opened when the run has finished.
    void OpenLater(const QString& path);
    // Where the output dialog starts: a report name for the current image in
    // the folder of the last output file, else next to the image; without an
    // image the folder of the last output file or of the last image.
    QString OutputDialogStart() const;
    void UpdateRecentFiles();
    // Runs the check of one settings field. On failure: the message, the
    // field emptied, the focus back in it; returns false.
    bool ExitCheck(QLineEdit* edit);
    void RefocusField(QLineEdit* edit);
    void StopSwallowingClick();
    // Runs a handler; any exception it raises is shown in the error box and
    // the program goes on.
    template <class Handler> void Guarded(Handler&& handler);

    AnalysisSettings settings_;
    std::unique_ptr<TDicomBeeld> image_;
    TFormCalculate* formCalculate_ = nullptr;
    TAboutBox* aboutBox_ = nullptr;
    bool placed_ = false;
    bool inExitCheck_ = false;
    bool calculating_ = false;
    // The image OpenLater was to open when a run began; opened after it.
    QString deferredOpen_;
    // The progress of the run under way (null between runs), and whether
    // the window was closed during it.
    RunProgress* running_ = nullptr;
    bool closeAfterRun_ = false;
    // The control that took the focus from a field whose check then failed:
    // the mouse press that moved the focus is not delivered to it.
    QPointer<QWidget> swallowClickOn_;

    QPushButton* buttonCalculate_ = nullptr;
    QTabWidget* evenorControl_ = nullptr;
    QWidget* settingsPage_ = nullptr;
    QWidget* dicomTagsPage_ = nullptr;
    // Disabled until a run has finished successfully; a refused or failed run,
    // and any open, leave it as it was.
    TResultsPage* resultsPage_ = nullptr;
    THistoryPage* historyPage_ = nullptr;
    // What a record of the last successful run needs beyond the Results
    // page's copy (which holds its result); kept until the next successful run.
    struct LastRun {
        std::vector<TagEntry> Tags;
        std::string FileSha256;  // empty when the file could not be read again
    };
    std::optional<LastRun> lastRun_;
    QPushButton* buttonPreferences_ = nullptr;
    QPushButton* buttonRecent_ = nullptr;
    QMenu* recentMenu_ = nullptr;
    QPushButton* buttonOpen_ = nullptr;
    QPushButton* buttonExport_ = nullptr;
    QPushButton* buttonAbout_ = nullptr;
    // The status line along the bottom edge, and its whole text (the label
    // shows it elided to its width).
    QLabel* labelStatus_ = nullptr;
    QString statusText_;
    // How the last run ended when that is not said otherwise (cancelled);
    // cleared by the next run, open or output choice.
    QString statusNote_;
    QLineEdit* editBoven_ = nullptr;
    QLineEdit* editLinks_ = nullptr;
    QLineEdit* editRechts_ = nullptr;
    QLineEdit* editOnder_ = nullptr;
    QLineEdit* editDim_ = nullptr;
    QLineEdit* editPixelOffset_ = nullptr;
    QCheckBox* logaritm_ = nullptr;
    QCheckBox* inverse_ = nullptr;
    QLineEdit* editROIDev_ = nullptr;
    QCheckBox* checkBoxDev_ = nullptr;
    QLineEdit* editDevPerc_ = nullptr;
    QPlainTextEdit* memoDicomtags_ = nullptr;
};

}  // namespace evenor
