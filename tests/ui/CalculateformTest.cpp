// The Calculating notice: its window, its place and its immediate painting.
#include <memory>

#include <QLabel>
#include <QTest>

#include "EvenorWindows.h"
#include "UiTestSupport.h"

using namespace evenor;
using namespace evenor::test;

class CalculateformTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<EvenorWindows> windows_;
    TFormCalculate& Notice() { return windows_->FormCalculate; }

private slots:
    void init()
    {
        windows_ = std::make_unique<EvenorWindows>();
        windows_->FormEvenor.show();
        QVERIFY(QTest::qWaitForWindowExposed(&windows_->FormEvenor));
    }
    void cleanup() { windows_.reset(); }

    void window()
    {
        QVERIFY(!Notice().isVisible());
        QCOMPARE(Notice().windowTitle(), QStringLiteral("Calculating"));
        QCOMPARE(Notice().size(), QSize(256, 49));
        QCOMPARE(Notice().minimumSize(), Notice().maximumSize());
        const Qt::WindowFlags flags = Notice().windowFlags();
        QVERIFY(flags & Qt::WindowStaysOnTopHint);
        QVERIFY(flags & Qt::CustomizeWindowHint);
        QVERIFY(!(flags & (Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint | Qt::WindowMinMaxButtonsHint)));
        auto* label = Child<QLabel>(Notice(), "CalculateTekst");
        QCOMPARE(label->text(), QStringLiteral("Calculating, this may take a while........"));
        QCOMPARE(label->pos(), QPoint(8, 16));
        QVERIFY(label->geometry().right() < 256);  // the whole text is inside the window
        QVERIFY(label->sizeHint().width() <= label->width());
    }

    // Painted before ShowNotice returns: the analysis that follows handles
    // no events.
    void paintedAtOnce()
    {
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* event) override
            {
                if (event->type() == QEvent::Paint) ++paints;
                return false;
            }
        } counter;
        Child<QLabel>(Notice(), "CalculateTekst")->installEventFilter(&counter);
        Notice().ShowNotice();
        QVERIFY(Notice().isVisible());
        QVERIFY(counter.paints > 0);
        Notice().HideNotice();
        QVERIFY(!Notice().isVisible());
    }

    // Centred on the main window the first time, later where it was.
    void placement()
    {
        windows_->FormEvenor.move(100, 80);
        Notice().ShowNotice();
        const QPoint centre = windows_->FormEvenor.frameGeometry().center();
        QVERIFY((Notice().frameGeometry().center() - centre).manhattanLength() <= 2);
        Notice().move(Notice().pos() + QPoint(30, 20));
        const QPoint moved = Notice().pos();
        Notice().HideNotice();
        windows_->FormEvenor.move(300, 200);
        Notice().ShowNotice();
        QCOMPARE(Notice().pos(), moved);
        Notice().HideNotice();
    }
};

QTEST_MAIN(CalculateformTest)
#include "CalculateformTest.moc"
