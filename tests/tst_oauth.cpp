// OAuth 2.0 sign-in against real peers: a small authorization server (TLS,
// the test CA), Dovecot taking XOAUTH2/OAUTHBEARER through its oauth2
// passdb, aiosmtpd taking XOAUTH2 against the same server, the browser a
// script, and GNOME Online Accounts a mock on a private bus.
#include "check/oauthtokens.h"
#include "platform/folders.h"
#include "support/fakehost.h"
#include "support/notify_dbusmock.h"
#include "support/pop3_dovecot.h"
#include "support/smtp_aiosmtpd.h"
#include "support/tlscerts.h"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

class TestOAuth : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void signInCheckNotice();
    void afterSignIn_data();
    void afterSignIn();
    void signInRefused_data();
    void signInRefused();
    void desktopAccounts();
    void cleanupTestCase();

  private:
    void control(const QByteArray &json);
    QJsonArray grants() const;
    // Signs in through the browser; the refresh token, or the failure's text.
    QString signIn(bool *ok);

    TlsCerts certs;
    QTemporaryDir dir;
    QProcess authServer;
    QString base; // https://127.0.0.1:PORT
    Pop3Dovecot dovecot;
    SmtpAiosmtpd smtps;
    FakeHost host; // one program's lifetime: the access token stays in memory
};

void TestOAuth::initTestCase() {
    if (const QString why = dovecot.skipReason(); !why.isEmpty()) QSKIP(qPrintable(why));
    QVERIFY2(certs.make(), qPrintable(certs.error));
    authServer.start("/usr/bin/python3",
                     {QUIL_SOURCE_DIR "/tests/support/oauth_server.py", "--dir", dir.path(),
                      "--cert", certs.certFile("good"), "--key", certs.keyFile()});
    QTRY_VERIFY_WITH_TIMEOUT(authServer.canReadLine(), 10000);
    const QByteArray ready = authServer.readLine().trimmed();
    QVERIFY2(ready.startsWith("ready "), ready.constData());
    base = "https://127.0.0.1:" + QString::fromLatin1(ready.mid(6));

    dovecot.useTls(certs.certFile("good"), certs.keyFile());
    dovecot.useOAuth(base + "/introspect", certs.caFile());
    QVERIFY(dovecot.start());
    QCOMPARE(smtps.start(465, {"--cert", certs.certFile("good"), "--key", certs.keyFile(),
                               "--implicit", "--oauth-introspect", base + "/introspect",
                               "--oauth-ca", certs.caFile()}),
             SmtpAiosmtpd::Start::Ready);

    // The browser: a script earlier on PATH than any xdg-open.
    const QString bin = dir.filePath("bin");
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QFile::link(QUIL_SOURCE_DIR "/tests/support/oauth_browser.py", bin + "/xdg-open"));
    qputenv("PATH", (bin + ':').toLocal8Bit() + qgetenv("PATH"));
    qputenv("QUIL_BROWSER_CA", certs.caFile().toLocal8Bit());
    qputenv("QUIL_BROWSER_LOG", dir.filePath("browser.log").toLocal8Bit());

    Seams &s = host.seamsValue;
    s.caFile = certs.caFile();
    s.guardMs = 10000;
    s.signInWaitMs = 3000;
    s.oauthProviders = {
        {"test", "Test", base + "/authorize", base + "/token", "mail", "quilmon-test", ""}};
    SettingsRecord &r = host.settings;
    r.Trf_Flag = 1;
    r.Smtp_Address = "127.0.0.1";
    r.Trf_IPAddress = "keitai@example.ne.jp";
    ConnectionSettings &c = r.connection;
    c.signIn = ConnectionSettings::SignIn::OAuth;
    c.oauthProvider = "test";
    c.popSecurity = c.smtpSecurity = LinkSecurity::Tls;
    c.smtpAuth = true;
    c.smtpFrom = "taro@example.jp";
    // As the program does: a new refresh token is the one for the next check.
    connect(&host.check(), &MailCheck::refreshTokenChanged, this,
            [this](const QString &token) { host.settings.connection.oauthRefreshToken = token; });
}

void TestOAuth::cleanupTestCase() {
    authServer.kill();
    authServer.waitForFinished(3000);
}

void TestOAuth::control(const QByteArray &json) {
    QFile f(dir.filePath("control.json"));
    QVERIFY(f.open(QIODevice::WriteOnly) && f.write(json) == json.size());
}

QJsonArray TestOAuth::grants() const {
    QFile f(dir.filePath("log.json"));
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).array()
                                       : QJsonArray();
}

QString TestOAuth::signIn(bool *ok) {
    OAuthSignIn signIn(host.seamsValue, host.settings.connection, "taro",
                       [](const QString &url) { return folders::startAsUser("xdg-open", {url}); });
    QSignalSpy done(&signIn, &OAuthSignIn::done);
    signIn.start();
    if (!done.wait(15000)) return {};
    *ok = done[0][0].toBool();
    return done[0][*ok ? 1 : 2].toString();
}

void TestOAuth::signInCheckNotice() {
    bool ok = false;
    const QString refreshToken = signIn(&ok);
    QVERIFY2(ok, qPrintable(refreshToken));
    QCOMPARE(grants().last().toObject().value("pkce"), true);
    host.settings.connection.oauthRefreshToken = refreshToken;
    dovecot.addMessages(2);
    host.start();
    QTRY_VERIFY_WITH_TIMEOUT(!host.check().running(), 20000);
    QCOMPARE(host.statusText, "　メッセージを転送しました");
    QCOMPARE(smtps.message(1).value("auth_login").toString(), "taro");
    QCOMPARE(host.logLines,
             QStringList({"2通の新着メールがあります", "|　メッセージを転送しました"}));
    QVERIFY(!dovecot.logText().contains(refreshToken));
}

void TestOAuth::afterSignIn_data() {
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QStringList>("log"); // of two checks in a row
    // Dead at the server before its time: refused once, refreshed, passed.
    QTest::newRow("expired access token refreshed")
        << QByteArray(R"({"expire": true})")
        << QStringList{"1通の新着メールがあります", "|　メッセージを転送しました",
                       "0通の新着メールがあります"};
    // One request to the provider, then none, however often checks come.
    const QString again =
        "OAuthのリフレッシュトークンは拒否されています。接続設定で再度サインインしてください";
    QTest::newRow("revoked refresh token")
        << QByteArray(R"({"expire": true, "revoke": true})")
        << QStringList{"OAuthのリフレッシュトークンが拒否されました（invalid_grant）。"
                       "接続設定で再度サインインしてください",
                       again};
}

void TestOAuth::afterSignIn() {
    QFETCH(QByteArray, control);
    QFETCH(QStringList, log);
    const qsizetype before = grants().size();
    this->control(control);
    if (!control.contains("revoke")) dovecot.addMessages(1);
    host.logLines.clear();
    for (int i = 0; i < 2; ++i) {
        host.start();
        QTRY_VERIFY_WITH_TIMEOUT(!host.check().running(), 20000);
    }
    QCOMPARE(host.logLines, log);
    QCOMPARE(grants().size(), before + 1);
    QCOMPARE(grants().last().toObject().value("grant"), "refresh_token");
    QFile::remove(dir.filePath("control.json"));
}

void TestOAuth::signInRefused_data() {
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QString>("message");
    // Another state: answered, ignored, and the listener waits on until its time.
    QTest::newRow("wrong state") << QByteArray(R"({"bad_state": true})")
                                 << "サインインが5分以内に終わりませんでした";
    QTest::newRow("PKCE verifier checked") << QByteArray(R"({"tamper_challenge": true})")
                                           << "トークンを取得できません（invalid_grant）";
}

void TestOAuth::signInRefused() {
    QFETCH(QByteArray, control);
    QFETCH(QString, message);
    this->control(control);
    bool ok = true;
    QCOMPARE(signIn(&ok), message);
    QVERIFY(!ok);
    QFile log(dir.filePath("browser.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QCOMPARE(log.readAll().contains("ではありません"), message.startsWith("サインインが"));
    QFile::remove(dir.filePath("control.json"));
    QFile::remove(log.fileName());
}

void TestOAuth::desktopAccounts() {
    NotifyDbusMock bus;
    QVERIFY(bus.startBus());
    QProcess goa;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
    goa.setProcessEnvironment(env);
    goa.start("/usr/bin/python3",
              {"-m", "dbusmock", "--template", QUIL_SOURCE_DIR "/tests/support/goa_template.py"});
    QVERIFY(goa.waitForStarted(5000));
    FakeHost desk;
    desk.seamsValue = host.seamsValue;
    desk.seamsValue.sessionBus = [&bus] {
        return QDBusConnection::connectToBus(bus.address(), "goa");
    };
    desk.settings = host.settings;
    desk.settings.Trf_Flag = 0;
    desk.settings.connection.oauthDesktop = true;
    desk.settings.connection.oauthRefreshToken.clear();
    dovecot.addMessages(1);
    QTRY_VERIFY_WITH_TIMEOUT(
        desk.seamsValue.sessionBus().interface()->isServiceRegistered("org.gnome.OnlineAccounts"),
        15000);
    desk.start();
    QTRY_VERIFY_WITH_TIMEOUT(!desk.check().running(), 20000);
    goa.terminate();
    goa.waitForFinished(3000);
    QCOMPARE(desk.logLines, QStringList{"1通の新着メールがあります"});
}

QTEST_GUILESS_MAIN(TestOAuth)
#include "tst_oauth.moc"
