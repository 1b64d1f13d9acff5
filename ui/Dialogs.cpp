#include "ui/Dialogs.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace evenor {

QString ErrorBoxText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.')) return message + QLatin1Char('.');
    return message;
}

QString DisplayText(QString text) { return text.remove(QChar(0)); }

void Dialogs::Message(QWidget* parent, const QString& text)
{
    Show(parent, MessageKind::Plain, ApplicationTitle, text);
}

void Dialogs::Warning(QWidget* parent, const QString& text)
{
    Show(parent, MessageKind::Warning, QStringLiteral("Warning"), text);
}

void Dialogs::Error(QWidget* parent, const QString& message)
{
    Show(parent, MessageKind::Error, ApplicationTitle, ErrorBoxText(message));
}

QWidget* Dialogs::BoxParent(QWidget* parent)
{
    if (parent == nullptr) return nullptr;
    // A window that stays on top of the others (the Calculating notice) would
    // cover a box of its owner: window managers keep such windows above all
    // ordinary ones, also above a modal box, which could then be neither read
    // nor raised. A window's own boxes are stacked above it, so the box
    // becomes the box of the window on top, centred on it.
    for (QObject* child : parent->window()->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget != nullptr && widget->isWindow() && widget->isVisible() &&
            widget->windowFlags().testFlag(Qt::WindowStaysOnTopHint))
            return widget;
    }
    return parent;
}

void Dialogs::Show(QWidget* parent, MessageKind kind, const QString& caption, const QString& text)
{
    shown_.push_back({kind, caption, text});
    if (answered_) return;
    parent = BoxParent(parent);

    QMessageBox::Icon icon = QMessageBox::NoIcon;
    if (kind == MessageKind::Warning) icon = QMessageBox::Warning;
    if (kind == MessageKind::Error) icon = QMessageBox::Critical;
    QMessageBox box(icon, caption, DisplayText(text), QMessageBox::Ok, parent);
    // Messages quote file names and tag values: never read them as HTML.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

std::optional<QString> Dialogs::OpenDicomFile(QWidget* parent, const QString& folder)
{
    lastStart_ = folder;
    std::optional<QString> answer;
    if (TakeFileAnswer(answer)) return answer;

    // "All Files" comes first and is selected at first. The dialog only
    // accepts an existing file in an existing folder.
    const QString path = QFileDialog::getOpenFileName(parent, QStringLiteral("Open DICOM File"), folder,
                                                      QStringLiteral("All Files (*);;DCM files (*.dcm)"));
    if (path.isEmpty()) return std::nullopt;
    return path;
}

std::optional<QString> Dialogs::SelectOutputFile(QWidget* parent, const QString& proposed)
{
    lastStart_ = proposed;
    std::optional<QString> answer;
    if (TakeFileAnswer(answer)) return answer;

    // No filter and no default extension; the dialog asks before an existing
    // file is overwritten. The folder must exist: a typed path into a folder
    // that does not exist opens the dialog again, as the report could not be
    // written there.
    QString start = proposed;
    for (;;) {
        const QString path = QFileDialog::getSaveFileName(parent, QStringLiteral("Select Output File"), start);
        if (path.isEmpty()) return std::nullopt;
        if (QFileInfo(path).absoluteDir().exists()) return path;
        start = path;
    }
}

std::optional<QString> Dialogs::SavePdfReport(QWidget* parent, const QString& proposed)
{
    lastStart_ = proposed;
    std::optional<QString> answer;
    if (TakeFileAnswer(answer)) return answer;

    QString start = proposed;
    for (;;) {
        QString path = QFileDialog::getSaveFileName(parent, QStringLiteral("Save PDF Report"), start,
                                                    QStringLiteral("PDF documents (*.pdf);;All Files (*)"));
        if (path.isEmpty()) return std::nullopt;
        if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".pdf");
        if (QFileInfo(path).absoluteDir().exists()) return path;
        start = path;
    }
}

void Dialogs::SetMessagesAnswered(bool answered) { answered_ = answered; }

std::vector<ShownMessage> Dialogs::TakeMessages()
{
    std::vector<ShownMessage> messages;
    messages.swap(shown_);
    return messages;
}

void Dialogs::SetNextFileAnswer(std::optional<QString> answer) { fileAnswers_.push_back(std::move(answer)); }

void Dialogs::ClearFileAnswers()
{
    fileAnswers_.clear();
    textAnswers_.clear();
}

std::optional<QString> Dialogs::AskText(QWidget* parent, const QString& label)
{
    if (!textAnswers_.empty()) {
        std::optional<QString> answer = std::move(textAnswers_.front());
        textAnswers_.pop_front();
        return answer;
    }
    bool ok = false;
    const QString text = QInputDialog::getText(BoxParent(parent), ApplicationTitle, label, QLineEdit::Normal, {}, &ok);
    if (!ok) return std::nullopt;
    return text;
}

bool Dialogs::TakeFileAnswer(std::optional<QString>& answer)
{
    if (fileAnswers_.empty()) return false;
    answer = std::move(fileAnswers_.front());
    fileAnswers_.pop_front();
    return true;
}

}  // namespace evenor
