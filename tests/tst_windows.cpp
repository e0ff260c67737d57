// The small windows: the new-mail popup, the address assistant, the version
// window and the help viewer, driven by objectName as a user would.
#include "app/verdisp.h"
#include "platform/codepage.h"
#include "windows/assist.h"
#include "windows/connection.h"
#include "windows/form4.h"
#include "windows/helpviewer.h"
#include "windows/providers.h"
#include "windows/topmost.h"
#include "windows/twips.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSet>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTimeZone>
#include <QtTest>

namespace {
template <typename T> T *named(const QObject *window, const char *name) {
    return window->findChild<T *>(QString::fromLatin1(name));
}

QRadioButton *option(Assist &a, int n) {
    return a.findChild<QRadioButton *>(QStringLiteral("Option%1").arg(n));
}

// A click on the choice's round button, where a user aims.
void choose(Assist &a, int n) {
    QRadioButton *o = option(a, n);
    QTest::mouseClick(o, Qt::LeftButton, {}, QPoint(8, o->height() / 2));
}

// What the assistant told its owner: the addresses chosen and the cancels.
struct AssistAnswers {
    explicit AssistAnswers(Assist &a)
        : chosen(&a, &Assist::addressChosen), cancelled(&a, &Assist::cancelled) {}
    QStringList addresses() const {
        QStringList out;
        for (const QList<QVariant> &args : chosen)
            out << args.value(0).toString();
        return out;
    }
    QSignalSpy chosen;
    QSignalSpy cancelled;
};
} // namespace

class TstWindows : public QObject {
    Q_OBJECT
  private slots:
    void twips_scaleWithDpi();
    void form4_layoutAndFrame();
    void form4_okAndCloseBox();
    void assist_layout();
    void assist_everyCarrier_data();
    void assist_everyCarrier();
    void assist_suffixesDistinct();
    void assist_okCancelRules();
    void assist_text1DropsLineBreaks();
    void verdisp_contents();
    void help_missingOrBadFile();
    void help_realFileOpensAtContents();
    void help_goesNowhereOutsideItsFolder();
    void windows_closingNeverEndsProgram();
    void connection_layoutAndRefusals();
    void connection_providerPresets();
};

void TstWindows::twips_scaleWithDpi() {
    QCOMPARE(tw(4890, 96), 326);
    QCOMPARE(tw(375, 96), 25);
    QCOMPARE(tw(4890, 144), 489);
    QCOMPARE(tw(255, 120), 21);
    QVERIFY(!preferX11(true, true, true));
    QVERIFY(!preferX11(false, false, true));
    QVERIFY(!preferX11(false, true, false));
    QVERIFY(preferX11(false, true, true));
}

void TstWindows::form4_layoutAndFrame() {
    Form4 f;
    auto *label = named<QLabel>(&f, "Label1");
    auto *ok = named<QPushButton>(&f, "Command1");
    QVERIFY(label && ok);
    QCOMPARE(f.windowTitle(), QStringLiteral("クイルモン７４００．．．着信のお知らせ！！"));
    QCOMPARE(f.size(), QSize(326, 96));
    QCOMPARE(f.minimumSize(), f.maximumSize());
    QCOMPARE(label->geometry(), QRect(32, 16, 273, 25));
    QCOMPARE(label->font().family(), QStringLiteral("ＭＳ Ｐゴシック"));
    QCOMPARE(label->font().pointSize(), 12);
    QVERIFY(label->text().isEmpty());
    QCOMPARE(ok->text(), QStringLiteral("ＯＫ"));
    QCOMPARE(ok->geometry(), QRect(120, 64, 81, 25));
    const Qt::WindowFlags flags = f.windowFlags();
    QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool); // no taskbar button
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(isTopmost(&f)); // already at load, before it is shown

    // Centred, and still topmost and in place once shown.
    f.setMessage(QStringLiteral("5通の新着メールがあります"));
    QCOMPARE(label->text(), QStringLiteral("5通の新着メールがあります"));
    f.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f));
    const QRect screen = f.screen()->availableGeometry();
    QVERIFY(qAbs(f.geometry().center().x() - screen.center().x()) <= 1);
    QVERIFY(qAbs(f.geometry().center().y() - screen.center().y()) <= 1);
    QVERIFY(isTopmost(&f));
    QVERIFY(f.isVisible());
}

void TstWindows::form4_okAndCloseBox() {
    Form4 f;
    QSignalSpy ok(&f, &Form4::okClicked);
    QSignalSpy closed(&f, &Form4::closedByFrame);
    f.show();
    QTest::mouseClick(named<QPushButton>(&f, "Command1"), Qt::LeftButton);
    QCOMPARE(ok.size(), 1);
    QCOMPARE(closed.size(), 0);
    f.close(); // the owner's unload after ＯＫ is no close-box click
    QCOMPARE(closed.size(), 0);

    Form4 g;
    QSignalSpy ok2(&g, &Form4::okClicked);
    QSignalSpy closed2(&g, &Form4::closedByFrame);
    g.show();
    g.close();
    QCOMPARE(closed2.size(), 1);
    QCOMPARE(ok2.size(), 0);
}

void TstWindows::assist_layout() {
    Assist a;
    auto *text1 = named<QLineEdit>(&a, "Text1");
    auto *frame = named<QGroupBox>(&a, "Frame1");
    auto *ok = named<QPushButton>(&a, "Command1");
    auto *cancel = named<QPushButton>(&a, "Command2");
    QVERIFY(text1 && frame && ok && cancel);
    QCOMPARE(a.objectName(), QStringLiteral("アシスト"));
    QCOMPARE(a.windowTitle(), QStringLiteral("メールアドレスアシスト"));
    QCOMPARE(a.size(), QSize(402, 404));
    QCOMPARE(text1->geometry(), QRect(216, 8, 145, 25));
    QCOMPARE(frame->title(), QStringLiteral("キャリア選択"));
    QCOMPARE(frame->geometry(), QRect(16, 48, 369, 313));
    QCOMPARE(ok->text(), QStringLiteral("Ｏ　Ｋ"));
    QCOMPARE(cancel->text(), QStringLiteral("キャンセル"));
    QCOMPARE(ok->geometry(), QRect(40, 368, 81, 25));
    QCOMPARE(cancel->geometry(), QRect(272, 368, 81, 25));

    // Two columns: left at 360 twips, right at 3120; rows 360 apart from 240.
    // A right-hand C-mail choice shares the row of the J-PHONE choice of its region.
    const QHash<int, int> sameRegion{{12, 3}, {13, 4},  {14, 6}, {15, 8},
                                     {16, 9}, {17, 10}, {18, 11}};
    for (int n = 1; n <= 19; ++n) {
        QRadioButton *o = option(a, n);
        QVERIFY2(o, qPrintable(QString::number(n)));
        QCOMPARE(o->parentWidget(), frame);
        QCOMPARE(o->x(), n <= 11 ? 24 : 208);
        if (n <= 11) QCOMPARE(o->y(), 16 + 24 * (n - 1));
        if (sameRegion.contains(n)) QCOMPARE(o->y(), option(a, sameRegion[n])->y());
        QVERIFY(o->geometry().right() < frame->width());
    }
    QCOMPARE(option(a, 19)->y(), 16 + 24 * 11); // 沖縄 has a row of its own
    QCOMPARE(option(a, 3)->text(), QStringLiteral("SkyWaker　J-PHON北海道"));
    QCOMPARE(option(a, 19)->text(), QStringLiteral("Ｃメール　沖縄セルラー"));

    // Opens with Option1 selected and the focus in Text1.
    QVERIFY(option(a, 1)->isChecked());
    a.show();
    QVERIFY(QTest::qWaitForWindowActive(&a));
    QCOMPARE(QApplication::focusWidget(), text1);
}

void TstWindows::assist_everyCarrier_data() {
    QTest::addColumn<int>("choice");
    QTest::addColumn<QString>("address");
    const QString n = QStringLiteral("09012345678");
    const char *domains[] = {
        "@docomo.ne.jp",    "@pdx.ne.jp",       "@jp-d.ne.jp",      ".0@jp-h.ne.jp",
        "@jp-t.ne.jp",      "@jp-r.ne.jp",      "@jp-c.ne.jp",      "@jp-k.ne.jp",
        "@jp-n.ne.jp",      "@jp-s.ne.jp",      "@jp-q.ne.jp",      "@hkd.ezweb.ne.jp",
        "@thk.ezweb.ne.jp", "@hrk.ezweb.ne.jp", "@kns.ezweb.ne.jp", "@cgk.ezweb.ne.jp",
        "@skk.ezweb.ne.jp", "@kys.ezweb.ne.jp", "@okn.ezweb.ne.jp"};
    for (int i = 0; i < 19; ++i)
        QTest::addRow("Option%d", i + 1) << i + 1 << n + QString::fromLatin1(domains[i]);
}

void TstWindows::assist_everyCarrier() {
    QFETCH(int, choice);
    QFETCH(QString, address);
    Assist a;
    AssistAnswers answers(a);
    a.show();
    choose(a, choice);
    QTest::keyClicks(named<QLineEdit>(&a, "Text1"), QStringLiteral("09012345678"));
    QTest::mouseClick(named<QPushButton>(&a, "Command1"), Qt::LeftButton);
    QCOMPARE(answers.addresses(), QStringList{address});
}

void TstWindows::assist_suffixesDistinct() {
    QSet<QString> seen;
    for (int n = 1; n <= 19; ++n) {
        const QString suffix = Assist::suffixOf(n);
        QVERIFY(!seen.contains(suffix));
        seen.insert(suffix);
        QVERIFY(suffix.startsWith(n == 4 ? QStringLiteral(".0@") : QStringLiteral("@")));
        QCOMPARE(suffix.count(u'@'), 1);
    }
}

void TstWindows::assist_okCancelRules() {
    // Untouched choice: the i-mode suffix. Only the last click counts.
    {
        Assist a;
        AssistAnswers answers(a);
        a.show();
        choose(a, 12);
        choose(a, 1);
        named<QLineEdit>(&a, "Text1")->setText(QStringLiteral("1234"));
        QTest::mouseClick(named<QPushButton>(&a, "Command1"), Qt::LeftButton);
        QCOMPARE(answers.addresses(), QStringList{QStringLiteral("1234@docomo.ne.jp")});
        QCOMPARE(answers.cancelled.size(), 0);
    }
    // Surrounding spaces are kept as typed.
    {
        Assist a;
        AssistAnswers answers(a);
        choose(a, 4);
        named<QLineEdit>(&a, "Text1")->setText(QStringLiteral(" 090 "));
        QTest::mouseClick(named<QPushButton>(&a, "Command1"), Qt::LeftButton);
        QCOMPARE(answers.addresses(), QStringList{QStringLiteral(" 090 .0@jp-h.ne.jp")});
    }
    // Empty Text1: no address, once, however often clicked before the unload.
    {
        Assist a;
        AssistAnswers answers(a);
        auto *ok = named<QPushButton>(&a, "Command1");
        QTest::mouseClick(ok, Qt::LeftButton);
        QCOMPARE(answers.addresses(), QStringList{QString()});
        QTest::mouseClick(ok, Qt::LeftButton);
        QCOMPARE(answers.chosen.size(), 1);
        QCOMPARE(answers.cancelled.size(), 0);
    }
    // キャンセル after typing and choosing: no address.
    {
        Assist a;
        AssistAnswers answers(a);
        choose(a, 15);
        named<QLineEdit>(&a, "Text1")->setText(QStringLiteral("5678"));
        QTest::mouseClick(named<QPushButton>(&a, "Command2"), Qt::LeftButton);
        QCOMPARE(answers.cancelled.size(), 1);
        QCOMPARE(answers.chosen.size(), 0);
    }
    // The close box acts as キャンセル, so the hidden settings window is not
    // left behind.
    {
        Assist a;
        AssistAnswers answers(a);
        a.show();
        named<QLineEdit>(&a, "Text1")->setText(QStringLiteral("5678"));
        a.close();
        QCOMPARE(answers.cancelled.size(), 1);
        QCOMPARE(answers.chosen.size(), 0);
    }
}

void TstWindows::assist_text1DropsLineBreaks() {
    Assist a;
    AssistAnswers answers(a);
    auto *text1 = named<QLineEdit>(&a, "Text1");
    text1->setText(QStringLiteral("090\r\n1234"));
    QCOMPARE(text1->text(), QStringLiteral("0901234"));
    text1->setText(QString());
    QTest::keyClicks(text1, QStringLiteral("ab"));
    text1->setCursorPosition(1);
    text1->insert(QStringLiteral("x\ny") + QChar(0) + QStringLiteral("z")); // what a paste does
    QCOMPARE(text1->text(), QStringLiteral("axyzb"));
    QCOMPARE(text1->cursorPosition(), 4);
    QTest::mouseClick(named<QPushButton>(&a, "Command1"), Qt::LeftButton);
    QCOMPARE(answers.addresses(), QStringList{QStringLiteral("axyzb@docomo.ne.jp")});
}

void TstWindows::verdisp_contents() {
    VerDisp v;
    auto *ok = named<QPushButton>(&v, "Command1");
    QVERIFY(ok);
    QCOMPARE(v.windowTitle(), QStringLiteral("バージョン"));
    QCOMPARE(named<QLabel>(&v, "Label1")->text(), QStringLiteral("クイルモン７４００"));
    QCOMPARE(named<QLabel>(&v, "Label2")->text(), QStringLiteral("Ver1.13"));
    QCOMPARE(ok->text(), QStringLiteral("Ｏ　Ｋ"));
    QVERIFY(!named<QLabel>(&v, "Picture1")->pixmap().isNull());
    QSignalSpy unload(&v, &VerDisp::unloadRequested);
    v.show();
    QTest::mouseClick(ok, Qt::LeftButton);
    QCOMPARE(unload.size(), 1);
    v.close();
    QCOMPARE(unload.size(), 1);
}

void TstWindows::help_missingOrBadFile() {
    QTemporaryDir dir;
    HelpViewer viewer;
    const QString missing = dir.filePath(QStringLiteral("quillmon.hlp"));
    QVERIFY(!viewer.openAtContents(missing));
    QString shown = viewer.browser()->toPlainText();
    QVERIFY(shown.contains(QStringLiteral("開けませんでした")));
    QVERIFY(shown.contains(missing));

    QVERIFY(!viewer.openAtContents(dir.path())); // a folder by that name
    QVERIFY(viewer.browser()->toPlainText().contains(QStringLiteral("開けませんでした")));

    QFile big(missing);
    QVERIFY(big.open(QIODevice::WriteOnly));
    QVERIFY(big.resize(64 * 1024 * 1024)); // sparse: costs no disk
    big.close();
    QVERIFY(!viewer.openAtContents(missing));
    QVERIFY(viewer.browser()->toPlainText().contains(QStringLiteral("大きすぎます")));

    // A file without a charset is read in code page 932, like the program's other files.
    QVERIFY(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
    big.write(cp932::encode(QStringLiteral("<html><body><p>目次～①</p></body></html>")));
    big.close();
    QVERIFY(viewer.openAtContents(missing));
    QCOMPARE(viewer.browser()->toPlainText(), QStringLiteral("目次～①"));
}

void TstWindows::help_realFileOpensAtContents() {
    const QString path = QStringLiteral(QUIL_SOURCE_DIR "/resources/quillmon.hlp");
    HelpViewer viewer;
    viewer.show();
    QVERIFY(viewer.openAtContents(path));
    QVERIFY(viewer.browser()->toPlainText().startsWith(QStringLiteral("クイルモン7400 ヘルプ")));
    QCOMPARE(viewer.browser()->verticalScrollBar()->value(), 0);

    // Every entry of the contents leads somewhere, and every topic the user needs is there.
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(f.readAll());
    const QRegularExpression link(QStringLiteral("href=\"#([^\"]+)\""));
    int links = 0;
    for (const auto &m : link.globalMatch(html)) {
        ++links;
        QVERIFY2(html.contains(QStringLiteral("name=\"%1\"").arg(m.captured(1))),
                 qPrintable(m.captured(1)));
    }
    QVERIFY(links >= 12);
    for (const char *topic :
         {"quil7400.dat", "quil7400.log", "quilmon.dat", "Wi-Fi", "送信者名",
          "チェックしない時間帯", "autostart", "困ったときは", "が見つかりません",
          "ポート995はSSL/TLS用です", "このポートはSSL/TLSではありません"})
        QVERIFY2(html.contains(QString::fromUtf8(topic)), topic);
}

void TstWindows::help_goesNowhereOutsideItsFolder() {
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkdir(QStringLiteral("help")));
    const auto put = [&](const char *name, const QByteArray &bytes) {
        QFile f(root.filePath(QString::fromLatin1(name)));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    QImage picture(4, 4, QImage::Format_RGB32);
    QVERIFY(picture.save(root.filePath(QStringLiteral("outside.png"))));
    QVERIFY(picture.save(root.filePath(QStringLiteral("help/inside.png"))));
    QVERIFY(put("outside.html", "<p>outside</p>") && put("help/topic.html", "<p>topic</p>"));
    QVERIFY(put("help/quillmon.hlp", "<a href=\"#end\">end</a>" +
                                         QByteArray("<p>x</p>").repeated(200) +
                                         "<a name=\"end\"></a><p>end</p>"));
    HelpViewer viewer;
    viewer.show();
    QTextBrowser *b = viewer.browser();
    QVERIFY(viewer.openAtContents(root.filePath(QStringLiteral("help/quillmon.hlp"))));
    const QString page = b->toPlainText();
    b->setSource(QUrl(QStringLiteral("#end"))); // an anchor of the page
    QVERIFY(b->verticalScrollBar()->value() > 0);
    for (const char *away : {"file:///etc/hostname", "../outside.html", "/etc/hostname"}) {
        b->setSource(QUrl(QString::fromLatin1(away)));
        QVERIFY2(b->toPlainText() == page && b->source().isEmpty(), away);
    }
    for (const char *away : {"../outside.png", "file:///etc/hostname"})
        QVERIFY2(!b->loadResource(QTextDocument::ImageResource, QUrl(QString::fromLatin1(away)))
                      .isValid(),
                 away);
    QVERIFY(b->loadResource(QTextDocument::ImageResource, QUrl(QStringLiteral("inside.png")))
                .isValid());
    b->setSource(QUrl(QStringLiteral("topic.html"))); // a page beside it opens
    QCOMPARE(b->toPlainText(), QStringLiteral("topic"));
}

void TstWindows::windows_closingNeverEndsProgram() {
    // While the settings window is hidden, none of these may count as the
    // program's last window.
    Form4 popup;
    VerDisp version;
    Assist assist;
    HelpViewer help;
    for (QWidget *w : std::initializer_list<QWidget *>{&popup, &version, &assist, &help})
        QVERIFY2(!w->testAttribute(Qt::WA_QuitOnClose), qPrintable(w->objectName()));
}

void TstWindows::connection_layoutAndRefusals() {
    installProgramLook(); // the fonts the captions are measured in
    ConnectionSettings in;
    in.smtpSecurity = ConnectionSettings::Security::StartTls;
    QStringList boxes, questions;
    ConnectionDialog d(
        in,
        [&](QWidget *, const QString &title, const QString &text) { boxes << title + u'|' + text; },
        nullptr,
        [&](QWidget *, const QString &, const QString &text, const std::function<void()> &) {
            questions << text; // キャンセル
        });
    CertificateInfo about{QStringLiteral("CN=mail.example.org,O=A Long Organisation Name, Inc."),
                          {QStringLiteral("mail.example.org"), QStringLiteral("192.0.2.1")},
                          QStringLiteral("CN=Example Issuing Authority"),
                          QDateTime(QDate(2026, 1, 1), QTime(12, 0), QTimeZone::utc()),
                          QDateTime(QDate(2027, 1, 1), QTime(12, 0), QTimeZone::utc())};
    d.setRefused(true, {QStringLiteral("smtp.example.jp"), 587, QStringLiteral("AB").repeated(32),
                        QStringLiteral("ホスト名が違う"), about});
    QList<ConnectionSettings> accepted;
    connect(&d, &ConnectionDialog::settingsAccepted, this,
            [&](const ConnectionSettings &c) { accepted << c; });
    QSignalSpy cancelled(&d, &ConnectionDialog::cancelled);
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    QVERIFY(!d.testAttribute(Qt::WA_QuitOnClose));

    // Every caption fits its control; no control covers another or leaves its frame.
    QList<QWidget *> controls;
    for (QWidget *c : d.findChildren<QWidget *>())
        if (c->parentWidget() == &d || qobject_cast<QGroupBox *>(c->parentWidget())) controls << c;
    QVERIFY(controls.size() >= 30);
    for (QWidget *c : controls) {
        const QString what = c->objectName();
        QVERIFY2(c->parentWidget()->rect().contains(c->geometry()), qPrintable(what));
        int need = 0;
        if (auto *l = qobject_cast<QLabel *>(c)) {
            need = l->sizeHint().width();
            QVERIFY2(l->sizeHint().height() <= l->height(), qPrintable(what));
        } else if (auto *b = qobject_cast<QAbstractButton *>(c)) {
            need = b->fontMetrics().horizontalAdvance(b->text()) +
                   (qobject_cast<QPushButton *>(c) ? 8 : 20); // room for the indicator
        }
        QVERIFY2(need <= c->width(),
                 qPrintable(
                     QStringLiteral("%1 needs %2 px, has %3").arg(what).arg(need).arg(c->width())));
        for (QWidget *o : controls)
            QVERIFY2(o == c || o->parentWidget() != c->parentWidget() ||
                         !o->geometry().intersects(c->geometry()),
                     qPrintable(what + u'/' + o->objectName()));
    }

    // The default ports follow the encryption; authentication opens its boxes.
    auto *popPort = named<QLineEdit>(&d, "PopPort");
    auto *smtpPort = named<QLineEdit>(&d, "SmtpPort");
    QCOMPARE(popPort->placeholderText(), QStringLiteral("110"));
    QCOMPARE(smtpPort->placeholderText(), QStringLiteral("587"));
    named<QRadioButton>(&d, "PopTls")->click();
    named<QRadioButton>(&d, "SmtpTls")->click();
    QCOMPARE(popPort->placeholderText(), QStringLiteral("995"));
    QCOMPARE(smtpPort->placeholderText(), QStringLiteral("465"));
    QVERIFY(!named<QLineEdit>(&d, "SmtpPassword")->isEnabled());
    named<QCheckBox>(&d, "SmtpAuth")->click();
    QVERIFY(named<QLineEdit>(&d, "SmtpPassword")->isEnabled());
    QCOMPARE(named<QLineEdit>(&d, "SmtpPassword")->echoMode(), QLineEdit::Password);

    // Refusals keep the dialog open and hand nothing back.
    auto *ok = named<QPushButton>(&d, "Command1");
    for (const QString &bad : {QStringLiteral("0"), QStringLiteral("65536"), QStringLiteral("abc"),
                               QStringLiteral("-1")}) {
        popPort->setText(bad);
        boxes.clear();
        ok->click();
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].contains(QStringLiteral("1 から 65535")), qPrintable(boxes[0]));
    }
    popPort->setText(QStringLiteral("65535"));
    named<QRadioButton>(&d, "SmtpNone")->click();
    QCOMPARE(smtpPort->placeholderText(), QStringLiteral("25"));
    boxes.clear();
    ok->click();
    QCOMPARE(boxes.size(), 1);
    QVERIFY(boxes[0].startsWith(QStringLiteral("接続設定|")) &&
            boxes[0].contains(QStringLiteral("STARTTLS か SSL/TLS")));
    QVERIFY(accepted.isEmpty() && cancelled.isEmpty());

    // The refused certificate, trusted for its server only.
    QVERIFY(!named<QPushButton>(&d, "PopTrust")->isEnabled());
    const QString refusedText = named<QLabel>(&d, "SmtpRefused")->text();
    for (const char *shown :
         {"ホスト名が違う", "smtp.example.jp:587", "CN=mail.example.org",
          "mail.example.org, 192.0.2.1", "Example Issuing", "2026/01/01", "2027/01/01", "AB:AB"})
        QVERIFY2(refusedText.contains(QString::fromUtf8(shown)), shown);
    named<QPushButton>(&d, "SmtpTrust")->click();
    QCOMPARE(named<QLabel>(&d, "SmtpFingerprint")->text(),
             "smtp.example.jp:587\n" +
                 ConnectionDialog::displayFingerprint(QStringLiteral("AB").repeated(32)));
    QCOMPARE(ConnectionDialog::displayFingerprint(QStringLiteral("ab").repeated(32)).count(u'\n'),
             1);
    named<QRadioButton>(&d, "SmtpStartTls")->click();
    // A port of the other security is warned of; the user may keep the dialog open.
    const std::pair<QLineEdit *, const char *> others[] = {
        {smtpPort, "465 はSSL/TLS用です"}, {popPort, "110 はSSL/TLS用ではありません"}};
    for (const auto &[box, warned] : others) {
        const QString before = box->text();
        box->setText(QString::fromUtf8(warned).left(3));
        questions.clear();
        ok->click();
        QCOMPARE(questions.size(), 1);
        QVERIFY2(questions[0].contains(QString::fromUtf8(warned)), qPrintable(questions[0]));
        box->setText(before);
    }
    QVERIFY(accepted.isEmpty());
    // The mail client's command counts only with notifications on.
    auto *command = named<QLineEdit>(&d, "MailCommand");
    QVERIFY(!command->isEnabled());
    named<QCheckBox>(&d, "DesktopNotify")->click();
    QVERIFY(command->isEnabled());
    command->setText(QStringLiteral("  thunderbird -P \"my mail\" "));
    ok->click();
    QCOMPARE(accepted.size(), 1);
    const ConnectionSettings out = accepted[0];
    QCOMPARE(out.popPort, quint16(65535));
    QVERIFY(out.smtpAuth && out.smtpSecurity == ConnectionSettings::Security::StartTls);
    QVERIFY((out.smtpAccepted == AcceptedCertificate{QStringLiteral("smtp.example.jp"), 587,
                                                     QStringLiteral("AB").repeated(32)}));
    QVERIFY(out.popAccepted == AcceptedCertificate{});
    QVERIFY(out.desktopNotify);
    QCOMPARE(out.mailCommand, QStringLiteral("thunderbird -P \"my mail\""));

    // The close box is キャンセル.
    ConnectionDialog other(in, {});
    QSignalSpy otherCancelled(&other, &ConnectionDialog::cancelled);
    other.show();
    other.close();
    QCOMPARE(otherCancelled.size(), 1);
}

QTEST_MAIN(TstWindows)
void TstWindows::connection_providerPresets() {
    // The built-in list, in file order, each complete.
    QStringList keys;
    for (const Provider &p : providers::all())
        keys << p.key;
    QCOMPARE(keys,
             (QStringList{"gmail", "outlook", "yahoojp", "ocn", "biglobe", "nifty", "sonet"}));
    const Provider &outlook = providers::all()[1];
    QVERIFY(outlook.oauthSignIn && outlook.popPort == 995 &&
            outlook.smtpSecurity == LinkSecurity::StartTls);
    // A section missing what it needs is left out, not half applied.
    const auto parsed = providers::parse("[a]\nname=A\npop=p\npop_port=995\npop_security=tls\n"
                                         "smtp=s\nsmtp_port=465\nsmtp_security=ssl\n"
                                         "[b]\nname=B\npop=p\npop_port=110\npop_security=none\n"
                                         "smtp=s\nsmtp_port=25\nsmtp_security=none\nsignin=oauth\n"
                                         "[c]\nname=C\npop=p\npop_port=110\npop_security=none\n"
                                         "# x=y\nsmtp=s\nsmtp_port=25\nsmtp_security=none\n");
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed[0].key, QStringLiteral("c"));

    // Chosen in the dialog: the controls filled, the servers handed over on ＯＫ.
    ConnectionDialog d(ConnectionSettings{}, [](QWidget *, const QString &, const QString &) {});
    QStringList servers;
    ConnectionSettings out;
    connect(&d, &ConnectionDialog::serversChosen, this,
            [&](const QString &pop, const QString &smtp) { servers << pop << smtp; });
    connect(&d, &ConnectionDialog::settingsAccepted, this,
            [&](const ConnectionSettings &c) { out = c; });
    auto *preset = named<QComboBox>(&d, "Preset");
    QCOMPARE(preset->itemText(0), QStringLiteral("手動設定"));
    const auto choose = [preset](int i) {
        preset->setCurrentIndex(i);
        emit preset->activated(i);
    };
    choose(2); // Outlook.com: OAuth only
    QVERIFY(named<QRadioButton>(&d, "SignInOAuth")->isChecked());
    QCOMPARE(named<QComboBox>(&d, "OAuthProvider")->currentData().toString(), "microsoft");
    choose(1); // Gmail
    QVERIFY(named<QLabel>(&d, "PresetHint")->text().startsWith(QStringLiteral("Gmail: ")));
    named<QPushButton>(&d, "Command1")->click();
    QCOMPARE(servers, (QStringList{"pop.gmail.com", "smtp.gmail.com"}));
    QVERIFY(out.popSecurity == LinkSecurity::Tls && out.popPort == 995 && out.smtpPort == 587 &&
            out.smtpSecurity == LinkSecurity::StartTls && out.smtpAuth &&
            out.signIn == ConnectionSettings::SignIn::Password);
}

#include "tst_windows.moc"
