#pragma once
// Helpers shared by the window tests: finding controls by object name, typing
// into fields, and answering the real message boxes.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include "ui/Dialogs.h"
#include "ui/Preferences.h"

namespace evenor::test {

// The named child of a window; a missing control fails the test (Qt Test
// reports the exception).
template <class T> T* Child(QWidget& window, const char* name)
{
    T* child = window.findChild<T*>(QString::fromLatin1(name));
    if (child == nullptr) throw std::runtime_error(std::string("no control named ") + name);
    return child;
}

inline QString KindName(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Plain:
        return QStringLiteral("plain");
    case MessageKind::Warning:
        return QStringLiteral("warning");
    case MessageKind::Error:
        return QStringLiteral("error");
    }
    return {};
}

// The boxes shown since the last call, as "kind|caption|text".
inline QStringList TakeBoxes()
{
    QStringList boxes;
    for (const ShownMessage& m : Dialogs::TakeMessages())
        boxes << KindName(m.Kind) + QLatin1Char('|') + m.Caption + QLatin1Char('|') + m.Text;
    return boxes;
}

inline QString Plain(const QString& text) { return QStringLiteral("plain|Evenor|") + text; }
inline QString Warning(const QString& text) { return QStringLiteral("warning|Warning|") + text; }
inline QString Error(const QString& text) { return QStringLiteral("error|Evenor|") + text; }

// Replaces the field's text by typing, with the focus in the field.
inline void Type(QLineEdit* edit, const QString& text)
{
    edit->setFocus(Qt::OtherFocusReason);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

// Keeps the window's preferences in a file of its own temporary folder from
// construction on, so that tests never read or change the user's; the QA
// history goes to a database in that folder too. Create one before the
// windows in each test.
class TemporaryPreferences {
public:
    TemporaryPreferences()
    {
        Preferences::UseFile(File());
        Preferences::SetDatabaseLocation(Database());
    }
    QString File() const { return folder_.filePath(QStringLiteral("preferences.ini")); }
    QString Database() const { return folder_.filePath(QStringLiteral("history.sqlite")); }

private:
    QTemporaryDir folder_;
};

// What a real message box showed before the test clicked its OK button.
struct AnsweredBox {
    QString Caption;
    QString Text;
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    int ButtonCount = 0;
    QWidget* Parent = nullptr;           // the box's parent widget
    QWindow* TransientParent = nullptr;  // the window the box belongs to for the window system
};

// While it lives, clicks the OK button of every modal message box that
// opens, from the event loop the box runs, and records what each showed.
class BoxAnswerer {
public:
    BoxAnswerer()
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            Answered.push_back({box->windowTitle(), box->text(), box->icon(), static_cast<int>(box->buttons().size()),
                                box->parentWidget(),
                                box->windowHandle() != nullptr ? box->windowHandle()->transientParent() : nullptr});
            if (Inspect) Inspect(*box);
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        timer_.start();
    }

    std::vector<AnsweredBox> Answered;
    // Called with each box while it is shown, before it is answered.
    std::function<void(QMessageBox&)> Inspect;

private:
    QTimer timer_;
};

}  // namespace evenor::test
