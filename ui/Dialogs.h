#pragma once
// The program's modal boxes and file dialogs, in one place.
//
// Every message box and file dialog of the windows goes through this class so
// that tests can answer them without a person: a test can have message boxes
// recorded instead of shown, and queue the answers of the next file dialogs.
// Outside tests nothing is queued and every box is shown for real.
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include <QString>

class QWidget;

namespace evenor {

// The application title: the caption of the plain message boxes and of the
// error box.
inline const QString ApplicationTitle = QStringLiteral("Evenor");

enum class MessageKind { Plain, Warning, Error };

struct ShownMessage {
    MessageKind Kind;
    QString Caption;
    QString Text;
};

// The error box's text: the message, with a full stop appended when its last
// character sorts after "." in character-code order.
QString ErrorBoxText(const QString& message);

// Text as the windows show it: without NUL characters, which pad DICOM values
// to an even length and would be drawn as boxes. Only the display changes;
// the tag list, the messages as recorded and the report keep them.
QString DisplayText(QString text);

class Dialogs {
public:
    // A plain modal box: caption "Evenor", no icon, one OK button.
    static void Message(QWidget* parent, const QString& text);
    // A warning box: caption "Warning", warning icon, one OK button.
    static void Warning(QWidget* parent, const QString& text);
    // The error box: caption "Evenor", error icon, ErrorBoxText(message).
    static void Error(QWidget* parent, const QString& message);

    // The "Open DICOM File" dialog, starting in folder (empty: the working
    // folder). The chosen full path, or nothing when the user cancels.
    static std::optional<QString> OpenDicomFile(QWidget* parent, const QString& folder);
    // The "Select Output File" dialog, starting with proposed (a folder, or a
    // file name in its folder; empty: the working folder). The chosen full
    // path, or nothing.
    static std::optional<QString> SelectOutputFile(QWidget* parent, const QString& proposed);

    // The "Save PDF Report" dialog, starting with proposed (a file name in
    // its folder). The chosen full path, ".pdf" added when it has no
    // extension, or nothing.
    static std::optional<QString> SavePdfReport(QWidget* parent, const QString& proposed);

    // A modal box asking for one line of text (caption "Evenor"); nothing
    // when the user cancels.
    static std::optional<QString> AskText(QWidget* parent, const QString& label);

    // The window a box asked for with parent is shown over: parent, or the
    // window shown on top of parent's window (the Calculating notice) while
    // that is visible, so that the box is stacked above it.
    static QWidget* BoxParent(QWidget* parent);

    // Test seams. With answered set, boxes are recorded and not shown. Every
    // box is recorded either way; TakeMessages returns and forgets them.
    static void SetMessagesAnswered(bool answered);
    static std::vector<ShownMessage> TakeMessages();
    // Queues the answer of the next file dialog (nothing = cancel). While the
    // queue holds answers, file dialogs take them instead of opening.
    static void SetNextFileAnswer(std::optional<QString> answer);
    static void ClearFileAnswers();
    // Queues the answer of the next text box (nothing = cancel).
    static void SetNextTextAnswer(std::optional<QString> answer) { textAnswers_.push_back(std::move(answer)); }
    // Where the last file dialog started (its folder or proposed path), also
    // when it took a queued answer.
    static QString LastFileDialogStart() { return lastStart_; }

private:
    static void Show(QWidget* parent, MessageKind kind, const QString& caption, const QString& text);
    static bool TakeFileAnswer(std::optional<QString>& answer);

    static inline bool answered_ = false;
    static inline std::vector<ShownMessage> shown_;
    static inline std::deque<std::optional<QString>> fileAnswers_;
    static inline std::deque<std::optional<QString>> textAnswers_;
    static inline QString lastStart_;
};

}  // namespace evenor
