#include "app/verdisp.h"

#include "windows/resources.h"
#include "windows/twips.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>

VerDisp::VerDisp(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("VerDisp"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("バージョン"));
    setWindowIcon(programIcon());
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(twSize(4320, 2160));

    Picture1 = new QLabel(this);
    Picture1->setObjectName(QStringLiteral("Picture1"));
    Picture1->setPixmap(versionPicture());
    Picture1->setGeometry(twRect(360, 240, 960, 960));
    Picture1->setAlignment(Qt::AlignCenter);

    QFont big(QStringLiteral("ＭＳ Ｐゴシック"), 14);
    big.setBold(true);
    Label1 = new QLabel(QStringLiteral("クイルモン７４００"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(big);
    Label1->setGeometry(twRect(1560, 360, 2640, 420));

    Label2 = new QLabel(QStringLiteral("Ver1.13"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(QFont(QStringLiteral("ＭＳ Ｐゴシック"), 11));
    Label2->setGeometry(twRect(1560, 840, 2640, 300));

    Command1 = new QPushButton(QStringLiteral("Ｏ　Ｋ"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twRect(1553, 1560, 1215, 375));
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &VerDisp::Command1_Click);

    centreOnScreen(this);
}

void VerDisp::Command1_Click() {
    m_unloading = true;
    emit unloadRequested();
}

void VerDisp::closeEvent(QCloseEvent *event) {
    event->accept();
    if (!m_unloading) {
        m_unloading = true;
        emit unloadRequested();
    }
}
