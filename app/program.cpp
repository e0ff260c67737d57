#include "app/program.h"

#include "app/icons.h"
#include "app/keyringpasswords.h"
#include "app/mainwindow.h"
#include "app/verdisp.h"
#include "check/logfile.h"
#include "check/mailcheck.h"
#include "check/oauthtokens.h"
#include "check/scheduler.h"
#include "dialup/dialup.h"
#include "platform/atomicfile.h"
#include "platform/autostart.h"
#include "platform/desktopnotifier.h"
#include "platform/singleinstance.h"
#include "platform/systemwatch.h"
#include "windows/assist.h"
#include "windows/connection.h"
#include "windows/form4.h"
#include "windows/topmost.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDir>
#include <QEvent>
#include <QGuiApplication>
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

// Whether saved settings are ones a test can have passed: テスト refuses to
// start without any of these.
bool testable(const SettingsRecord &s) {
    const bool forwarding = s.Trf_Flag != 0;
    return !s.POP_UserID.isEmpty() && !s.POP_Address.isEmpty() &&
           (!s.POP_PassWord.isEmpty() || s.connection.keyring) &&
           (!forwarding || (!s.Smtp_Address.isEmpty() && !s.Trf_IPAddress.isEmpty())) &&
           (s.Dup_Mode == 0 || !s.Dup_Entry.isEmpty()) &&
           settingsfile::unrepresentableField(s).isEmpty();
}
} // namespace

Program::Program(Seams seams, AppSeams appSeams, QObject *parent)
    : QObject(parent), m_seams(std::move(seams)), m_app(std::move(appSeams)) {
    if (!m_seams.now) m_seams.now = [] { return QDateTime::currentDateTime(); };
    m_check = new MailCheck(m_seams, this);
    m_scheduler = new Scheduler(
        *m_check, m_settings, m_seams,
        [this] {
            return Flag == 2 && m_main && !m_main->isVisible() && m_keyring->mayCheck(m_settings);
        },
        this);
    m_keyring = new KeyringPasswords(m_seams.configDir, m_seams.keyringCopies, this);
    connect(m_keyring, &KeyringPasswords::passwordsKnown, this,
            [this](const QString &pop, const QString &smtp) {
                m_settings.POP_PassWord = pop;
                if (!smtp.isEmpty()) m_settings.connection.smtpPassword = smtp;
                if (m_main) m_main->setPasswords(pop, smtp);
            });
    connect(m_keyring, &KeyringPasswords::refreshTokenKnown, this, [this](const QString &token) {
        m_settings.connection.oauthRefreshToken = token;
        if (m_main) m_main->setRefreshToken(token);
    });
    connect(m_keyring, &KeyringPasswords::trouble, this, &Program::keyringTrouble);
    connect(m_keyring, &KeyringPasswords::note, this,
            [this](const QString &text) { log(QString(text).replace(u'\n', u' ')); });

    connect(m_check, &MailCheck::statusChanged, this, [this](const QString &text) {
        if (m_main) m_main->setStatus(text);
    });
    connect(m_check, &MailCheck::logLine, this, &Program::log);
    connect(m_check, &MailCheck::popupText, this, &Program::setPopupText);
    connect(m_check, &MailCheck::popupShown, this, &Program::showPopup);
    connect(m_check, &MailCheck::testPassed, this, &Program::testPassed);
    connect(m_check, &MailCheck::finished, this, &Program::idleSoon);
    connect(m_check, &MailCheck::certificateRefused, this, &Program::certificateRefused);
    // The provider replaced the refresh token: kept at once, as a save would.
    connect(m_check, &MailCheck::refreshTokenChanged, this, [this](const QString &token) {
        SettingsRecord updated = m_settings;
        updated.connection.oauthRefreshToken = token;
        updated.connection.keyringEntries = KeyringPasswords::entries(updated);
        if (m_main) m_main->setRefreshToken(token);
        if (!settingsfile::save(m_seams.configDir, updated))
            log(QStringLiteral("OAuthの新しいトークンを設定ファイルに保存できませんでした"));
        m_keyring->saved(m_settings, updated);
        m_settings = updated;
    });
    connect(m_check, &MailCheck::serverReached, this,
            [this](bool smtp) { certificateRefused(smtp, {}); });
    m_notifier = new DesktopNotifier(m_seams.sessionBus, m_app.startProcess, this);
    connect(m_check, &MailCheck::desktopNotice, m_notifier, &DesktopNotifier::notify);
    connect(m_notifier, &DesktopNotifier::logLine, this, [this](const QString &m) { log(m); });
    // The user went to read the mail: the running total starts again.
    connect(m_notifier, &DesktopNotifier::mailClientOpened, m_check, &MailCheck::popupAcknowledged);
    connect(m_notifier, &DesktopNotifier::mailClientOpened, this, &Program::unreadSeen);
    connect(m_check, &MailCheck::ended, this, &Program::checkEnded);
}

Program::~Program() {
    delete m_check; // its sessions stop before the windows go
    m_check = nullptr;
    delete m_form4;
    delete m_verDisp;
    delete m_assist;
    delete m_main;
}

QString Program::logPath() const {
    return QDir(m_seams.stateDir).filePath(QStringLiteral("quil7400.log"));
}

bool Program::start(bool runAtOnce) {
    m_instance = new SingleInstance(m_seams.stateDir, this);
    if (!m_instance->acquire()) return false;
    // Ours alone now: what a save killed half-way left behind can go.
    for (const QString &file :
         {settingsfile::recordPath(m_seams.configDir), settingsfile::sidePath(m_seams.configDir),
          QDir(m_seams.stateDir).filePath(QStringLiteral("quilmon.dat"))})
        removeLeftovers(file);
    // Without a notification area a second start is the only way back to
    // the window once Run has hidden it.
    connect(m_instance, &SingleInstance::showRequested, this, [this] {
        if (!QSystemTrayIcon::isSystemTrayAvailable()) showSettings();
    });
    m_icons = new Icons([this] { return m_main && m_main->isVisible(); }, this);
    connect(m_icons, &Icons::setClicked, this, &Program::showSettings);
    connect(m_icons, &Icons::setClicked, m_check, &MailCheck::arrivalsSeen);
    // The failure notice's action is 設定変更 too.
    connect(m_notifier, &DesktopNotifier::settingsRequested, this, &Program::showSettings);
    connect(m_notifier, &DesktopNotifier::settingsRequested, m_check, &MailCheck::arrivalsSeen);
    connect(m_icons, &Icons::nowClicked, m_scheduler, &Scheduler::checkNow);
    m_icons->setCheckAllowed([this] { return Flag == 2; });
    connect(m_check, &MailCheck::arrivalsChanged, this, [this](const QStringList &lines) {
        m_arrivals = lines;
        updateTip();
    });
    connect(m_scheduler, &Scheduler::nextCheckMoved, this, &Program::updateTip);
    connect(m_icons, &Icons::verClicked, this, &Program::showVersion);
    connect(m_icons, &Icons::helpClicked, this, &Program::Command7_Click);
    connect(m_icons, &Icons::endClicked, this, &Program::endFromTray);

    m_main = new MainWindow();
    m_main->installEventFilter(this); // its hiding starts the idle wait
    m_keyring->setWindow(m_main);
    connect(m_main, &MainWindow::testRequested, this, &Program::Command2_Click);
    connect(m_main, &MainWindow::runRequested, this, &Program::Command4_Click);
    connect(m_main, &MainWindow::exitRequested, this, &Program::Command3_Click);
    connect(m_main, &MainWindow::helpRequested, this, &Program::Command7_Click);
    connect(m_main, &MainWindow::assistRequested, this, &Program::showAssistant);
    connect(m_main, &MainWindow::connectionRequested, this, &Program::showConnection);
    m_idleTimer = new QTimer(this);
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(m_app.idleReleaseMs);
    connect(m_idleTimer, &QTimer::timeout, this, &Program::releaseIdleMemory);
    m_main->setWindowIcon(m_icons->image1());

    // Fields read before a damaged part stay in the value, unshown.
    const bool read = settingsfile::load(m_seams.configDir, m_settings);
    settingsfile::bindAcceptances(m_settings, m_seams.popPort, m_seams.smtpPort);
    m_main->Form_Load(m_settings, read);
    if (runAtOnce && read && testable(m_settings)) {
        // As 実行 would, on the settings as saved: nothing to write again.
        Flag = 2;
        log(QStringLiteral("実行開始しました。"));
        idleSoon();
    } else {
        m_main->show();
    }
    if (read) m_keyring->load(m_settings);
    // Entries written before the login start took --run: brought up to date.
    const QString self = QCoreApplication::applicationFilePath();
    if (autostart::outdated(self)) autostart::enable(self);
    // The tray, the answer to second starts and the dial-up entry list all
    // talk to other processes: they wait for the event loop's first turn, so
    // that the window reaches the screen first.
    QTimer::singleShot(0, this, [this] {
        QGuiApplication::sync(); // the window's map request goes out first
        DupEntryList();
        m_check->systemWatch()->start();
        m_icons->addTrayIcon();
        m_instance->listen();
    });
    return true;
}

void Program::DupEntryList() {
    m_check->dialUp()->DupEntryList([this](const QStringList &names) {
        if (m_main) m_main->setEntries(names);
    });
}

void Program::log(const QString &message, bool separator) {
    logfile::append(logPath(), m_seams.now(), message, separator);
}

void Program::box(const QString &title, const QString &text) {
    if (m_app.messageBox) m_app.messageBox(m_main, title, text);
}

void Program::keyringTrouble(const QString &text) {
    log(QString(text).replace(u'\n', u' '));
    if (m_main) m_main->setStatus(text.section(u'\n', 0, 0));
    box(QStringLiteral("クイルモン7400"), text);
}

bool Program::passwordsReady(const SettingsRecord &s, const QString &title) {
    if (!s.connection.keyring) return true;
    if (m_keyring->reading()) {
        box(title, QStringLiteral("キーリングからパスワードを読み込んでいます。\n"
                                  "しばらく待ってからもう一度押してください。"));
        return false;
    }
    if (s.POP_PassWord.isEmpty()) {
        box(title, QStringLiteral("メールサーバパスワードが入力されていません。"));
        m_keyring->ask();
        return false;
    }
    return true;
}

void Program::Command2_Click() {
    if (m_testStarting || m_exiting) return;
    const QString title = QStringLiteral("設定テスト");
    // One check at a time: a scheduled check must never end as "the test".
    if (m_check->running()) {
        box(title, QStringLiteral("既に接続されています"));
        m_main->showStatus(false);
        return;
    }
    const SettingsRecord s = m_main->settings();
    if (!passwordsReady(s, title)) return;
    const bool forwarding = s.Trf_Flag != 0;
    if (s.POP_UserID.isEmpty() || s.POP_PassWord.isEmpty() || s.POP_Address.isEmpty() ||
        (forwarding && (s.Smtp_Address.isEmpty() || s.Trf_IPAddress.isEmpty()))) {
        box(title, QStringLiteral("必要事項を全部設定してください"));
        return;
    }
    if (!representable(s, title)) return;
    m_main->beginTest();
    m_tested = s;
    if (s.Dup_Mode != 0) {
        testDialUp(s);
        return;
    }
    m_main->setRunEnabled(false);
    log(QStringLiteral("接続テスト開始"));
    m_main->showStatus(true);
    m_check->startTest(s, [](bool) {});
    Flag = 1;
}

// Test in dial-up mode: the dial goes through the same layer as a scheduled
// check, but a missing entry and a taken one are told by message box.
void Program::testDialUp(const SettingsRecord &s) {
    const QString title = QStringLiteral("設定テスト");
    m_main->showStatus(true);
    if (s.Dup_Entry.isEmpty()) {
        box(title, QStringLiteral("接続先を設定してください"));
        m_main->showStatus(false);
        return;
    }
    m_main->setStatus(QStringLiteral("ダイヤルアップ接続中"));
    m_main->setRunEnabled(false);
    m_testStarting = true;
    m_check->dialUp()->DupConnectCount(s.Dup_Entry, [this, s, title](qint32 count) {
        if (count != 0) {
            m_testStarting = false;
            box(title, QStringLiteral("既に接続されています"));
            m_main->showStatus(false);
            return;
        }
        log(QStringLiteral("接続テスト開始"));
        m_check->startTest(s, [this](bool started) {
            m_testStarting = false;
            if (started) Flag = 1;
        });
    });
}

bool Program::representable(const SettingsRecord &s, const QString &title) {
    // Saved or sent, such a character would become another one: a wrong
    // password sent with no error.
    const QString field = settingsfile::unrepresentableField(s);
    if (field.isEmpty()) return true;
    box(title, QStringLiteral("「%1」に使えない文字が含まれています。\n"
                              "Shift_JIS で表せる文字だけを入力してください。")
                   .arg(field));
    return false;
}

void Program::testPassed(bool testStaysEnabled) {
    // Settings edited while the test ran are not the ones it passed.
    const bool edited = m_main->editedDuringTest();
    if (edited || !SetDataWrite(m_tested)) {
        // Never report a test that could not be saved as a success.
        if (!edited) {
            m_check->settingsNotSaved();
            m_main->setStatus(QStringLiteral("設定ファイルを保存できませんでした"));
        }
        m_main->setRunEnabled(false);
        m_main->setTestEnabled(true);
        return;
    }
    if (!testStaysEnabled) m_main->setTestEnabled(false);
    m_main->setRunEnabled(true);
}

bool Program::SetDataWrite(const SettingsRecord &edited) {
    // A certificate accepted or refused for a server no longer configured
    // is forgotten: it says nothing about the one named now.
    SettingsRecord settings = edited;
    const quint16 plainPorts[] = {m_seams.popPort, m_seams.smtpPort};
    AcceptedCertificate *accepted[] = {&settings.connection.popAccepted,
                                       &settings.connection.smtpAccepted};
    for (int i = 0; i < 2; ++i) {
        const bool smtp = i == 1;
        if (!settingsfile::isServer(settings, smtp, plainPorts[i], accepted[i]->host,
                                    accepted[i]->port))
            *accepted[i] = {};
        if (!m_refused[i].fingerprintHex.isEmpty() &&
            !settingsfile::isServer(settings, smtp, plainPorts[i], m_refused[i].host,
                                    m_refused[i].port))
            certificateRefused(smtp, {});
    }
    settings.connection.keyringEntries = KeyringPasswords::entries(settings);
    if (settingsfile::save(m_seams.configDir, settings)) {
        if (m_main)
            m_main->setAccepted(settings.connection.popAccepted, settings.connection.smtpAccepted);
        m_keyring->saved(m_settings, settings);
        m_settings = settings;
        return true;
    }
    box(QStringLiteral("クイルモン7400"),
        QStringLiteral("設定ファイルを保存できませんでした。\n%1\n"
                       "フォルダの書き込み権限と空き容量を確認してください。")
            .arg(QDir::toNativeSeparators(settingsfile::recordPath(m_seams.configDir))));
    return false;
}

void Program::Command4_Click() {
    if (m_testStarting || m_exiting) return;
    const SettingsRecord s = m_main->settings();
    if (!representable(s, QStringLiteral("クイルモン7400"))) return;
    if (!passwordsReady(s, QStringLiteral("クイルモン7400"))) return;
    const qint16 before = Flag;
    Flag = 2;
    if (!SetDataWrite(s)) {
        Flag = before; // monitoring does not start on settings that were not saved
        return;
    }
    log(QStringLiteral("実行開始しました。"));
    m_main->hide();
}

void Program::Command3_Click() {
    if (m_exiting) return;
    auto end = [this] {
        if (Flag == 1) log(QStringLiteral("終了ボタンが押されたので強制終了しました"));
        endNow();
    };
    // A link this program dialed is released even when the status line was
    // hidden meanwhile (tray menu, a refused test): nothing may stay dialed.
    if (m_main->statusShown() || m_check->dialUp()->monitorRunning()) {
        m_exiting = true;
        m_main->setStatus(QStringLiteral("終了処理中"));
        m_check->hangUpForExit();
        // The service gets its time to take the link down; the window
        // still draws meanwhile.
        QTimer::singleShot(m_seams.hangUpWaitMs, this, end);
        return;
    }
    end();
}

void Program::Command7_Click() {
    if (m_app.openHelp) m_app.openHelp(m_seams.helpFile);
}

void Program::showAssistant() {
    if (!m_assist) {
        m_assist = new Assist();
        connect(m_assist, &Assist::addressChosen, this, [this](const QString &address) {
            m_main->show();
            if (!address.isEmpty()) m_main->setDestination(address);
            unloadWindow(m_assist);
        });
        connect(m_assist, &Assist::cancelled, this, [this] {
            unloadWindow(m_assist);
            m_main->show();
        });
    }
    m_assist->show();
    m_main->hide();
}

void Program::showConnection() {
    if (!m_connection) {
        // Modal over the settings window, whose copy it edits.
        m_connection = new ConnectionDialog(m_main->settings().connection, m_app.messageBox, m_main,
                                            m_app.question);
        m_connection->setOAuth(
            m_seams.oauthProviders.isEmpty() ? oauth::builtinProviders() : m_seams.oauthProviders,
            [this](const ConnectionSettings &c, QObject *context,
                   ConnectionDialog::SignInDone done) {
                auto *signIn = new OAuthSignIn(
                    m_seams, c, m_main ? m_main->settings().POP_UserID : QString(),
                    [this](const QString &url) {
                        return m_app.startProcess &&
                               m_app.startProcess(QStringLiteral("xdg-open"), {url});
                    },
                    context);
                connect(signIn, &OAuthSignIn::done, context,
                        [signIn, done](bool ok, const QString &token, const QString &message) {
                            signIn->deleteLater();
                            done(ok, token, message);
                        });
                signIn->start();
            });
        offerDesktopAccounts(m_connection);
        const bool autostartOn = autostart::enabled(QCoreApplication::applicationFilePath());
        m_connection->setAutostart(autostartOn);
        for (int i = 0; i < 2; ++i)
            if (!m_refused[i].fingerprintHex.isEmpty())
                m_connection->setRefused(i == 1, m_refused[i]);
        connect(m_connection, &ConnectionDialog::serversChosen, m_main, &MainWindow::setServers);
        connect(m_connection, &ConnectionDialog::settingsAccepted, this,
                [this, autostartOn](const ConnectionSettings &c) {
                    const bool wanted = m_connection->autostart();
                    unloadWindow(m_connection);
                    m_main->setConnection(c);
                    // Start at login is the desktop's setting, not ours: it
                    // changes at once, with no test.
                    const QString program = QCoreApplication::applicationFilePath();
                    if ((wanted != autostartOn || (wanted && autostart::outdated(program))) &&
                        !(wanted ? autostart::enable(program) : autostart::disable()))
                        box(QStringLiteral("接続設定"),
                            QStringLiteral("ログイン時の起動を設定できませんでした。\n%1")
                                .arg(QDir::toNativeSeparators(autostart::entryPath())));
                });
        connect(m_connection, &ConnectionDialog::cancelled, this,
                [this] { unloadWindow(m_connection); });
    }
    m_connection->open();
    m_connection->raise();
}

void Program::offerDesktopAccounts(ConnectionDialog *dialog) {
    // Asked without starting anything: GNOME Online Accounts running, or
    // started by the bus on demand.
    if (!m_seams.sessionBus) return;
    QDBusConnection bus = m_seams.sessionBus();
    const QString name = QStringLiteral("org.gnome.OnlineAccounts");
    for (const char *method : {"NameHasOwner", "ListActivatableNames"}) {
        QDBusMessage m = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QLatin1String(method));
        if (qstrcmp(method, "NameHasOwner") == 0) m << name;
        auto *w = new QDBusPendingCallWatcher(bus.asyncCall(m), dialog);
        connect(w, &QDBusPendingCallWatcher::finished, dialog,
                [dialog, name](QDBusPendingCallWatcher *w) {
                    w->deleteLater();
                    const QDBusMessage r = w->reply();
                    if (r.arguments().isEmpty()) return;
                    const QVariant v = r.arguments().first();
                    if (v.toBool() || v.toStringList().contains(name))
                        dialog->setDesktopAccounts(true);
                });
    }
}

void Program::certificateRefused(bool smtp, const RefusedCertificate &certificate) {
    m_refused[smtp ? 1 : 0] = certificate;
    if (m_connection) m_connection->setRefused(smtp, certificate);
}

void Program::updateTip() {
    if (!m_icons) return;
    QStringList lines;
    if (!m_lastCheck.isEmpty()) lines += m_lastCheck;
    const QString next = m_scheduler->nextCheckText();
    if (!next.isEmpty()) lines += next;
    m_icons->setTipLines(lines + m_arrivals);
}

void Program::checkEnded(bool test, const QString &failure, int newMail) {
    const QDateTime now = m_seams.now ? m_seams.now() : QDateTime::currentDateTime();
    QString result = failure;
    if (result.isEmpty())
        result = newMail > 0    ? QStringLiteral("新着%1通").arg(newMail)
                 : newMail == 0 ? QStringLiteral("新着なし")
                                : QStringLiteral("メッセージを転送しました");
    m_lastCheck = now.toString(QStringLiteral("H:mm ")) + result;
    // A test's mail was seen in the window it ran from.
    if (!test && newMail > 0) m_unread = int(qMin<qint64>(qint64(m_unread) + newMail, 9999));
    m_failed = !failure.isEmpty();
    if (!m_failed) {
        // Back to work: no word of it, the failure notice goes.
        m_failuresInRow = 0;
        m_failureTold.clear();
        m_notifier->withdrawFailure();
    } else if (!test) {
        // Told once the retry failed too, and again only for another reason.
        ++m_failuresInRow;
        if (m_failuresInRow >= 2 && failure != m_failureTold &&
            m_settings.connection.desktopNotify) {
            m_failureTold = failure;
            m_notifier->notifyFailure(failure);
        }
    }
    if (!m_icons) return;
    m_icons->setMarks(m_unread, m_failed);
    updateTip();
}

void Program::unreadSeen() {
    m_unread = 0;
    if (m_icons) m_icons->setMarks(m_unread, m_failed);
}

void Program::showSettings() {
    unreadSeen();
    m_main->showStatus(false);
    m_main->show();
    m_main->raise();
    m_main->activateWindow();
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
    m_icons->removeTrayIcon();
    endNow();
}

void Program::loadForm4() {
    if (m_form4) return;
    m_form4 = new Form4();
    connect(m_form4, &Form4::okClicked, this, [this] {
        m_check->popupAcknowledged();
        unreadSeen();
        unloadForm4();
    });
    connect(m_form4, &Form4::closedByFrame, this, &Program::unloadForm4);
}

void Program::unloadForm4() {
    unloadWindow(m_form4);
    idleSoon();
}

void Program::setPopupText(const QString &text) {
    loadForm4();
    m_form4->setMessage(text);
}

void Program::showPopup() {
    loadForm4();
    m_form4->show();
    SetWindowPos(m_form4); // above other windows, also once shown
}

bool Program::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_main && event->type() == QEvent::Hide) idleSoon();
    return QObject::eventFilter(watched, event);
}

void Program::idleSoon() {
    if (m_idleTimer && m_app.releaseIdleMemory) m_idleTimer->start();
}

void Program::releaseIdleMemory() {
    // Only while nothing is under way: the window hidden, no session open.
    if (m_main->isVisible() || m_check->pop3Running() || m_check->noticeRunning()) return;
    m_app.releaseIdleMemory();
}

void Program::endNow() {
    // Ending at once skips every destructor: release the local socket here,
    // or it stays behind in the temporary folder.
    if (m_instance) m_instance->release();
    m_app.exitNow();
}
