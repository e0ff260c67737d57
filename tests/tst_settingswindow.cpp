// The settings window as the user drives it: change rules, Test, Run, Help,
// exit and the guards against a second check.
#include "app/icons.h"
#include "app/verdisp.h"
#include "dialup/dialup.h"
#include "platform/codepage.h"
#include "support/autoservers.h"
#include "support/dialup_scripted.h"
#include "support/programfixture.h"
#include "windows/assist.h"
#include "windows/connection.h"
#include "windows/twips.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

namespace {
const QByteArray kStored = "\"127.0.0.1\",\"secret\",\"127.0.0.1\",\"to@example.jp\",\"taro\","
                           "\"\",0,4,0,1,\"0:00\",\"0:00\",\"\"\r\n";
const QByteArray kPopup =
    "\"127.0.0.1\",\"secret\",\"\",\"\",\"taro\",\"\",0,4,0,0,\"0:00\",\"0:00\",\"\"\r\n";

// A mailbox and a mail sink of the test's own, so a settings test can run
// to its end. They outlive the program.
struct Servers {
    AutoPop3Server pop;
    AutoSmtpServer smtp;
};

struct Started : Servers, ProgramFixture {
    explicit Started(const QByteArray &s = kStored, int hangUpWaitMs = 10) : ProgramFixture(&s) {
        seams.popPort = pop.port();
        seams.smtpPort = smtp.port();
        seams.hangUpWaitMs = hangUpWaitMs;
        start();
        w().show();
        w().setTestEnabled(true); // as after any edit
    }
    bool runOn() const { return ui().Command4->isEnabled(); }
    bool testOn() const { return ui().Command2->isEnabled(); }
};
} // namespace

class TestSettingsWindow : public QObject {
    Q_OBJECT
  private slots:
    void editsOfAnyTextBoxDemandANewTest();
    void optionsAndListsThatDoNotNeedATest();
    void connectionAndNoticeRules();
    void senderNameBox();
    void textBoxesDropLineBreaks();
    void testRefusesIncompleteSettings();
    void textsCodePage932CannotHoldAreRefused();
    void lanTestStartsACheck();
    void testWhileACheckRunsChangesNothing();
    void editsDuringATestAreNotSavedAsTested();
    void runSavesLogsAndHides();
    void runSavesTheEntryNameExactly();
    void helpAndCloseBox();
    void exitEndsAfterTheStatusSteps();
    void dialUpTest();
    void trayMenuAndAssistant();
    void connectionDialogRoundTrip();
};

void TestSettingsWindow::editsOfAnyTextBoxDemandANewTest() {
    Started f;
    const MainControls w = f.ui();
    for (QLineEdit *e : {w.Text1, w.Text2, w.Text3, w.Text5, w.Text6, w.Text7}) {
        w.Command4->setEnabled(true);
        w.Command2->setEnabled(false);
        w.Text4->show();
        e->setFocus();
        QTest::keyClick(e, Qt::Key_A);
        QVERIFY2(!f.runOn() && f.testOn(), qPrintable(e->objectName()));
        QVERIFY(w.Text4->isHidden());
        // Set by the program: the same rule.
        w.Command4->setEnabled(true);
        e->setText(QStringLiteral("x"));
        QVERIFY(!f.runOn());
    }
}

void TestSettingsWindow::optionsAndListsThatDoNotNeedATest() {
    Started f;
    const MainControls w = f.ui();
    QVERIFY(f.runOn());
    QTest::mouseClick(w.Option2, Qt::LeftButton);
    QVERIFY(w.Option2->isChecked() && !w.Option5->isChecked());
    QTest::mouseClick(w.Check1, Qt::LeftButton);
    QVERIFY(!w.Combo2->isHidden() && !child<QLabel>(&f.w(), "Label4")->isHidden() &&
            !w.Combo3->isHidden());
    w.Combo2->setCurrentIndex(22);
    w.Combo3->setEditText(QStringLiteral("6:00"));
    QVERIFY(f.runOn());
    QTest::mouseClick(w.Check1, Qt::LeftButton);
    QVERIFY(w.Combo2->isHidden() && w.Combo3->isHidden());
    QVERIFY(f.runOn());

    // Typing into a list box is taken as typed, never completed from the list.
    QTest::mouseClick(w.Check1, Qt::LeftButton);
    f.w().show();
    f.w().activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f.w()));
    w.Combo2->lineEdit()->setFocus();
    w.Combo2->lineEdit()->clear();
    QTest::keyClicks(w.Combo2->lineEdit(), QStringLiteral("1"));
    QCOMPARE(w.Combo2->currentText(), QStringLiteral("1"));
}

void TestSettingsWindow::connectionAndNoticeRules() {
    Started f;
    const MainControls w = f.ui();
    QTest::mouseClick(w.Option8, Qt::LeftButton);
    QVERIFY(w.Option8->isChecked() && !w.Option7->isChecked() && !w.Combo1->isHidden());
    QVERIFY(!f.runOn() && f.testOn());
    w.Command4->setEnabled(true);
    QTest::mouseClick(w.Option7, Qt::LeftButton);
    QVERIFY(w.Combo1->isHidden() && !f.runOn());
    // A click on the already-selected option runs its rule again.
    w.Command4->setEnabled(true);
    QTest::mouseClick(w.Option7, Qt::LeftButton);
    QVERIFY(!f.runOn());

    // Popup keeps Run and Test as they are; forwarding demands a test and
    // shows the sender field whatever Check3 says.
    w.Command4->setEnabled(true);
    w.Command2->setEnabled(false);
    QTest::mouseClick(w.Option6_1, Qt::LeftButton);
    QVERIFY(f.runOn() && !f.testOn());
    for (QWidget *c : {static_cast<QWidget *>(w.Command1), child<QWidget>(&f.w(), "Label3"),
                       static_cast<QWidget *>(w.Text3), child<QWidget>(&f.w(), "Label5"),
                       static_cast<QWidget *>(w.Text5), child<QWidget>(&f.w(), "Label7"),
                       static_cast<QWidget *>(w.Text7)})
        QVERIFY(c->isHidden());
    QVERIFY(!w.Check3->isChecked());
    QTest::mouseClick(w.Option6_0, Qt::LeftButton);
    QVERIFY(!w.Text7->isHidden() && !child<QLabel>(&f.w(), "Label7")->isHidden() &&
            !w.Text5->isHidden());
    QVERIFY(!f.runOn() && f.testOn());
}

void TestSettingsWindow::senderNameBox() {
    Started f;
    const MainControls w = f.ui();
    QTest::mouseClick(w.Check3, Qt::LeftButton);
    QVERIFY(w.Check3->isChecked() && !w.Text7->isHidden());
    QVERIFY(f.testOn());
    w.Text7->setText(QStringLiteral("me@example.jp"));
    w.Command4->setEnabled(true);
    QTest::mouseClick(w.Check3, Qt::LeftButton);
    QVERIFY(w.Text7->isHidden() && child<QLabel>(&f.w(), "Label7")->isHidden());
    QVERIFY(w.Text7->text().isEmpty());
    QVERIFY(!f.runOn()); // emptying it is an edit
}

void TestSettingsWindow::textBoxesDropLineBreaks() {
    Started f;
    const MainControls w = f.ui();
    w.Text2->clear();
    w.Text2->insert(QStringView(u"pa\r\nss\0word", 11).toString());
    QCOMPARE(w.Text2->text(), QStringLiteral("password"));
    w.Text6->setText(QStringLiteral("a\nb"));
    QCOMPARE(w.Text6->text(), QStringLiteral("ab"));
}

void TestSettingsWindow::testRefusesIncompleteSettings() {
    Started f;
    const MainControls w = f.ui();
    const QString missing = QStringLiteral("設定テスト|必要事項を全部設定してください");
    for (QLineEdit *e : {w.Text1, w.Text2, w.Text6}) {
        const QString keep = e->text();
        e->clear();
        f.boxes.clear();
        QTest::mouseClick(w.Command2, Qt::LeftButton);
        QCOMPARE(f.boxes, QStringList{missing});
        QVERIFY(!f.check().pop3Running());
        e->setText(keep);
    }
    w.Text3->clear();
    f.boxes.clear();
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QCOMPARE(f.boxes, QStringList{missing});
    // In popup mode destination and SMTP server are not needed.
    QTest::mouseClick(w.Option6_1, Qt::LeftButton);
    w.Text5->clear();
    f.boxes.clear();
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(f.boxes.isEmpty());
    QVERIFY(f.check().pop3Running());
}

void TestSettingsWindow::textsCodePage932CannotHoldAreRefused() {
    Started f;
    const MainControls w = f.ui();
    w.Text2->setText(QStringLiteral("pässwörd")); // 'ä' and 'ö' are not in code page 932
    QVERIFY(!cp932::representable(w.Text2->text()));
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    w.Command4->setEnabled(true);
    QTest::mouseClick(w.Command4, Qt::LeftButton);
    const QString text =
        QStringLiteral("「メールサーバパスワード」に使えない文字が含まれています。\n"
                       "Shift_JIS で表せる文字だけを入力してください。");
    QCOMPARE(f.boxes, QStringList({QStringLiteral("設定テスト|") + text,
                                   QStringLiteral("クイルモン7400|") + text}));
    QVERIFY(!f.check().running() && f.w().isVisible());
    QTest::qWait(50);
    QCOMPARE(f.pop.sessions, 0);
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), kStored);
    QTest::mouseClick(w.Command3, Qt::LeftButton); // no test under way: nothing to log
    QTRY_COMPARE(f.exits, 1);
    QVERIFY(f.logMessages().isEmpty());
}

void TestSettingsWindow::lanTestStartsACheck() {
    Started f;
    const MainControls w = f.ui();
    w.Text3->setText(QStringLiteral("new@example.jp"));
    w.Text7->setText(QStringLiteral("sender@example.jp"));
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(f.check().pop3Running());
    QVERIFY(!f.runOn());
    QVERIFY(!w.Text4->isHidden());
    QCOMPARE(f.logMessages(), QStringList{QStringLiteral("接続テスト開始")});
    // The test runs on the settings as the window shows them, not as saved.
    QTRY_COMPARE(f.smtp.messages.size(), 1);
    QVERIFY(f.smtp.commands.contains("MAIL FROM:<sender@example.jp>"));
    QVERIFY(f.smtp.commands.contains("RCPT TO:new@example.jp"));
}

void TestSettingsWindow::testWhileACheckRunsChangesNothing() {
    Started f;
    const MainControls w = f.ui();
    f.check().DialStart(f.program->settings()); // a scheduled check in progress
    QVERIFY(f.check().pop3Running());
    w.Text4->show();
    w.Command4->setEnabled(false);
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QCOMPARE(f.boxes, QStringList{QStringLiteral("設定テスト|既に接続されています")});
    QVERIFY(w.Text4->isHidden());
    QTest::mouseClick(w.Command3, Qt::LeftButton); // no test under way: nothing to log
    QCOMPARE(f.exits, 1);
    QVERIFY(f.logMessages().isEmpty());
}

void TestSettingsWindow::editsDuringATestAreNotSavedAsTested() {
    Started f;
    const MainControls w = f.ui();
    // A test left alone while it runs saves what it tested.
    w.Text2->setText(QStringLiteral("tested"));
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QTRY_VERIFY(f.runOn());
    QVERIFY(!f.testOn());
    const QByteArray saved = f.fileBytes(QStringLiteral("quil7400.dat"));
    QVERIFY(saved.startsWith("\"127.0.0.1\",\"tested\","));
    QTRY_VERIFY(!f.check().running());

    // Edited while it runs: the test passes, but nothing is saved.
    w.Command2->setEnabled(true);
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    w.Text2->setText(QStringLiteral("changed"));
    QTRY_COMPARE(f.smtp.messages.size(), 2);
    QTRY_VERIFY(!f.check().running());
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), saved);
    QVERIFY(!f.runOn() && f.testOn());
}

void TestSettingsWindow::runSavesLogsAndHides() {
    ProgramFixture f;
    QVERIFY(f.start());
    const MainControls w = f.ui();
    f.w().show();
    w.Text1->setText(QStringLiteral("pop"));
    w.Command4->setEnabled(true);
    QTest::mouseClick(w.Command4, Qt::LeftButton);
    QVERIFY(!f.w().isVisible());
    QCOMPARE(f.logMessages(), QStringList{QStringLiteral("実行開始しました。")});
    QVERIFY(f.fileBytes(QStringLiteral("quil7400.dat")).startsWith("\"pop\",\"\","));
    QCOMPARE(f.program->settings().POP_Address, QStringLiteral("pop"));
}

void TestSettingsWindow::runSavesTheEntryNameExactly() {
    ScriptedService service;
    service.entryNames = QStringList{QStringLiteral("Büro")};
    const QByteArray dial = "\"p\",\"pw\",\"\",\"\",\"u\",\"\",1,4,0,0,,,\"\"\r\n";
    ProgramFixture f(&dial);
    f.seams.dial = &service;
    QVERIFY(f.start());
    f.ui().Combo1->setCurrentIndex(0);
    QTest::mouseClick(f.ui().Command4, Qt::LeftButton);
    // The record keeps what code page 932 makes of it; the name itself
    // goes beside it.
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")),
             QByteArray("\"p\",\"pw\",\"\",\"\",\"u\",\"\",1,4,0,0,\"\",\"\",\"B\xFC\xFCro\"\r\n"));
    QVERIFY(f.fileBytes(QStringLiteral("quil7400.conf")).contains("\ndialup_entry=Büro\n"));
    QCOMPARE(f.program->settings().Dup_Entry, QStringLiteral("Büro"));
    // The next start shows it again.
    f.program.reset();
    QVERIFY(f.start());
    QCOMPARE(f.ui().Combo1->currentText(), QStringLiteral("Büro"));
    QCOMPARE(f.ui().Combo1->currentIndex(), 0);
}

void TestSettingsWindow::helpAndCloseBox() {
    Started f;
    QTest::mouseClick(f.ui().Command7, Qt::LeftButton);
    QCOMPARE(f.helpOpened, QStringList{f.path(QStringLiteral("quillmon.hlp"))});
    f.w().close();
    QVERIFY(f.w().isVisible());
}

void TestSettingsWindow::exitEndsAfterTheStatusSteps() {
    // The pause for the hang-up is long enough for the test's servers to
    // answer everything.
    Started f(kStored, 500);
    const MainControls w = f.ui();
    QTest::mouseClick(w.Command3, Qt::LeftButton);
    QCOMPARE(f.exits, 1);
    QVERIFY(f.logMessages().isEmpty()); // Flag 0: nothing to log

    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(!w.Text4->isHidden());
    QTest::mouseClick(w.Command3, Qt::LeftButton);
    QCOMPARE(w.Text4->text(), QStringLiteral("終了処理中"));
    QTRY_COMPARE(f.exits, 2);
    // The test that was under way ended with the exit: nothing of it
    // reached the status line, the log, the mail server or the settings.
    QCOMPARE(w.Text4->text(), QStringLiteral("終了処理中"));
    QCOMPARE(f.logMessages(),
             (QStringList{QStringLiteral("接続テスト開始"),
                          QStringLiteral("終了ボタンが押されたので強制終了しました")}));
    QCOMPARE(f.smtp.sessions, 0);
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), kStored);
}

void TestSettingsWindow::dialUpTest() {
    ScriptedService service;
    // Listed and dialled exactly as the service names them, also where
    // code page 932 has no such letter.
    service.entryNames = QStringList{QStringLiteral("会社"), QStringLiteral("Büro")};
    const QByteArray dial = "\"127.0.0.1\",\"pw\",\"\",\"\",\"taro\",\"\",1,4,0,0,,,\"\"\r\n";
    ProgramFixture f(&dial);
    f.seams.dial = &service;
    QVERIFY(f.start());
    const MainControls w = f.ui();
    f.w().show();
    QCOMPARE(w.Combo1->count(), 2);
    QCOMPARE(w.Combo1->itemText(1), QStringLiteral("Büro"));
    QCOMPARE(w.Combo1->currentText(), QString()); // filling kept the stored (empty) text
    w.Command2->setEnabled(true);

    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QCOMPARE(f.boxes, QStringList{QStringLiteral("設定テスト|接続先を設定してください")});
    QVERIFY(w.Text4->isHidden());

    // The entry is already up (by another program): refused, nothing logged.
    w.Combo1->setCurrentIndex(1);
    service.links.append(QStringLiteral("Büro"));
    f.boxes.clear();
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QCOMPARE(f.boxes, QStringList{QStringLiteral("設定テスト|既に接続されています")});
    QVERIFY(w.Text4->isHidden());
    QVERIFY(f.logMessages().isEmpty());
    QVERIFY(service.dials.isEmpty());

    // A refused dial ends the test silently with the dialing text shown.
    service.links.clear();
    service.dialing = DialService::Outcome::Refused;
    f.boxes.clear();
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QVERIFY(f.boxes.isEmpty());
    QCOMPARE(w.Text4->text(), QStringLiteral("ダイヤルアップ接続中"));
    QVERIFY(!w.Text4->isHidden());
    QVERIFY(!w.Command4->isEnabled());
    QCOMPARE(f.logMessages(), QStringList{QStringLiteral("接続テスト開始")});

    // Accepted: the link monitor runs and the test is under way.
    service.dialing = DialService::Outcome::Done;
    service.reply(DialService::LinkStep::OpeningPort);
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QCOMPARE(service.dials.last(), QStringLiteral("Büro"));
    QVERIFY(f.check().dialUp()->monitorRunning());
    // A second test while the link is being built is refused.
    f.boxes.clear();
    QTest::mouseClick(w.Command2, Qt::LeftButton);
    QCOMPARE(f.boxes, QStringList{QStringLiteral("設定テスト|既に接続されています")});
    QTRY_COMPARE(w.Text4->text(), QStringLiteral("ポートオープン中..."));
    // Exit hangs up what was dialed.
    QTest::mouseClick(w.Command3, Qt::LeftButton);
    QCOMPARE(w.Text4->text(), QStringLiteral("終了処理中"));
    QVERIFY(!service.hangUps.isEmpty());
    QTRY_COMPARE(f.exits, 1);
    QCOMPARE(f.logMessages().last(), QStringLiteral("終了ボタンが押されたので強制終了しました"));
    QVERIFY(!f.check().dialUp()->monitorRunning());
}

void TestSettingsWindow::trayMenuAndAssistant() {
    Started f;
    const MainControls w = f.ui();
    MainWindow &window = f.w();
    QSystemTrayIcon *tray = child<QSystemTrayIcon>(f.program->icons(), "trayIcon");
    QVERIFY(tray->isVisible());
    QCOMPARE(tray->toolTip(), QStringLiteral("メールチェックソフトクイルモン7400"));
    QSignalSpy menus(trayMenu(), &QMenu::aboutToShow);
    emit tray->activated(QSystemTrayIcon::Context);
    QCOMPARE(menus.size(), 0);                     // inactive while the settings window is open
    QTest::mouseClick(w.Command4, Qt::LeftButton); // Run hides it
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::Trigger,
                        QSystemTrayIcon::DoubleClick, QSystemTrayIcon::MiddleClick}) {
        emit tray->activated(reason);
        trayMenu()->hide();
    }
    QCOMPARE(menus.size(), 2);

    // 設定変更 brings the window back with the status line hidden.
    w.Text4->show();
    trayEntry("set")->trigger();
    QVERIFY(window.isVisible() && w.Text4->isHidden());
    // バージョン情報 twice: one version window.
    trayEntry("ver")->trigger();
    VerDisp *first = f.program->verDisp();
    trayEntry("ver")->trigger();
    QVERIFY(first && f.program->verDisp() == first && first->isVisible());
    trayEntry("help")->trigger();
    QCOMPARE(f.helpOpened.size(), 1);

    // The carrier button: the assistant replaces the window. Its address
    // goes into Text3 once the window is back, so the change rules see it
    // shown.
    QTest::mouseClick(w.Command1, Qt::LeftButton);
    Assist *a = f.program->assist();
    QVERIFY(a && a->isVisible() && !window.isVisible());
    child<QLineEdit>(a, "Text1")->setText(QStringLiteral("09012345678"));
    w.Command4->setEnabled(true);
    bool shownWhenWritten = false;
    connect(w.Text3, &QLineEdit::textChanged, this, [&] { shownWhenWritten = window.isVisible(); });
    QTest::mouseClick(child<QPushButton>(a, "Command1"), Qt::LeftButton);
    QVERIFY(window.isVisible() && shownWhenWritten);
    QCOMPARE(w.Text3->text(), QStringLiteral("09012345678@docomo.ne.jp"));
    QVERIFY(!w.Command4->isEnabled()); // a new address needs a new test
    QTRY_VERIFY(f.program->assist() == nullptr);
    // Nothing typed, or the close box: Text3 stays, the window comes back.
    for (bool closeBox : {false, true}) {
        QTest::mouseClick(w.Command1, Qt::LeftButton);
        a = f.program->assist();
        QVERIFY(a && !window.isVisible());
        if (closeBox) {
            child<QLineEdit>(a, "Text1")->setText(QStringLiteral("0701111"));
            a->close();
        } else {
            QTest::mouseClick(child<QPushButton>(a, "Command1"), Qt::LeftButton);
        }
        QVERIFY(window.isVisible());
        QCOMPARE(w.Text3->text(), QStringLiteral("09012345678@docomo.ne.jp"));
        QTRY_VERIFY(f.program->assist() == nullptr);
    }

    // 終了 removes the icon, then ends.
    trayEntry("end")->trigger();
    QCOMPARE(f.exits, 1);
    QVERIFY(!tray->isVisible());
}

void TestSettingsWindow::connectionDialogRoundTrip() {
    Started f;
    const MainControls w = f.ui();
    auto *frame2 = child<QGroupBox>(&f.w(), "Frame2");
    auto *button = child<QPushButton>(&f.w(), "Command8");
    QVERIFY(frame2 && button && button->parentWidget() == frame2);
    QCOMPARE(button->text(), QStringLiteral("接続設定..."));
    // Added into free room: the window and the frame keep their size, and
    // the button covers no other control of the frame.
    QCOMPARE(f.w().size(), twSize(6870, 7620));
    QCOMPARE(frame2->geometry(), twRect(240, 3600, 6375, 1815));
    QVERIFY(frame2->rect().contains(button->geometry()));
    for (QWidget *c : frame2->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
        QVERIFY2(c == button || !c->geometry().intersects(button->geometry()),
                 qPrintable(c->objectName()));

    const QString fp = QStringLiteral("0123456789abcdef").repeated(4);
    // Refused by the server the edits below name: 995 with STLS.
    const AcceptedCertificate fromServer{f.w().settings().POP_Address, 995, fp};
    f.program->certificateRefused(false,
                                  {fromServer.host, 995, fp, QStringLiteral("発行者が不明"), {}});
    auto open = [&] {
        QTest::mouseClick(button, Qt::LeftButton);
        ConnectionDialog *d = f.program->connectionDialog();
        return d && d->isVisible() && d->windowTitle() == QStringLiteral("接続設定") ? d : nullptr;
    };
    auto edit = [](ConnectionDialog *d, const char *name) { return child<QLineEdit>(d, name); };
    auto click = [](ConnectionDialog *d, const char *name) {
        QTest::mouseClick(child<QAbstractButton>(d, name), Qt::LeftButton, {}, QPoint(8, 8));
    };

    // キャンセル leaves everything as it was.
    QVERIFY(f.runOn());
    ConnectionDialog *d = open();
    QVERIFY(d);
    click(d, "PopTls");
    edit(d, "PopPort")->setText(QStringLiteral("995"));
    click(d, "Command2");
    QTRY_VERIFY(!f.program->connectionDialog());
    QVERIFY(f.w().settings().connection == ConnectionSettings{});
    QVERIFY(f.runOn());

    // ＯＫ: the settings window's copy carries the edits and wants a new test.
    QVERIFY((d = open()));
    click(d, "PopStartTls");
    edit(d, "PopPort")->setText(QStringLiteral("995"));
    click(d, "SmtpStartTls");
    click(d, "SmtpAuth");
    edit(d, "SmtpUser")->setText(QStringLiteral("taro@example.jp"));
    edit(d, "SmtpPassword")->setText(QStringLiteral("smtp-secret"));
    edit(d, "SmtpFrom")->setText(QStringLiteral("taro@example.jp"));
    QVERIFY(!child<QPushButton>(d, "SmtpTrust")->isEnabled());
    click(d, "PopTrust"); // the refused certificate
    click(d, "DesktopNotify");
    edit(d, "MailCommand")->setText(QStringLiteral("claws-mail --compose"));
    click(d, "Command1");
    QTRY_VERIFY(!f.program->connectionDialog());
    // STLS on 995 was warned of, and taken as the user answered.
    QVERIFY(f.boxes.last().startsWith(QStringLiteral("接続設定|受信（POP3）のポート 995 は")));
    ConnectionSettings want;
    want.popSecurity = ConnectionSettings::Security::StartTls;
    want.popPort = 995;
    want.smtpSecurity = ConnectionSettings::Security::StartTls;
    want.smtpAuth = true;
    want.smtpUser = want.smtpFrom = QStringLiteral("taro@example.jp");
    want.smtpPassword = QStringLiteral("smtp-secret");
    want.popAccepted = fromServer;
    want.desktopNotify = true;
    want.mailCommand = QStringLiteral("claws-mail --compose");
    QVERIFY(f.w().settings().connection == want);
    QVERIFY(!f.runOn() && f.testOn());

    // 実行 saves them beside a record that stays byte for byte.
    w.Command4->setEnabled(true);
    QTest::mouseClick(w.Command4, Qt::LeftButton);
    QCOMPARE(f.fileBytes(QStringLiteral("quil7400.dat")), kStored);
    const QByteArray conf = f.fileBytes(QStringLiteral("quil7400.conf"));
    for (const char *line :
         {"\npop_security=starttls\n", "\npop_port=995\n", "\nsmtp_security=starttls\n",
          "\nsmtp_auth=1\n", "\nsmtp_user=taro@example.jp\n", "\nsmtp_password=smtp-secret\n",
          "\nsmtp_from=taro@example.jp\n", "\npop_fingerprint=0123456789abcdef",
          "\ndesktop_notify=1\n", "\nmail_command=claws-mail --compose\n"})
        QVERIFY2(conf.contains(line), line);
    QVERIFY(conf.contains("\npop_fingerprint_server=" + fromServer.host.toUtf8() + ":995\n"));
    QVERIFY(f.program->settings().connection == want);

    // Shown again as saved; 解除 forgets the accepted certificate.
    f.program->showSettings();
    QVERIFY((d = open()));
    QVERIFY(child<QRadioButton>(d, "PopStartTls")->isChecked());
    QCOMPARE(edit(d, "PopPort")->text(), QStringLiteral("995"));
    QVERIFY(child<QCheckBox>(d, "DesktopNotify")->isChecked());
    QCOMPARE(edit(d, "MailCommand")->text(), QStringLiteral("claws-mail --compose"));
    QVERIFY(!child<QPushButton>(d, "PopTrust")->isEnabled()); // already trusted
    click(d, "PopForget");
    click(d, "Command1");
    QTRY_VERIFY(!f.program->connectionDialog());
    QVERIFY(f.w().settings().connection.popAccepted == AcceptedCertificate{});

    // Trusted again, then the server's name changes: acceptance and refusal
    // are forgotten with the save, and the new server's refusal is offered.
    QVERIFY((d = open()));
    click(d, "PopTrust");
    click(d, "Command1");
    QTRY_VERIFY(!f.program->connectionDialog());
    w.Text1->setText(QStringLiteral("pop2.example.jp"));
    w.Command4->setEnabled(true);
    QTest::mouseClick(w.Command4, Qt::LeftButton);
    QVERIFY(!f.fileBytes(QStringLiteral("quil7400.conf")).contains("pop_fingerprint"));
    f.program->showSettings();
    QVERIFY((d = open()));
    QCOMPARE(child<QLabel>(d, "PopFingerprint")->text(), QStringLiteral("（なし）"));
    QVERIFY(!child<QPushButton>(d, "PopTrust")->isEnabled());
    f.program->certificateRefused(false, {QStringLiteral("pop2.example.jp"), 995, fp, {}, {}});
    QVERIFY(child<QPushButton>(d, "PopTrust")->isEnabled());
    click(d, "Command2");
}

QTEST_MAIN(TestSettingsWindow)
#include "tst_settingswindow.moc"
