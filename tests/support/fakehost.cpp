#include "support/fakehost.h"

#include "platform/linesession.h"

#include <QTest>
#include <QTimer>

FakeHost::FakeHost() {
    seamsValue.now = [] { return QDateTime(QDate(2026, 1, 1), QTime(12, 0, 0)); };
    seamsValue.guardMs = 60000;
    seamsValue.configDir = seamsValue.stateDir = dir.path();
    settings.POP_Address = QStringLiteral("127.0.0.1");
    settings.POP_UserID = QStringLiteral("taro");
    settings.POP_PassWord = QStringLiteral("secret");
    // The designed dialogue; the cases that read headers turn it on.
    settings.connection.showHeaders = false;
}

MailCheck &FakeHost::check() {
    if (m_check) return *m_check;
    m_check = std::make_unique<MailCheck>(seamsValue);
    MailCheck *c = m_check.get();
    QObject::connect(c, &MailCheck::statusChanged, c, [this](const QString &text) {
        statusText = text;
        statusHistory << text;
    });
    QObject::connect(c, &MailCheck::logLine, c, [this](const QString &message, bool separator) {
        logLines << (separator ? message : QStringLiteral("|") + message);
    });
    QObject::connect(c, &MailCheck::popupText, c, [this](const QString &t) { popupLabel = t; });
    QObject::connect(c, &MailCheck::popupShown, c, [this] { popupShown = true; });
    QObject::connect(
        c, &MailCheck::desktopNotice, c,
        [this](const QString &, const QString &, const QStringList &lines) { toldLines = lines; });
    QObject::connect(c, &MailCheck::finished, c, [this] { ++finishedCount; });
    QObject::connect(c, &MailCheck::testPassed, c, [this](bool testStaysEnabled) {
        ++saves;
        if (!saveSucceeds) m_check->settingsNotSaved();
        if (!saveSucceeds || !testStaysEnabled) testEnabled = !saveSucceeds;
        runEnabled = saveSucceeds;
    });
    return *m_check;
}

void FakeHost::start() {
    if (test)
        check().startTest(settings, [](bool) {});
    else
        check().DialStart(settings);
}

bool FakeHost::waitDone(int ms) {
    return QTest::qWaitFor([this] { return !pop3Running() && !noticeRunning(); }, ms);
}

void FakeHost::inMemory() {
    seamsValue.makeLink = [this] {
        auto *l = new MemoryLink;
        links << l;
        return l;
    };
}

void FakeHost::guardRunsOut() {
    for (LineSession *s : check().findChildren<LineSession *>())
        for (QTimer *t : s->findChildren<QTimer *>())
            if (t->isActive()) QMetaObject::invokeMethod(t, "timeout", Qt::DirectConnection);
}

void TokenEndpoint::attach(FakeHost &host) {
    host.seamsValue.oauthProviders = {{"test", "Test", "https://auth.test/authorize",
                                       "https://auth.test/token", "mail", "cid", ""}};
    host.seamsValue.httpPost = [this](const QString &, const QByteArray &form, QObject *context,
                                      oauth::HttpDone done) {
        forms << form;
        const QByteArray body = replies.isEmpty() ? QByteArray("400 {}") : replies.takeFirst();
        oauth::HttpReply r{200, body, {}};
        if (body.startsWith("400 ")) r = {400, body.mid(4), {}};
        QTimer::singleShot(0, context, [done, r] { done(r); });
    };
    ConnectionSettings &c = host.settings.connection;
    c.signIn = ConnectionSettings::SignIn::OAuth;
    c.oauthProvider = "test";
    c.oauthRefreshToken = "rt1";
    c.popSecurity = LinkSecurity::Tls;
}
