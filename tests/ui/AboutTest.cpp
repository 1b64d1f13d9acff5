// The About box: its contents, one instance, OK, and the end of the program
// while it is shown; the decoding of its picture.
#include <cmath>
#include <memory>
#include <vector>

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "tests/ui/UiTestSupport.h"
#include "ui/EvenorIcon.h"
#include "ui/EvenorWindows.h"
#include "ui/JpegImage.h"

namespace evenor::test {

class AboutTest : public QObject {
    Q_OBJECT

private:
    TemporaryPreferences preferences_;  // before the windows
    std::unique_ptr<EvenorWindows> windows_;
    TAboutBox& About() { return windows_->AboutBox; }
    void PressAbout() { QTest::mouseClick(Child<QPushButton>(windows_->FormEvenor, "ButtonAbout"), Qt::LeftButton); }
    int VisibleAboutBoxes()
    {
        int count = 0;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<TAboutBox*>(w) != nullptr && w->isVisible()) ++count;
        return count;
    }

private slots:
    void init()
    {
        windows_ = std::make_unique<EvenorWindows>();
        windows_->FormEvenor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&windows_->FormEvenor));
    }
    void cleanup() { windows_.reset(); }

    void contents()
    {
        QCOMPARE(About().windowTitle(), QStringLiteral("About Evenor"));
        QCOMPARE(About().minimumSize(), About().maximumSize());
        QVERIFY(!About().isModal());
        const Qt::WindowFlags flags = About().windowFlags();
        QVERIFY(!(flags & (Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint)));
        QCOMPARE(Child<QLabel>(About(), "ProductName")->text(), QStringLiteral("Product Name: Evenor"));
        QCOMPARE(Child<QLabel>(About(), "Version")->text(), QStringLiteral("Version: 0.9.0.1Beta"));
        QCOMPARE(Child<QLabel>(About(), "Comments")->text(), QStringLiteral("Comments:"));
        auto* memo = Child<QPlainTextEdit>(About(), "Memo1");
        QVERIFY(memo->isReadOnly());
        QCOMPARE(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(memo->toPlainText().contains("WITHOUT ANY WARRANTY"));
        QVERIFY(memo->toPlainText().contains("MIT"));
        auto* ok = Child<QPushButton>(About(), "OKButton");
        QVERIFY(ok->isDefault());

        // The picture (218 x 227) scaled into its place with its proportions.
        auto* icon = Child<QLabel>(About(), "ProgramIcon");
        const QSize shown = icon->pixmap().size();
        QVERIFY(shown.width() <= icon->width() && shown.height() <= icon->height());
        QVERIFY(shown.width() == icon->width() || shown.height() == icon->height());
        QVERIFY(std::abs(shown.width() * 227.0 / shown.height() - 218.0) < 218.0 / shown.height() * 2);
        QVERIFY(!icon->autoFillBackground());
    }

    // Every control lies whole inside the one it sits on, and no two
    // controls of one parent cover each other.
    void controlsFitAndDoNotOverlap()
    {
        PressAbout();
        QVERIFY(QTest::qWaitForWindowExposed(&About()));
        const char* names[] = {"Panel1", "ProgramIcon", "ProductName", "Version", "Comments", "Memo1", "OKButton"};
        std::vector<QWidget*> controls;
        for (const char* name : names) controls.push_back(Child<QWidget>(About(), name));
        for (QWidget* c : controls) {
            QVERIFY2(c->isVisible(), qPrintable(c->objectName()));
            QVERIFY2(c->parentWidget()->rect().contains(c->geometry()), qPrintable(c->objectName()));
            for (QWidget* other : controls)
                if (other != c && other->parentWidget() == c->parentWidget())
                    QVERIFY2(!c->geometry().intersects(other->geometry()),
                             qPrintable(c->objectName() + QStringLiteral(" covers ") + other->objectName()));
        }
        // The text of each label is not cut off.
        for (const char* name : {"ProductName", "Version", "Comments"}) {
            auto* label = Child<QLabel>(About(), name);
            QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(), name);
        }
        QTest::mouseClick(Child<QPushButton>(About(), "OKButton"), Qt::LeftButton);
    }

    void oneBoxShownAgainWhereItWas()
    {
        PressAbout();
        QVERIFY(About().isVisible());
        const QPoint centre = windows_->FormEvenor.frameGeometry().center();
        QVERIFY((About().frameGeometry().center() - centre).manhattanLength() <= 2);
        PressAbout();
        QCOMPARE(VisibleAboutBoxes(), 1);
        // Not modal: the main window stays usable.
        QVERIFY(QApplication::activeModalWidget() == nullptr);

        About().move(About().pos() + QPoint(25, 15));
        const QPoint moved = About().pos();
        QTest::mouseClick(Child<QPushButton>(About(), "OKButton"), Qt::LeftButton);
        QVERIFY(!About().isVisible());
        PressAbout();
        QCOMPARE(VisibleAboutBoxes(), 1);
        QCOMPARE(About().pos(), moved);
        QTest::keyClick(&About(), Qt::Key_Escape);  // only OK closes the box
        QVERIFY(About().isVisible());
        QTest::keyClick(&About(), Qt::Key_Return);  // OK is the default button
        QVERIFY(!About().isVisible());
    }

    void closingMainWindowEndsProgram()
    {
        PressAbout();
        QVERIFY(About().isVisible());
        // The event loop ends by itself when the main window is closed; the
        // second timer ends it with an error code otherwise.
        QTimer::singleShot(0, &windows_->FormEvenor, [this] { windows_->FormEvenor.close(); });
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(1); });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!About().isVisible());
    }

    void embeddedPictureDecodes()
    {
        const QImage picture = DecodeJpeg(EvenorIconJpeg, EvenorIconJpegSize);
        QCOMPARE(picture.size(), QSize(218, 227));
        QVERIFY(!picture.isGrayscale());
    }

    void brokenJpegGivesNullImage_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good(reinterpret_cast<const char*>(EvenorIconJpeg), static_cast<int>(EvenorIconJpegSize));
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("not a jpeg") << QByteArray(500, 'x');
        QTest::newRow("header only") << good.left(20);
        QByteArray corrupt = good;
        for (int i = 200; i < 400; ++i) corrupt[i] = static_cast<char>(0xFF);
        QTest::newRow("corrupt tables") << corrupt;
    }

    void brokenJpegGivesNullImage()
    {
        QFETCH(QByteArray, bytes);
        // Either nothing or a picture; never an ended program.
        const QImage image = DecodeJpeg(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                        static_cast<std::size_t>(bytes.size()));
        if (bytes.size() < 100) QVERIFY(image.isNull());
    }
};

}  // namespace evenor::test

QTEST_MAIN(evenor::test::AboutTest)
#include "AboutTest.moc"
