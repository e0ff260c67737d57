#include "windows/form4.h"

#include "windows/topmost.h"
#include "windows/twips.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>

Form4::Form4(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("Form4"));
    // A fixed tool-window frame: caption and close box only, no taskbar button.
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("クイルモン７４００．．．着信のお知らせ！！"));
    // Closing the popup while the settings window is hidden must not end the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedSize(twSize(4890, 1440));

    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(QFont(QStringLiteral("ＭＳ Ｐゴシック"), 12));
    Label1->setGeometry(twRect(480, 240, 4095, 375));

    Command1 = new QPushButton(QStringLiteral("ＯＫ"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(twRect(1800, 960, 1215, 375));
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &Form4::Command1_Click);

    Form_Load();
}

void Form4::Form_Load() {
    // Joins the topmost band before it is ever shown.
    SetWindowPos(this);
    centreOnScreen(this);
}

void Form4::Command1_Click() {
    m_acknowledged = true;
    emit okClicked();
}

void Form4::showEvent(QShowEvent *event) {
    if (!m_centred) {
        m_centred = true;
        centreOnScreen(this);
    }
    QWidget::showEvent(event);
}

void Form4::closeEvent(QCloseEvent *event) {
    // The owner unloads the window; a close after ＯＫ is that unload itself.
    event->accept();
    if (!m_acknowledged) emit closedByFrame();
}

void Form4::setMessage(const QString &text) {
    Label1->setText(text);
}
