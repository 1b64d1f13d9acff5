#include "ui/ResultsPage.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <functional>
#include <future>
#include <span>
#include <system_error>
#include <unordered_set>
#include <utility>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QPen>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QTextBrowser>
#include <QToolTip>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "analysis/AnalysisRun.h"
#include "analysis/RoiGrid.h"
#include "dicom/DicomLib.h"
#include "history/QaRecord.h"
#include "insight/ImageInfo.h"
#include "insight/ResultExport.h"
#include "qa/TestRun.h"
#include "render/MapRenderer.h"
#include "render/ReportPdf.h"
#include "ui/Dialogs.h"
#include "ui/Evenor.h"
#include "ui/PictureView.h"
#include "ui/Preferences.h"
#include "ui/ResultsText.h"
#include "ui/RunProgress.h"

namespace evenor {

using namespace resultstext;

namespace {

const QString NoResultsYet = QStringLiteral("No results yet: they appear here after a successful Calculate.");

}  // namespace

// Picture beside summary. Until the user moves the handle the picture's side
// is as wide as it is high (the maps are about square), within 35 to 60 % of
// the width (at the reference size 60 %, the summary still about 25
// characters wide); a moved handle sets a share that resizing keeps.
class TResultsSplitter : public QSplitter {
public:
    explicit TResultsSplitter(QWidget* parent) : QSplitter(Qt::Horizontal, parent)
    {
        connect(this, &QSplitter::splitterMoved, this, [this] {
            const QList<int> parts = sizes();
            if (parts.size() == 2 && parts[0] + parts[1] > 0) pictureShare_ = double(parts[0]) / (parts[0] + parts[1]);
        });
    }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QSplitter::resizeEvent(event);
        const QList<int> parts = sizes();
        if (parts.size() != 2) return;
        const int total = parts[0] + parts[1];
        const double share =
            pictureShare_ > 0.0 ? pictureShare_ : std::clamp(double(height()) / std::max(total, 1), 0.35, 0.6);
        const int picture = static_cast<int>(std::lround(total * share));
        setSizes({picture, total - picture});
    }

private:
    double pictureShare_ = 0.0;  // 0: not set by the user
};

TResultsPage::TResultsPage(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Results"));

    auto* pictureLabel = new QLabel(QStringLiteral("Picture:"), this);
    comboBoxPicture_ = new QComboBox(this);
    comboBoxPicture_->setObjectName(QStringLiteral("ComboBoxPicture"));
    comboBoxPicture_->addItems({QStringLiteral("Area map"), QStringLiteral("ROI mean deviation"),
                                QStringLiteral("ROI SNR deviation"), QStringLiteral("ROI noise deviation")});
    comboBoxPicture_->setItemData(0,
                                  QStringLiteral("The evaluated area with the ROI grid; deviating ROIs outlined "
                                                 "in red, deviating pixels marked yellow, clusters of them circled, "
                                                 "line defects and the edge of a rim marked"),
                                  Qt::ToolTipRole);
    comboBoxPicture_->setItemData(1, QStringLiteral("Each ROI's mean relative to the area mean, in %"),
                                  Qt::ToolTipRole);
    comboBoxPicture_->setItemData(2, QStringLiteral("Each ROI's SNR relative to the mean ROI SNR, in %"),
                                  Qt::ToolTipRole);
    comboBoxPicture_->setItemData(3, QStringLiteral("Each ROI's noise (SD) relative to the mean ROI SD, in %"),
                                  Qt::ToolTipRole);
    pictureLabel->setBuddy(comboBoxPicture_);
    checkBoxActualSize_ = new QCheckBox(QStringLiteral("Actual size"), this);
    checkBoxActualSize_->setObjectName(QStringLiteral("CheckBoxActualSize"));
    checkBoxActualSize_->setToolTip(
        QStringLiteral("Show the picture pixel for pixel instead of fitting it to the page"));
    buttonPictureWindow_ = new QPushButton(QStringLiteral("Open in Window"), this);
    buttonPictureWindow_->setObjectName(QStringLiteral("ButtonPictureWindow"));
    buttonPictureWindow_->setToolTip(QStringLiteral("Show the picture in a window of its own, resizable, with zoom"));
    buttonPictureWindow_->setAutoDefault(false);
    buttonPictureWindow_->setEnabled(false);
    buttonSavePdf_ = new QPushButton(QStringLiteral("Save PDF report..."), this);
    buttonSavePdf_->setObjectName(QStringLiteral("ButtonSavePdf"));
    buttonSavePdf_->setToolTip(QStringLiteral("Write the test's report as a PDF document: the detector, the settings, "
                                              "the results and verdicts of the chosen preset, the pictures, the "
                                              "deviating ROIs and pixels, the warnings and lines to sign"));
    buttonSavePdf_->setAutoDefault(false);
    buttonSavePdf_->setEnabled(false);

    scrollPicture_ = new QScrollArea;
    scrollPicture_->setObjectName(QStringLiteral("ScrollPicture"));
    scrollPicture_->setWidgetResizable(true);
    scrollPicture_->setAlignment(Qt::AlignCenter);
    picture_ = new TPictureView(scrollPicture_, QStringLiteral("PictureResults"));
    scrollPicture_->setWidget(picture_);
    labelLegend_ = new QLabel;
    labelLegend_->setObjectName(QStringLiteral("LabelLegend"));
    labelLegend_->setWordWrap(true);
    auto* pictureBox = new QWidget;
    auto* pictureLayout = new QVBoxLayout(pictureBox);
    pictureLayout->setContentsMargins(0, 0, 0, 0);
    pictureLayout->setSpacing(2);
    pictureLayout->addWidget(scrollPicture_, 1);
    pictureLayout->addWidget(labelLegend_);

    auto* summary = new QWidget;
    auto* presetLabel = new QLabel(QStringLiteral("Guideline preset:"), summary);
    comboBoxPreset_ = new QComboBox(summary);
    comboBoxPreset_->setObjectName(QStringLiteral("ComboBoxPreset"));
    const auto presets = AllPresets();
    for (std::size_t i = 0; i < presets.size(); ++i) {
        comboBoxPreset_->addItem(Text(presets[i].Name));
        comboBoxPreset_->setItemData(static_cast<int>(i), Text(presets[i].Description), Qt::ToolTipRole);
    }
    comboBoxPreset_->setCurrentText(Text(DefaultPreset().Name));
    presetLabel->setBuddy(comboBoxPreset_);
    memoResults_ = new QTextBrowser(summary);
    memoResults_->setObjectName(QStringLiteral("MemoResults"));
    memoResults_->setOpenLinks(false);
    memoResults_->setTabChangesFocus(true);
    memoResults_->document()->setDocumentMargin(3);
    memoResults_->setPlainText(NoResultsYet);

    // The label above its list: side by side they would keep the summary
    // too wide for the picture at the reference size.
    auto* presetRow = new QHBoxLayout;
    presetRow->addWidget(comboBoxPreset_);
    presetRow->addStretch(1);
    auto* summaryLayout = new QVBoxLayout(summary);
    summaryLayout->setContentsMargins(0, 0, 0, 0);
    summaryLayout->setSpacing(4);
    summaryLayout->addWidget(presetLabel);
    summaryLayout->addLayout(presetRow);
    summaryLayout->addWidget(memoResults_, 1);
    // Under the summary: the picture's row has no room left at the
    // reference size.
    summaryLayout->addWidget(buttonSavePdf_);

    // The picture beside the summary; the user can move the boundary.
    splitter_ = new TResultsSplitter(this);
    splitter_->setObjectName(QStringLiteral("SplitterResults"));
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(pictureBox);
    splitter_->addWidget(summary);

    auto* pictureRow = new QHBoxLayout;
    pictureRow->addWidget(pictureLabel);
    pictureRow->addWidget(comboBoxPicture_);
    pictureRow->addSpacing(8);
    pictureRow->addWidget(checkBoxActualSize_);
    pictureRow->addStretch(1);
    pictureRow->addWidget(buttonPictureWindow_);
    // The margins of the DICOM Tags page's memo.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(4);
    layout->addLayout(pictureRow);
    layout->addWidget(splitter_, 1);

    setTabOrder(comboBoxPicture_, checkBoxActualSize_);
    setTabOrder(checkBoxActualSize_, buttonPictureWindow_);
    setTabOrder(buttonPictureWindow_, comboBoxPreset_);
    setTabOrder(comboBoxPreset_, memoResults_);
    setTabOrder(memoResults_, buttonSavePdf_);

    connect(comboBoxPicture_, &QComboBox::currentIndexChanged, this, &TResultsPage::ComboBoxPictureChange);
    connect(comboBoxPreset_, &QComboBox::currentIndexChanged, this, &TResultsPage::ComboBoxPresetChange);
    connect(checkBoxActualSize_, &QCheckBox::toggled, this, &TResultsPage::CheckBoxActualSizeClick);
    connect(buttonPictureWindow_, &QPushButton::clicked, this, &TResultsPage::ButtonPictureWindowClick);
    connect(buttonSavePdf_, &QPushButton::clicked, this, &TResultsPage::ButtonSavePdfClick);
    ComboBoxPictureChange();
}

std::vector<QWidget*> TResultsPage::TabChain() const
{
    return {comboBoxPicture_, checkBoxActualSize_, buttonPictureWindow_, comboBoxPreset_, memoResults_, buttonSavePdf_};
}

void TResultsPage::ShowResults(RunResults results)
{
    results_ = std::move(results);
    buttonPictureWindow_->setEnabled(true);
    buttonSavePdf_->setEnabled(true);
    ComboBoxPictureChange();
    ShowSummary();
    memoResults_->verticalScrollBar()->setValue(0);
}

QWidget* TResultsPage::PictureWindow() const { return pictureWindow_; }

QImage TResultsPage::ShownPicture() const { return picture_->Image(); }

void TResultsPage::ComboBoxPictureChange()
{
    const double zoom = checkBoxActualSize_->isChecked() ? 1.0 : 0.0;
    if (!results_) {
        // The summary beside it says why the page is empty.
        picture_->SetPicture(QImage(), {}, {}, QString(), zoom, {});
        labelLegend_->clear();
        return;
    }
    const int index = std::clamp(comboBoxPicture_->currentIndex(), 0, int(ResultPictureCount) - 1);
    const auto kind = static_cast<ResultPictureKind>(index);
    const ResultPicture& picture = ResultPictureOf(*results_, kind);
    const auto describe = [this, kind](QPoint pixel) {
        return results_ ? DescribePicturePoint(*results_, kind, pixel) : QString();
    };
    picture_->SetPicture(picture.Image, picture.Marks, picture.Shapes,
                         QStringLiteral("The picture could not be drawn: ") + picture.Error, zoom, describe);
    labelLegend_->setText(picture.Legend);
    if (pictureWindow_ != nullptr)
        pictureWindow_->Show(comboBoxPicture_->currentText() + QStringLiteral(" of ") + results_->FileName, picture,
                             describe);
}

void TResultsPage::ButtonPictureWindowClick()
{
    if (!results_) return;
    if (pictureWindow_ == nullptr) pictureWindow_ = new TPictureWindow(this);
    ComboBoxPictureChange();
    pictureWindow_->show();
    pictureWindow_->raise();
    pictureWindow_->activateWindow();
}

void TResultsPage::ButtonSavePdfClick()
{
    if (!results_) return;
    // NAME-uniformity.pdf beside the image.
    const QFileInfo image(QString::fromStdString(results_->Settings.DicomFileName));
    const QString proposed = image.dir().filePath(image.completeBaseName() + QStringLiteral("-uniformity.pdf"));
    const std::optional<QString> chosen = Dialogs::SavePdfReport(this, proposed);
    if (!chosen) return;
    try {
        std::optional<ReportBaseline> history;
        if (historySource_) history = historySource_();
        // A large result's report takes seconds: drawn beside the window,
        // which keeps painting, and written only when not cancelled.
        const GuidelinePreset& preset = ChosenPreset();
        const PaperSize paper = Preferences::ReportPaper();
        const RunResults& results = *results_;
        RunProgress progress(1);
        progress.Step(0, "drawing the PDF report");
        const auto work = [&] {
            const QByteArray document = ResultsReportPdf(results, preset, paper, std::move(history));
            progress.Commit();
            SaveReportPdf(document, chosen->toStdString());
        };
        if (backgroundRunner_) {
            if (!backgroundRunner_(progress, work)) return;
        } else {
            work();
        }
    } catch (const std::exception& e) {
        Dialogs::Error(this,
                       QDir::toNativeSeparators(*chosen) + QStringLiteral(": ") + QString::fromStdString(e.what()));
        return;
    }
    Dialogs::Message(this, QStringLiteral("PDF report written to ") + QDir::toNativeSeparators(*chosen));
}

void TResultsPage::ComboBoxPresetChange() { ShowSummary(); }

const GuidelinePreset& TResultsPage::ChosenPreset() const
{
    const auto presets = AllPresets();
    const int index = comboBoxPreset_->currentIndex();
    return index >= 0 && index < static_cast<int>(presets.size()) ? presets[static_cast<std::size_t>(index)]
                                                                  : DefaultPreset();
}

void TResultsPage::CheckBoxActualSizeClick() { ComboBoxPictureChange(); }

void TResultsPage::ShowSummary()
{
    if (!results_) return;
    const GuidelinePreset& preset = ChosenPreset();
    // Keep the reader's place when only the preset changes.
    const int scrolled = memoResults_->verticalScrollBar()->value();
    memoResults_->setHtml(ResultsSummaryHtml(*results_, preset));
    memoResults_->verticalScrollBar()->setValue(scrolled);
}

}  // namespace evenor
