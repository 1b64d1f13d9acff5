#include "ui/Evenor.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTabWidget>
#include <QThread>
#include <QTimer>

#include "analysis/AnalysisDefaults.h"
#include "analysis/AnalysisRun.h"
#include "analysis/FieldSyntax.h"
#include "base/EvenorError.h"
#include "dicom/DicomLib.h"
#include "dicom/SharedFile.h"
#include "history/QaRecord.h"
#include "history/Sha256.h"
#include "qa/ImageJob.h"
#include "qa/TestRun.h"
#include "ui/About.h"
#include "ui/Calculateform.h"
#include "ui/Dialogs.h"
#include "ui/EvenorWindow.h"
#include "ui/Fonts.h"
#include "ui/HistoryPage.h"
#include "ui/Preferences.h"
#include "ui/ResultsPage.h"
#include "ui/RunProgress.h"

namespace evenor {

namespace {

// The reference client size; the anchored controls keep their distances to
// the edges of this size.
constexpr int DesignWidth = 537;
constexpr int DesignHeight = 365;
// The reference client size of a page of the page control.
constexpr int DesignPageWidth = 409;
constexpr int DesignPageHeight = 317;
// The status line below the reference client area, along the whole width.
constexpr int StatusHeight = 20;
// The reference places of the controls that follow the window's edges: the
// page control grows with the window, the action buttons keep their distance
// to the right and bottom edges, About to the right and top.
constexpr QRect PageControlPlace{8, 8, 417, 345};
constexpr QRect CalculatePlace{432, 328, 97, 25};
constexpr QRect RecentPlace{432, 192, 97, 25};
constexpr QRect OpenPlace{432, 232, 97, 25};
constexpr QRect ExportPlace{432, 272, 97, 25};
constexpr QRect AboutPlace{488, 32, 41, 25};
constexpr QRect PreferencesPlace{432, 64, 97, 25};

QPushButton* AddButton(QWidget* parent, const QString& name, const QString& text, QRect geometry)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

QGroupBox* AddGroup(QWidget* parent, const QString& name, const QString& caption, const QString& hint, QRect geometry)
{
    auto* group = new QGroupBox(caption, parent);
    group->setObjectName(name);
    group->setToolTip(hint);
    group->setGeometry(geometry);
    return group;
}

QLineEdit* AddEdit(QWidget* parent, const QString& name, const QString& text, const QString& hint, QRect geometry)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(name);
    edit->setToolTip(hint);
    edit->setGeometry(geometry);
    return edit;
}

QLabel* AddLabel(QWidget* parent, const QString& name, const QString& text, int left, int top)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->setFont(UiFont(10));
    label->move(left, top);
    label->adjustSize();
    return label;
}

QCheckBox* AddCheckBox(QWidget* parent, const QString& name, const QString& text, const QString& hint, QRect geometry)
{
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    box->setToolTip(hint);
    box->setFont(UiFont(10));
    box->setGeometry(geometry);
    return box;
}

}  // namespace

QString DroppedImagePath(const QMimeData& data)
{
    const QList<QUrl> urls = data.urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) return {};
    const QString path = urls.front().toLocalFile();
    return QFileInfo(path).isFile() ? path : QString();
}

QString WindowTitleFor(const QString& imagePath)
{
    if (imagePath.isEmpty()) return ApplicationTitle;
    return QFileInfo(imagePath).fileName() + QStringLiteral(" - ") + ApplicationTitle;
}

QString ProposedReportPath(const QString& imagePath, const QString& outputFolder)
{
    const QFileInfo image(imagePath);
    const QDir folder = outputFolder.isEmpty() ? image.dir() : QDir(outputFolder);
    return folder.filePath(image.completeBaseName() + QStringLiteral("-uniformity.txt"));
}

TFormEvenor::TFormEvenor() : QWidget(nullptr)
{
    setObjectName(QStringLiteral("FormEvenor"));
    setFont(UiFont(8));
    CreateControls();
    // The Settings page's style sheet makes its group boxes and edits fall
    // back to the application font; give them the window's font again (the
    // labels and check boxes set their own 10 pt font).
    for (auto* box : settingsPage_->findChildren<QGroupBox*>()) box->setFont(font());
    for (auto* edit : settingsPage_->findChildren<QLineEdit*>()) edit->setFont(font());
    resize(DesignWidth, DesignHeight + StatusHeight);
    // Below the reference size the anchored controls would overlap (About
    // over the action buttons) and the Settings page would be cut off.
    setMinimumSize(DesignWidth, DesignHeight + StatusHeight);
    SetPagesEnabled(false);
    ShowFileNames();
    // The whole window takes dropped files: no control keeps a drop for
    // itself (the edits and memos would take a file's path as text).
    for (auto* child : findChildren<QWidget*>()) child->setAcceptDrops(false);
    setAcceptDrops(true);
    UpdateRecentFiles();
    connect(qApp, &QApplication::focusChanged, this, &TFormEvenor::FocusChanged);
}

TFormEvenor::~TFormEvenor()
{
    // The controls are deleted after this body, moving the focus as they go;
    // the members those moves would touch are gone by then.
    disconnect(qApp, &QApplication::focusChanged, this, &TFormEvenor::FocusChanged);
    StopSwallowingClick();
}

void TFormEvenor::CreateControls()
{
    buttonCalculate_ = AddButton(this, QStringLiteral("ButtonCalculate"), QStringLiteral("Calculate"), CalculatePlace);
    // Enter on the focused button starts the run, as Space does.
    buttonCalculate_->setAutoDefault(true);

    evenorControl_ = new QTabWidget(this);
    evenorControl_->setObjectName(QStringLiteral("EvenorControl"));
    evenorControl_->setGeometry(PageControlPlace);
    settingsPage_ = new QWidget;
    settingsPage_->setObjectName(QStringLiteral("Settings"));
    dicomTagsPage_ = new QWidget;
    dicomTagsPage_->setObjectName(QStringLiteral("DICOMTags"));
    evenorControl_->addTab(settingsPage_, QStringLiteral("Settings"));
    evenorControl_->addTab(dicomTagsPage_, QStringLiteral("DICOM Tags"));
    resultsPage_ = new TResultsPage;
    resultsPage_->setEnabled(false);
    evenorControl_->addTab(resultsPage_, QStringLiteral("Results"));
    historyPage_ = new THistoryPage;
    historyPage_->SetRecordSource([this]() -> std::optional<QaRecord> {
        const std::optional<RunResults>& shown = resultsPage_->Results();
        if (!lastRun_ || !shown) return std::nullopt;
        if (lastRun_->FileSha256.empty())
            throw EvenorError("The image " + shown->Settings.DicomFileName + " can no longer be read to record it");
        if (!shown->Image.Judged()) throw EvenorError(NotRecordedText(shown->Image));
        return MakeQaRecord(shown->Settings, shown->Result, shown->Insight, resultsPage_->ChosenPreset(),
                            lastRun_->Tags, lastRun_->FileSha256, shown->Warnings);
    });
    evenorControl_->addTab(historyPage_, QStringLiteral("History"));
    resultsPage_->SetHistorySource([this] { return historyPage_->ReportOfLastRecord(); });
    resultsPage_->SetBackgroundRunner(
        [this](RunProgress& progress, const std::function<void()>& work) { return RunWithNotice(progress, work); });
    connect(evenorControl_, &QTabWidget::currentChanged, this, [this] {
        if (evenorControl_->currentWidget() == historyPage_) historyPage_->Refresh();
    });
    evenorControl_->setCurrentWidget(settingsPage_);

    buttonRecent_ = AddButton(this, QStringLiteral("ButtonRecent"), QStringLiteral("Recent Files"), RecentPlace);
    buttonRecent_->setToolTip(QStringLiteral("Open one of the images opened last"));
    recentMenu_ = new QMenu(buttonRecent_);
    recentMenu_->setObjectName(QStringLiteral("MenuRecent"));
    buttonRecent_->setMenu(recentMenu_);
    // Files that have gone since are shown, not offered.
    connect(recentMenu_, &QMenu::aboutToShow, this, [this] {
        for (QAction* action : recentMenu_->actions()) action->setEnabled(QFileInfo::exists(action->data().toString()));
    });
    buttonOpen_ = AddButton(this, QStringLiteral("ButtonOpen"), QStringLiteral("Open DICOM File"), OpenPlace);
    buttonExport_ = AddButton(this, QStringLiteral("ButtonExport"), QStringLiteral("Output File"), ExportPlace);
    buttonAbout_ = AddButton(this, QStringLiteral("ButtonAbout"), QStringLiteral("About"), AboutPlace);
    buttonPreferences_ =
        AddButton(this, QStringLiteral("ButtonPreferences"), QStringLiteral("Preferences"), PreferencesPlace);
    buttonPreferences_->setToolTip(
        QStringLiteral("Where tests are recorded, whether every test is, whether compressed images are decoded "
                       "and the paper of the PDF reports"));

    // The Settings page. The group boxes' frames start halfway down their
    // captions, as the reference layout's child positions expect.
    QWidget* page = settingsPage_;
    page->setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px; padding: 0 2px; }"));
    QGroupBox* area =
        AddGroup(page, QStringLiteral("GroupboxArea"), QStringLiteral("Area"),
                 QStringLiteral("Area that should be evaluated (standard: entire image)"), {16, 23, 137, 97});
    QGroupBox* dim = AddGroup(page, QStringLiteral("GroupBoxDim"), QStringLiteral("Box dimension"),
                              QStringLiteral("Dimension of the analysing box"), {16, 152, 137, 41});
    QGroupBox* offset = AddGroup(page, QStringLiteral("PixelOffset"), QStringLiteral("Pixel Offset"),
                                 QStringLiteral("Pixel has this value without dose"), {16, 216, 137, 41});
    QGroupBox* representation =
        AddGroup(page, QStringLiteral("PixelRepresentation"), QStringLiteral("Pixel Representation"),
                 QStringLiteral("Representation of the pixel value"), {208, 24, 169, 97});
    QGroupBox* roiDeviation =
        AddGroup(page, QStringLiteral("GroupBox1"), QStringLiteral("Deviating ROI's"),
                 QStringLiteral(
                     "A ROI is called deviating if its mean and/or mean/SD deviates more than n % from average value"),
                 {208, 152, 169, 41});
    QGroupBox* pixelDeviation =
        AddGroup(page, QStringLiteral("GroupBoxDev"), QStringLiteral("Deviating Pixels"),
                 QStringLiteral("Detect pixels deviating more than n % from mean in a ROI"), {208, 216, 169, 41});

    // The four area edits stand like the points of a compass.
    editBoven_ = AddEdit(area, QStringLiteral("EditBoven"), QString(), QStringLiteral("First row"), {40, 16, 49, 21});
    editLinks_ = AddEdit(area, QStringLiteral("EditLinks"), QString(), QStringLiteral("First column"), {8, 40, 49, 21});
    editRechts_ =
        AddEdit(area, QStringLiteral("EditRechts"), QString(), QStringLiteral("Last column"), {80, 40, 49, 21});
    editOnder_ = AddEdit(area, QStringLiteral("EditOnder"), QString(), QStringLiteral("Last row"), {40, 64, 49, 21});

    editDim_ = AddEdit(dim, QStringLiteral("EditDim"), QString::fromStdString(DefaultFieldText(DefaultBoxCm)),
                       QStringLiteral("dimension of analysing box (standard: 1 cm)"), {9, 17, 49, 21});
    AddLabel(dim, QStringLiteral("Labelcm"), QStringLiteral("cm"), 71, 17);

    editPixelOffset_ = AddEdit(offset, QStringLiteral("EditPixelOffset"), QString::number(DefaultPixelOffset),
                               QStringLiteral("Pixel values start at this value (standard: 0)"), {8, 16, 49, 21});

    // Never visible: it only carries the logarithmic flag taken from the image.
    logaritm_ =
        AddCheckBox(representation, QStringLiteral("Logaritm"), QStringLiteral("Logaritmic"),
                    QStringLiteral("Pixel values are logaritmic scaled to dose (tag:0028,1040)"), {8, 16, 97, 25});
    logaritm_->setEnabled(false);
    logaritm_->setVisible(false);
    inverse_ =
        AddCheckBox(representation, QStringLiteral("Inverse"), QStringLiteral("Inverted"),
                    QStringLiteral("Pixel values have inversed relation to dose (tag:0028,1041)"), {8, 48, 97, 17});

    editROIDev_ = AddEdit(roiDeviation, QStringLiteral("EditROIDev"),
                          QString::fromStdString(DefaultFieldText(DefaultRoiDeviationPercent)),
                          QStringLiteral("A ROI is called deviating if its mean and/or mean/SD deviates more than n % "
                                         "from average value (standard: 5)"),
                          {24, 16, 33, 21});
    AddLabel(roiDeviation, QStringLiteral("Label1"), QStringLiteral("% From Mean"), 63, 18);

    checkBoxDev_ = AddCheckBox(pixelDeviation, QStringLiteral("CheckBoxDev"), QString(),
                               QStringLiteral("Detect deviating pixels? (Standard: Checked)"), {5, 14, 17, 17});
    checkBoxDev_->setChecked(true);
    editDevPerc_ = AddEdit(pixelDeviation, QStringLiteral("EditDevPerc"),
                           QString::fromStdString(DefaultFieldText(DefaultPixelDeviationPercent)),
                           QStringLiteral("Detect pixels deviating more than n % from mean in a ROI(standard: 20)"),
                           {24, 16, 33, 21});
    AddLabel(pixelDeviation, QStringLiteral("LabelFromMean"), QStringLiteral("% From Mean"), 62, 18);

    // The DICOM Tags page.
    memoDicomtags_ = new QPlainTextEdit(dicomTagsPage_);
    memoDicomtags_->setObjectName(QStringLiteral("MemoDicomtags"));
    memoDicomtags_->setGeometry(8, 4, 393, 309);
    memoDicomtags_->setReadOnly(true);
    memoDicomtags_->setLineWrapMode(QPlainTextEdit::NoWrap);
    memoDicomtags_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memoDicomtags_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    dicomTagsPage_->installEventFilter(this);

    // Tab order: the window's controls, and inside the page control the
    // groups and their controls in their own order.
    std::vector<QWidget*> chain = {buttonCalculate_, evenorControl_, editBoven_,       editLinks_,    editRechts_,
                                   editOnder_,       editDim_,       editPixelOffset_, logaritm_,     inverse_,
                                   editROIDev_,      checkBoxDev_,   editDevPerc_,     memoDicomtags_};
    for (QWidget* control : resultsPage_->TabChain()) chain.push_back(control);
    chain.insert(chain.end(), {buttonRecent_, buttonOpen_, buttonExport_, buttonAbout_});
    for (std::size_t i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);

    connect(buttonCalculate_, &QPushButton::clicked, this, &TFormEvenor::ButtonCalculateClick);
    connect(buttonOpen_, &QPushButton::clicked, this, &TFormEvenor::ButtonOpenClick);
    connect(buttonExport_, &QPushButton::clicked, this, &TFormEvenor::ButtonExportClick);
    connect(buttonAbout_, &QPushButton::clicked, this, &TFormEvenor::ButtonAboutClick);
    connect(buttonPreferences_, &QPushButton::clicked, this, &TFormEvenor::ButtonPreferencesClick);
    connect(checkBoxDev_, &QCheckBox::toggled, this, &TFormEvenor::CheckBoxDevClick);
    auto* openShortcut = new QShortcut(QKeySequence::Open, this);
    openShortcut->setObjectName(QStringLiteral("ShortcutOpen"));
    connect(openShortcut, &QShortcut::activated, this, &TFormEvenor::ButtonOpenClick);

    labelStatus_ = new QLabel(this);
    labelStatus_->setObjectName(QStringLiteral("StatusBar"));
    labelStatus_->setFrameShape(QFrame::StyledPanel);
    labelStatus_->setFrameShadow(QFrame::Sunken);
    labelStatus_->setContentsMargins(4, 0, 4, 0);
    labelStatus_->setGeometry(0, DesignHeight, DesignWidth, StatusHeight);

    buttonCalculate_->setFocus();
}

void TFormEvenor::AttachWindows(TFormCalculate* formCalculate, TAboutBox* aboutBox)
{
    formCalculate_ = formCalculate;
    aboutBox_ = aboutBox;
}

void TFormEvenor::SetPagesEnabled(bool enabled)
{
    // The tabs stay selectable; the controls of a disabled page cannot be used.
    // The Results page follows the runs, not the opens.
    settingsPage_->setEnabled(enabled);
    dicomTagsPage_->setEnabled(enabled);
}

QString TFormEvenor::StatusText() const { return statusText_; }

void TFormEvenor::ShowFileNames()
{
    const QString image = image_ ? QFile::decodeName(QByteArray::fromStdString(settings_.DicomFileName)) : QString();
    setWindowTitle(WindowTitleFor(image));
    const QString output =
        settings_.OutputFileName.empty()
            ? QStringLiteral("none chosen")
            : QDir::toNativeSeparators(QFile::decodeName(QByteArray::fromStdString(settings_.OutputFileName)));
    statusText_ = QStringLiteral("Output file: ") + output;
    if (!statusNote_.isEmpty()) statusText_ = statusNote_ + QStringLiteral("  ") + statusText_;
    // A long path loses its middle; the tooltip has it whole.
    const int room = std::max(0, labelStatus_->contentsRect().width() - 2);
    labelStatus_->setText(DisplayText(labelStatus_->fontMetrics().elidedText(statusText_, Qt::ElideMiddle, room)));
    labelStatus_->setToolTip(DisplayText(statusText_));
}

// ---------------------------------------------------------------------------
// Buttons

void TFormEvenor::ButtonOpenClick()
{
    if (calculating_) return;
    Guarded([this] {
        const std::optional<QString> chosen = Dialogs::OpenDicomFile(this, Preferences::OpenFolder());
        if (!chosen) {
            // A cancelled dialog forgets the file name but keeps the image,
            // the memo and the fields on screen.
            settings_.DicomFileName.clear();
            SetPagesEnabled(true);
            ShowFileNames();
            return;
        }
        Preferences::SetOpenFolder(QFileInfo(*chosen).absolutePath());
        OpenImage(*chosen);
    });
}

void TFormEvenor::OpenImage(const QString& chosen)
{
    const std::string path = QFile::encodeName(chosen).toStdString();
    settings_.DicomFileName = path;
    // The output file was chosen for the image opened before: a report of
    // this one written there would replace that image's report unasked.
    settings_.OutputFileName.clear();
    statusNote_.clear();
    image_.reset();
    // When the reader fails, its message goes to the error box and the
    // window stays without a current image, both pages disabled; the memo,
    // the fields and the chosen path stay as they are.
    SetPagesEnabled(false);
    try {
        image_ = std::make_unique<TDicomBeeld>(DirectoryPart(path), FileNamePart(path),
                                               Preferences::DecodeCompressedImages() ? CompressedImages::Decode
                                                                                     : CompressedImages::Refuse);
    } catch (...) {
        // A listed image that no longer opens is not offered again.
        Preferences::RemoveRecentFile(chosen);
        UpdateRecentFiles();
        ShowFileNames();
        throw;
    }
    SetPagesEnabled(true);
    ShowFileNames();
    historyPage_->SetOpenDetector(DetectorFromTags(image_->TagTable()).Key());
    if (evenorControl_->currentWidget() == historyPage_) historyPage_->Refresh();
    Preferences::SetOpenFolder(QFileInfo(chosen).absolutePath());
    Preferences::AddRecentFile(chosen);
    UpdateRecentFiles();
    QStringList lines;
    for (const std::string& line : image_->TagList()) lines.append(QString::fromLatin1(line));
    memoDicomtags_->setPlainText(DisplayText(lines.join(QLatin1Char('\n'))));
    SetDefaultsFromTags();
}

void TFormEvenor::UpdateRecentFiles()
{
    recentMenu_->clear();
    const QStringList files = Preferences::RecentFiles();
    for (int i = 0; i < files.size(); ++i) {
        const QString& file = files[i];
        // "&1 name  (folder)", the folder elided in its middle.
        const QString folder =
            fontMetrics().elidedText(QDir::toNativeSeparators(QFileInfo(file).absolutePath()), Qt::ElideMiddle, 320);
        QString text = QStringLiteral("%1 %2  (%3)").arg(i + 1).arg(QFileInfo(file).fileName(), folder);
        text.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* action = recentMenu_->addAction(QLatin1Char('&') + text);
        action->setData(file);
        action->setToolTip(file);
        connect(action, &QAction::triggered, this, [this, file] { OpenLater(file); });
    }
    buttonRecent_->setEnabled(!files.isEmpty());
}

QString TFormEvenor::OutputDialogStart() const
{
    const QString folder = Preferences::OutputFolder();
    if (image_ && !settings_.DicomFileName.empty()) {
        // A remembered folder that has gone since gives way to the image's.
        return ProposedReportPath(QFile::decodeName(QByteArray::fromStdString(settings_.DicomFileName)),
                                  QFileInfo(folder).isDir() ? folder : QString());
    }
    return folder.isEmpty() ? Preferences::OpenFolder() : folder;
}

void TFormEvenor::ButtonExportClick()
{
    if (calculating_) return;
    Guarded([this] {
        const std::optional<QString> chosen = Dialogs::SelectOutputFile(this, OutputDialogStart());
        settings_.OutputFileName.clear();
        statusNote_.clear();
        ShowFileNames();
        if (!chosen) return;
        const std::string path = QFile::encodeName(*chosen).toStdString();
        // The report would replace the image (the dialog's overwrite question
        // does not tell them apart). The choice is forgotten, as a cancel
        // forgets it, so Calculate asks for an output file rather than
        // writing to an earlier one the user has just chosen to replace.
        if (IsSameFile(path, settings_.DicomFileName)) {
            Dialogs::Message(this, QString::fromUtf8(kOutputIsImage));
            return;
        }
        settings_.OutputFileName = path;
        Preferences::SetOutputFolder(QFileInfo(*chosen).absolutePath());
        ShowFileNames();
    });
}

void TFormEvenor::ButtonAboutClick()
{
    Guarded([this] {
        if (aboutBox_ != nullptr) aboutBox_->ShowAbout();
    });
}

void TFormEvenor::ButtonPreferencesClick()
{
    Guarded([this] {
        if (EditPreferences(this) && evenorControl_->currentWidget() == historyPage_) historyPage_->Refresh();
    });
}

void TFormEvenor::CheckBoxDevClick() { editDevPerc_->setEnabled(checkBoxDev_->isChecked()); }

// ---------------------------------------------------------------------------
// Window

namespace {

// Whether a drag carries an image to open and may be taken as a copy: a
// source that offers only a move would delete its file once the drop is
// taken, and opening the image only reads it.
bool TakesDrop(const QDropEvent& event)
{
    return (event.possibleActions() & Qt::CopyAction) && !DroppedImagePath(*event.mimeData()).isEmpty();
}

}  // namespace

void TFormEvenor::dragEnterEvent(QDragEnterEvent* event)
{
    if (!calculating_ && TakesDrop(*event)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    }
}

void TFormEvenor::dragMoveEvent(QDragMoveEvent* event)
{
    if (!calculating_ && TakesDrop(*event)) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void TFormEvenor::dropEvent(QDropEvent* event)
{
    if (calculating_ || !TakesDrop(*event)) {
        event->ignore();
        return;
    }
    const QString path = DroppedImagePath(*event->mimeData());
    // Whatever the source proposed (a file manager proposes a move when the
    // file is dragged with Shift, or by its own default): the file stays.
    event->setDropAction(Qt::CopyAction);
    event->accept();
    activateWindow();
    OpenLater(path);
}

void TFormEvenor::OpenLater(const QString& path)
{
    if (calculating_) return;
    // Once the drop or the menu choice has finished: the drag's source waits
    // for the drop to end, and the menu's actions are replaced by the open.
    QTimer::singleShot(0, this, [this, path] {
        if (calculating_) {
            deferredOpen_ = path;
            return;
        }
        Guarded([this, &path] { OpenImage(path); });
    });
}

bool TFormEvenor::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == dicomTagsPage_ && event->type() == QEvent::Resize) {
        // The memo is anchored to all four sides of its page.
        const QSize page = dicomTagsPage_->size();
        memoDicomtags_->setGeometry(8, 4, std::max(0, 393 + page.width() - DesignPageWidth),
                                    std::max(0, 309 + page.height() - DesignPageHeight));
    }
    if (swallowClickOn_ != nullptr && watched == swallowClickOn_.data()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFormEvenor::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int dx = width() - DesignWidth;
    const int dy = height() - StatusHeight - DesignHeight;
    evenorControl_->setGeometry(PageControlPlace.x(), PageControlPlace.y(), std::max(0, PageControlPlace.width() + dx),
                                std::max(0, PageControlPlace.height() + dy));
    buttonCalculate_->move(CalculatePlace.topLeft() + QPoint(dx, dy));
    buttonRecent_->move(RecentPlace.topLeft() + QPoint(dx, dy));
    buttonOpen_->move(OpenPlace.topLeft() + QPoint(dx, dy));
    buttonExport_->move(ExportPlace.topLeft() + QPoint(dx, dy));
    buttonAbout_->move(AboutPlace.topLeft() + QPoint(dx, 0));
    buttonPreferences_->move(PreferencesPlace.topLeft() + QPoint(dx, 0));
    labelStatus_->setGeometry(0, height() - StatusHeight, width(), StatusHeight);
    ShowFileNames();
}

void TFormEvenor::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (placed_) return;
    placed_ = true;
    // Centred on the screen when first shown.
    if (const QScreen* screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TFormEvenor::closeEvent(QCloseEvent* event)
{
    // During a run: the run is cancelled (or, writing its report already,
    // ends) and the window closes after it.
    if (calculating_) {
        if (running_ != nullptr) running_->RequestCancel();
        closeAfterRun_ = true;
        event->ignore();
        return;
    }
    // Closing the main window ends the program, also while the About box or
    // the picture window is shown.
    if (aboutBox_ != nullptr) aboutBox_->hide();
    if (formCalculate_ != nullptr) formCalculate_->hide();
    if (QWidget* picture = resultsPage_->PictureWindow()) picture->hide();
    event->accept();
}

}  // namespace evenor
