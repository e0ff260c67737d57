#include "app/program.h"

#include "app/icons.h"
#include "app/logfile.h"
#include "app/mainwindow.h"
#include "app/verdisp.h"
#include "dialup/dialup.h"
#include "platform/singleinstance.h"
#include "platform/topmost.h"
#include "platform/trayicon.h"
#include "pop3/form1.h"
#include "smtp/form3.h"
#include "windows/assist.h"
#include "windows/form4.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {
// Unloads a window: the owner forgets it at once, the object goes later,
// since a window often unloads itself from its own handler.
template <typename Window> void unloadWindow(Window *&slot) {
    Window *w = slot;
    if (!w) return;
    slot = nullptr;
    w->hide();
    w->deleteLater();
}
} // namespace

Program::Program(Seams seams, QObject *parent) : QObject(parent), m_seams(std::move(seams)) {
    if (!m_seams.now) m_seams.now = [] { return QDateTime::currentDateTime(); };
    m_dialUp = std::make_unique<DialUp>(*this, m_seams);
}

Program::~Program() {
    if (m_form1) m_form1->Form_Unload();
    if (m_form3) m_form3->Form_Unload();
    delete m_form1;
    delete m_form3;
    delete m_form4;
    delete m_verDisp;
    delete m_assist;
    if (m_trayWindow) unregisterTrayWindow(m_trayWindow);
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
    m_icons = new Icons([this] { return m_main && m_main->isVisible(); }, this);
    m_main = new MainWindow(*this);
    m_main->installEventFilter(this); // its hiding starts the idle wait
    m_idleTimer = new QTimer(this);
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(m_seams.idleReleaseMs);
    connect(m_idleTimer, &QTimer::timeout, this, &Program::releaseIdleMemory);
    m_main->setWindowIcon(m_icons->Image1);
    m_main->Form_Load();
    m_main->show();
    // The tray, the answer to second starts and the dial-up entry list all
    // talk to other processes: they wait for the event loop's first turn, so
    // that the window reaches the screen first.
    QTimer::singleShot(0, this, [this] {
        QGuiApplication::sync(); // the window's map request goes out first
        m_settled = true;
        DupEntryList();
        addTrayIcon();
        m_instance->listen();
    });
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
    idleSoon();
}

void Program::unloadForm3() {
    Form3 *form = m_form3;
    if (!form) return;
    m_form3 = nullptr;
    form->Form_Unload();
    form->deleteLater();
    idleSoon();
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

void Program::addTrayIcon() {
    if (m_trayWindow) return;
    m_trayWindow = registerTrayWindow([this](int code) { m_icons->trayNotification(code); });
    const NOTIFYICONDATAA data =
        makeTrayIconData(m_trayWindow, registerTrayIcon(m_icons->Image1),
                         QStringLiteral("メールチェックソフトクイルモン7400"));
    Shell_NotifyIconA(NIM_ADD, &data); // a desktop without a tray is not an error
    connect(m_icons, &Icons::setClicked, this, &Program::showSettings);
    connect(m_icons, &Icons::verClicked, this, &Program::showVersion);
    connect(m_icons, &Icons::helpClicked, this, [this] { m_main->Command7_Click(); });
    connect(m_icons, &Icons::endClicked, this, &Program::endFromTray);
}

void Program::showVersion() {
    if (!m_verDisp) {
        m_verDisp = new VerDisp();
        connect(m_verDisp, &VerDisp::unloadRequested, this, [this] { unloadWindow(m_verDisp); });
    }
    m_verDisp->show();
    m_verDisp->raise();
}

void Program::endFromTray() {
    NOTIFYICONDATAA data{};
    data.cbSize = sizeof(NOTIFYICONDATAA);
    data.hWnd = m_trayWindow;
    data.uID = 1;
    Shell_NotifyIconA(NIM_DELETE, &data);
    endNow();
}

void Program::loadForm4() {
    if (m_form4) return;
    m_form4 = new Form4();
    connect(m_form4, &Form4::okClicked, this, [this] {
        m_state.New_mail_number2 = 0;
        unloadForm4();
    });
    connect(m_form4, &Form4::closedByFrame, this, &Program::unloadForm4);
}

void Program::unloadForm4() {
    unloadWindow(m_form4);
    idleSoon();
}

bool Program::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_main && event->type() == QEvent::Hide) idleSoon();
    return QObject::eventFilter(watched, event);
}

void Program::idleSoon() {
    if (m_idleTimer && m_seams.releaseIdleMemory) m_idleTimer->start();
}

void Program::releaseIdleMemory() {
    // Only while nothing is under way: the window hidden, no check, no notice.
    if (m_main->isVisible() || m_form1 || m_form3) return;
    m_seams.releaseIdleMemory();
}

void Program::setPopupLabel(const QString &text) {
    loadForm4();
    m_form4->Label1->setText(text);
}

void Program::showPopup() {
    loadForm4();
    m_form4->show();
    SetWindowPos(m_form4); // above other windows, also once shown
}

void Program::loadForm1ForTest() {
    m_testStarting = true;
    loadForm1();
    m_testStarting = false;
}

void Program::DupEntryList() {
    // At start-up the list comes after the window is on screen: asking the
    // network service can take a while, and only the dropped list shows it.
    if (!m_settled) return;
    m_dialUp->DupEntryList(m_main->Combo1);
}

bool Program::linkMonitorRunning() const {
    return m_dialUp->monitorRunning();
}

void Program::dialStartDialUp() {
    m_dialUp->DialStart(m_main->Combo1->currentText());
}

void Program::hangUpForExit() {
    m_dialUp->ExitHangUp();
}

// Test in dial-up mode: the dial goes through the same layer as DialStart,
// but a missing entry and a taken one are told by message box.
void Program::testDialUp(const std::function<void()> &copyConfig) {
    MainWindow &w = *m_main;
    auto box = [this](const QString &text) {
        if (m_seams.messageBox) m_seams.messageBox(m_main, QStringLiteral("設定テスト"), text);
    };
    w.Text4->show();
    if (w.Combo1->currentText().isEmpty()) {
        box(QStringLiteral("接続先を設定してください"));
        w.Text4->hide();
        return;
    }
    setStatus(QStringLiteral("ダイヤルアップ接続中"));
    QCoreApplication::processEvents(); // let the text be drawn
    w.Command4->setEnabled(false);
    m_dialUp->Dup_EntryName = w.Combo1->currentText();
    if (m_dialUp->DupConnectCount() != 0) {
        box(QStringLiteral("既に接続されています"));
        w.Text4->hide();
        return;
    }
    copyConfig();
    w.Log_Message = QStringLiteral("接続テスト開始");
    w.LogWrite();
    if (m_dialUp->TestDial()) m_state.Flag = 1;
}

void Program::showAssistant() {
    if (!m_assist) {
        m_assist = new Assist(m_main, m_main->Text3);
        connect(m_assist, &Assist::unloadRequested, this, [this] { unloadWindow(m_assist); });
    }
    m_assist->show();
    m_main->hide();
}

void Program::showSettings() {
    m_main->Text4->hide();
    m_main->show();
    m_main->raise();
    m_main->activateWindow();
}

void Program::endNow() {
    // Ending at once skips every destructor: release the local socket here,
    // or it stays behind in the temporary folder.
    if (m_instance) m_instance->release();
    m_seams.exitNow();
}
