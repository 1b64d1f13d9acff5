#include "ui/About.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <qdrawutil.h>

#include "cmake/EvenorVersion.h"
#include "ui/EvenorIcon.h"
#include "ui/Fonts.h"
#include "ui/JpegImage.h"
#include "ui/Placement.h"

namespace evenor {

void TBevelPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect outer = rect();
    qDrawShadePanel(&painter, outer, palette(), /*sunken=*/true, 1);
    qDrawShadePanel(&painter, outer.adjusted(1, 1, -1, -1), palette(), /*sunken=*/false, 1);
}

namespace {

QLabel* AddLabel(QWidget* parent, const QString& name, const QString& text, int left, int top)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    label->move(left, top);
    label->adjustSize();
    return label;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* mainWindow)
    // A fixed dialog frame with a title and no buttons in it.
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint), mainWindow_(mainWindow)
{
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("About Evenor"));
    setModal(false);
    setFont(UiFont(8));
    setFixedSize(484, 313);

    auto* panel = new TBevelPanel(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setGeometry(8, 8, 473, 265);

    // The picture, scaled with its proportions kept into the 73 x 73 box and
    // drawn without a background of its own.
    auto* programIcon = new QLabel(panel);
    programIcon->setObjectName(QStringLiteral("ProgramIcon"));
    programIcon->setGeometry(8, 8, 73, 73);
    programIcon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    programIcon->setAutoFillBackground(false);
    programIcon->setAttribute(Qt::WA_TranslucentBackground);
    const QImage picture = DecodeJpeg(EvenorIconJpeg, EvenorIconJpegSize);
    if (!picture.isNull())
        programIcon->setPixmap(
            QPixmap::fromImage(picture.scaled(73, 73, Qt::KeepAspectRatio, Qt::SmoothTransformation)));

    AddLabel(panel, QStringLiteral("ProductName"), QStringLiteral("Product Name: Evenor"), 88, 16);
    AddLabel(panel, QStringLiteral("Version"), QStringLiteral("Version: ") + QLatin1String(EvenorVersion), 88, 40);
    AddLabel(panel, QStringLiteral("Copyright"), QStringLiteral("Evenor project, December 2026"), 8, 80);
    AddLabel(panel, QStringLiteral("Comments"), QStringLiteral("Comments:"), 8, 104);

    auto* memo = new QPlainTextEdit(panel);
    memo->setObjectName(QStringLiteral("Memo1"));
    memo->setGeometry(16, 128, 441, 121);
    memo->setReadOnly(true);
    memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QPalette memoPalette = memo->palette();
    memoPalette.setColor(QPalette::Base, memoPalette.color(QPalette::Window));
    memo->setPalette(memoPalette);
    memo->setPlainText(MemoText());

    auto* okButton = new QPushButton(QStringLiteral("OK"), this);
    okButton->setObjectName(QStringLiteral("OKButton"));
    okButton->setGeometry(199, 284, 75, 25);
    okButton->setDefault(true);
    okButton->setAutoDefault(true);
    connect(okButton, &QPushButton::clicked, this, &TAboutBox::OKButtonClick);
    okButton->setFocus();
}

QString TAboutBox::MemoText()
{
    return QStringLiteral(
        "This program comes WITHOUT ANY WARRANTY, express or implied, including but not limited to the "
        "warranties of merchantability, fitness for a particular purpose and noninfringement. In no event "
        "shall the authors or copyright holders be liable for any claim, damages or other liability arising "
        "from the use of this program.\n"
        "\n"
        "Copyright (c) 2026 The Evenor developers. Evenor is open-source software under the MIT licence: "
        "permission is granted, free of charge, to any person obtaining a copy of this software and its "
        "documentation to deal in the software without restriction, including without limitation the rights "
        "to use, copy, modify, merge, publish, distribute, sublicense and/or sell copies of it, provided that "
        "the copyright notice and this permission notice are included in all copies or substantial portions "
        "of the software.\n"
        "\n"
        "This is a beta version. Check its results before you rely on them.\n"
        "\n"
        "Please report problems through the issue tracker of the Evenor project. Describe the steps that "
        "reproduce the problem and include the error message that was shown.");
}

void TAboutBox::ShowAbout()
{
    if (!placed_ && mainWindow_ != nullptr) {
        // Centred on the main window the first time; afterwards where it was.
        CentreOn(*this, *mainWindow_);
        placed_ = true;
    }
    show();
    raise();
    activateWindow();
}

void TAboutBox::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TAboutBox::OKButtonClick() { hide(); }

}  // namespace evenor
