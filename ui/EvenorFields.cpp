#include "ui/Evenor.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

#include <QCheckBox>
#include <QLineEdit>
#include <QTabWidget>
#include <QTimer>

#include "analysis/AnalysisDefaults.h"
#include "analysis/AnalysisRun.h"
#include "analysis/FieldSyntax.h"
#include "dicom/DicomLib.h"
#include "ui/Dialogs.h"
#include "ui/EvenorWindow.h"

// The settings fields: the check of each field as it is left, the focus kept
// in a field that failed, and the defaults taken from the image's tags.

namespace evenor {

namespace {

const QString IntegerExpected = QString::fromLatin1(kIntegerExpected);
const QString NumberExpected = QString::fromLatin1(kNumberExpected);
const QString OffsetExpected = QString::fromLatin1(kOffsetExpected);

}  // namespace

void TFormEvenor::EditBovenExit() { ExitCheck(editBoven_); }
void TFormEvenor::EditLinksExit() { ExitCheck(editLinks_); }
void TFormEvenor::EditRechtsExit() { ExitCheck(editRechts_); }
void TFormEvenor::EditOnderExit() { ExitCheck(editOnder_); }
void TFormEvenor::EditDimExit() { ExitCheck(editDim_); }
void TFormEvenor::EditROIDevExit() { ExitCheck(editROIDev_); }
void TFormEvenor::EditDevPercExit() { ExitCheck(editDevPerc_); }
void TFormEvenor::EditPixelOffsetExit() { ExitCheck(editPixelOffset_); }

bool TFormEvenor::ExitCheck(QLineEdit* edit)
{
    const std::string text = ToStd(edit->text());
    QString message;
    if (edit == editPixelOffset_) {
        std::uint16_t offset = 0;
        if (ParsePixelOffset(text, offset)) {
            settings_.PixelOffset = offset;
            return true;
        }
        message = OffsetExpected;
    } else if (edit == editBoven_ || edit == editLinks_ || edit == editRechts_ || edit == editOnder_) {
        if (IsPositiveInteger(text)) return true;
        message = IntegerExpected;
    } else {
        if (IsNumber(text)) return true;
        message = NumberExpected;
    }

    // While the message is up and the focus is put back, the focus moves
    // through other controls; none of those moves is a user leaving a field.
    inExitCheck_ = true;
    Dialogs::Message(this, message);
    edit->clear();
    RefocusField(edit);
    inExitCheck_ = false;
    return false;
}

void TFormEvenor::RefocusField(QLineEdit* edit)
{
    if (edit->isVisible()) {
        edit->setFocus(Qt::OtherFocusReason);
        return;
    }
    // The focus left the field because its page is being switched away. Once
    // the switch has finished, the page comes back with the focus in the
    // field; the focus moves of that switch leave no field either.
    QTimer::singleShot(0, this, [this, edit] {
        inExitCheck_ = true;
        evenorControl_->setCurrentWidget(settingsPage_);
        edit->setFocus(Qt::OtherFocusReason);
        inExitCheck_ = false;
    });
}

void TFormEvenor::StopSwallowingClick()
{
    if (swallowClickOn_ != nullptr) swallowClickOn_->removeEventFilter(this);
    swallowClickOn_ = nullptr;
}

void TFormEvenor::FocusChanged(QWidget* old, QWidget* now)
{
    if (inExitCheck_) return;
    StopSwallowingClick();
    if (old == nullptr || now == nullptr || now == old) return;
    // Only a move to another control of this window leaves a field: the
    // window losing activation, or a message box or dialog opening, does not.
    if (now->window() != this || old->window() != this) return;

    QLineEdit* const fields[] = {editBoven_, editLinks_,  editRechts_,  editOnder_,
                                 editDim_,   editROIDev_, editDevPerc_, editPixelOffset_};
    auto* edit = qobject_cast<QLineEdit*>(old);
    if (edit == nullptr || std::find(std::begin(fields), std::end(fields), edit) == std::end(fields)) return;

    if (!ExitCheck(edit)) {
        // The mouse press that moved the focus away is still to be delivered
        // to the control: it is dropped, so a click on a button does nothing
        // while a field has just been refused. The next focus move, or the
        // next turn of the event loop, ends the dropping.
        swallowClickOn_ = now;
        now->installEventFilter(this);
        QTimer::singleShot(0, this, [this] { StopSwallowingClick(); });
    }
}

void TFormEvenor::SetDefaultsFromTags()
{
    if (!image_) return;
    // The whole image is the area. An image without rows or columns gives 0.
    const ImageArea area = WholeImageArea(image_->Rows(), image_->Columns());
    editBoven_->setText(QString::number(area.FirstRow));
    editLinks_->setText(QString::number(area.FirstColumn));
    editRechts_->setText(QString::number(area.LastColumn));
    editOnder_->setText(QString::number(area.LastRow));

    // Each check box is set before the warning of its own tag is shown:
    // Logaritm and W1/W2 first, then Inverse and W3/W4.
    const TagDefaults defaults = DefaultsFromTags(image_->TagList());
    const auto isRelationshipWarning = [](const std::string& warning) {
        return warning == kWarningNotLinear || warning == kWarningLinearMissing;
    };
    if (defaults.Logarithmic) logaritm_->setChecked(*defaults.Logarithmic);
    for (const std::string& warning : defaults.Warnings) {
        if (isRelationshipWarning(warning)) Dialogs::Warning(this, QString::fromStdString(warning));
    }
    if (defaults.Inverted) inverse_->setChecked(*defaults.Inverted);
    for (const std::string& warning : defaults.Warnings) {
        if (!isRelationshipWarning(warning)) Dialogs::Warning(this, QString::fromStdString(warning));
    }
}

}  // namespace evenor
