#include "app/program.h"

#include "app/logfile.h"
#include "app/mainwindow.h"
#include "platform/singleinstance.h"
#include "pop3/form1.h"
#include "smtp/form3.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSystemTrayIcon>

Program::Program(Seams seams, QObject *parent) : QObject(parent), m_seams(std::move(seams)) {
    if (!m_seams.now) m_seams.now = [] { return QDateTime::currentDateTime(); };
}

Program::~Program() {
    if (m_form1) m_form1->Form_Unload();
    if (m_form3) m_form3->Form_Unload();
    delete m_form1;
    delete m_form3;
    delete m_main;
}

bool Program::start() {
    m_state.Log_File = QDir(m_seams.programDir).filePath(QStringLiteral("quil7400.log"));
    m_instance = new SingleInstance(m_seams.programDir, this);
    if (!m_instance->acquire()) return false;
    // Without a notification area a second start is the only way back to
    // the window once Run has hidden it.
    connect(m_instance, &SingleInstance::showRequested, this, [this] {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) showSettings();
    });
    m_main = new MainWindow(*this);
    m_main->Form_Load();
    m_main->show();
    return true;
}

void Program::loadForm1() {
    if (m_form1) return;
    m_form1 = new Form1(*this, this);
    m_form1->Form_Load();
}

void Program::loadForm3() {
    if (m_form3) return;
    m_form3 = new Form3(*this, this);
    m_form3->Form_Load();
}

void Program::unloadForm1() {
    Form1 *form = m_form1;
    if (!form) return;
    m_form1 = nullptr;
    form->Form_Unload();
    form->deleteLater(); // often called from the worker's own handler
}

void Program::unloadForm3() {
    Form3 *form = m_form3;
    if (!form) return;
    m_form3 = nullptr;
    form->Form_Unload();
    form->deleteLater();
}

void Program::setStatus(const QString &text) {
    m_main->Text4->setText(text);
}
QString Program::status() const {
    return m_main->Text4->text();
}
bool Program::forwardingSelected() const {
    return m_main->Option6_0->isChecked();
}
bool Program::popupSelected() const {
    return m_main->Option6_1->isChecked();
}
QString Program::senderText() const {
    return m_main->Text7->text();
}
void Program::setTestEnabled(bool enabled) {
    m_main->Command2->setEnabled(enabled);
}
void Program::setRunEnabled(bool enabled) {
    m_main->Command4->setEnabled(enabled);
}
void Program::showRunButton() {
    m_main->Command4->setVisible(true);
}
bool Program::saveTestedSettings() {
    return m_main->saveTestedSettings();
}

void Program::log(const QString &message) {
    logfile::append(m_state.Log_File, m_seams.now(), message);
}

void Program::logWithoutSeparator(const QString &message) {
    logfile::append(m_state.Log_File, m_seams.now(), message, false);
}

void Program::setPopupLabel(const QString &text) {
    m_popupLabel = text;
}

void Program::showPopup() {}

void Program::loadForm1ForTest() {
    m_testStarting = true;
    loadForm1();
    m_testStarting = false;
}

void Program::DupEntryList() {}
bool Program::linkMonitorRunning() const {
    return false;
}
void Program::testDialUp(const std::function<void()> &copyConfig) {
    copyConfig();
}
void Program::dialStartDialUp() {}
void Program::hangUpForExit() {}
void Program::showAssistant() {}

void Program::showSettings() {
    m_main->Text4->hide();
    m_main->show();
    m_main->raise();
    m_main->activateWindow();
}
