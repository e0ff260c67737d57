#include "check/mailcheck.h"

#include "check/oauthtokens.h"
#include "dialup/dialup.h"
#include "platform/seams.h"
#include "platform/systemwatch.h"
#include "platform/tcplink.h"
#include "pop3/uidstore.h"
#include "smtp/noticemessage.h"

#include <QTimer>

namespace {

const QString TestDoneStatus = QStringLiteral("テスト終了､エラーなし");
const QString TestDoneLog = QStringLiteral("テスト終了、エラーなし");
const QString TestDoneLabel = QStringLiteral("テストが終了しました");
const QString TestNotSavedLog = QStringLiteral("テスト終了、設定ファイルを保存できませんでした");
const QString NewMailSuffix = QStringLiteral("通の新着メールがあります");
const QString StoreUnwritableLog =
    QStringLiteral("メールチェック失敗（既読IDファイル quilmon.dat を保存できません）");

// 16-bit counters stop at the top instead of wrapping.
qint16 saturatingAdd(qint16 a, qint64 b) {
    return qint16(qBound(qint64(-32768), qint64(a) + b, qint64(32767)));
}

// A session is told to stop and goes later: its own handler may be on the stack.
template <typename Session> void unload(Session *&slot) {
    Session *s = std::exchange(slot, nullptr);
    if (!s) return;
    s->Form_Unload();
    s->deleteLater();
}

// Headers read of one check's new mail, and lines the tray keeps.
constexpr int MaxToldHeaders = 5;

Link *newLink(const Seams &seams) {
    return seams.makeLink ? seams.makeLink() : new TcpLink;
}

// An accepted certificate goes along only to the server it was accepted for:
// elsewhere the same certificate is someone else's.
TlsOptions tlsOptions(const Seams &seams, const QString &host, quint16 port,
                      const AcceptedCertificate &accepted) {
    TlsOptions options;
    options.peerName = host;
    options.caFile = seams.caFile;
    if (!accepted.host.isEmpty() && accepted.host.compare(host, Qt::CaseInsensitive) == 0 &&
        accepted.port == port)
        options.acceptedFingerprint = accepted.sha256.toLatin1();
    return options;
}

QString colonHex(const QByteArray &raw) {
    return QString::fromLatin1(raw.toHex(':').toUpper());
}

} // namespace

MailCheck::MailCheck(const Seams &seams, QObject *parent)
    : QObject(parent), m_seams(seams), m_dialUp(new DialUp(seams, this)),
      m_watch(new SystemWatch(seams.systemBus, this)), m_deadline(new QTimer(this)),
      m_tokens(new OAuthTokens(seams, this)) {
    setObjectName(QStringLiteral("check"));
    connect(m_tokens, &OAuthTokens::refreshTokenChanged, this, [this](const QString &token) {
        m_settings.connection.oauthRefreshToken = token;
        emit refreshTokenChanged(token);
    });
    connect(m_dialUp, &DialUp::linkUp, this, &MailCheck::startCheck);
    connect(m_dialUp, &DialUp::linkLost, this, &MailCheck::abortCheck);
    connect(m_dialUp, &DialUp::linkFailed, this, &MailCheck::linkFailed);
    connect(m_dialUp, &DialUp::dialRefused, this, &MailCheck::dialRefused);
    connect(m_dialUp, &DialUp::statusChanged, this, &MailCheck::statusChanged);
    connect(m_dialUp, &DialUp::logLine, this, [this](const QString &line) { emit logLine(line); });
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, &MailCheck::deadlinePassed);
}

MailCheck::~MailCheck() {
    unload(m_pop3);
    unload(m_smtp);
}

void MailCheck::popupAcknowledged() {
    New_mail_number2 = 0;
    arrivalsSeen();
}

void MailCheck::arrivalsSeen() {
    if (m_arrivals.isEmpty()) return;
    m_arrivals.clear();
    emit arrivalsChanged(m_arrivals);
}

bool MailCheck::running() const {
    return m_pop3 || m_smtp || m_awaitingToken || m_dialUp->monitorRunning();
}

void MailCheck::DialStart(const SettingsRecord &settings) {
    // One check at a time: never dial while a session runs or a link is
    // watched (its handle would be lost).
    if (running()) return;
    m_settings = settings;
    m_test = false;
    m_failure.clear();
    m_newMail = -1;
    if (networkMissing()) return;
    if (settings.Dup_Mode != 0) {
        m_retryAtDial = Retry_Flag;
        m_dialUp->DialStart(settings.Dup_Entry);
        return;
    }
    startPop3();
}

void MailCheck::startTest(const SettingsRecord &settings, std::function<void(bool)> started) {
    m_settings = settings;
    m_test = true;
    m_failure.clear();
    m_newMail = -1;
    if (settings.Dup_Mode != 0) {
        m_dialUp->TestDial(settings.Dup_Entry, std::move(started));
        return;
    }
    if (!networkMissing()) startPop3();
    started(true);
}

bool MailCheck::networkMissing() {
    // Without a network the server would only time out after a minute and
    // be blamed for it. A dial-up link brings its own network, and a server
    // on this machine needs none.
    const QString &host = m_settings.POP_Address;
    const bool local = host.compare(u"localhost", Qt::CaseInsensitive) == 0 ||
                       host.startsWith(u"127.") || host == u"::1";
    if (m_settings.Dup_Mode != 0 || local || !m_watch->networkDown()) return false;
    const QString text = QStringLiteral("ネットワークに接続されていません");
    emit statusChanged(text);
    emit logLine(text);
    Retry_Flag = saturatingAdd(Retry_Flag, 1);
    m_failure = text;
    settle(false);
    return true;
}

void MailCheck::hangUpForExit() {
    // The program ends after the pause: nothing of the check may go on
    // meanwhile (a test mail sent, the settings saved).
    unload(m_pop3);
    unload(m_smtp);
    stopTokenWait();
    m_deadline->stop();
    m_dialUp->ExitHangUp();
}

void MailCheck::startCheck() {
    // POP3 of an earlier check still runs: none can start over this link.
    // And a link nothing runs over (the check ended at once, or started
    // nothing) would never be hung up. Either way it goes down at once.
    if (!m_pop3 && !m_awaitingToken) {
        startPop3();
        if (m_pop3 || m_smtp || m_awaitingToken) return;
    }
    m_dialUp->hangUp();
}

void MailCheck::startPop3() {
    if (m_pop3 || m_awaitingToken) return;
    m_freshToken[0] = m_freshToken[1] = false;
    if (forwarding() && TX_flg != 0 && !m_test) {
        // The last notice never went out: send it again and leave the
        // mailbox for the next check. Cleared first, so a new failure of
        // that attempt is not wiped out.
        TX_flg = 0;
        sendNotice();
        return;
    }
    TX_flg = 0;
    // The reply guard restarts with every line: only a deadline for the
    // whole check ends a server that trickles.
    m_deadline->start(m_seams.checkDeadlineMs);
    if (oauth(false))
        withToken(false, false, [this](const QString &token) { openPop3(token); });
    else
        openPop3({});
}

bool MailCheck::oauth(bool smtp) const {
    const ConnectionSettings &c = m_settings.connection;
    return c.signIn == ConnectionSettings::SignIn::OAuth && (!smtp || c.smtpAuth);
}

void MailCheck::withToken(bool smtp, bool fresh, std::function<void(const QString &)> go) {
    m_awaitingToken = true;
    m_tokenForSmtp = smtp;
    const quint64 wait = ++m_tokenWait;
    auto failure = [this, smtp](const QString &status, const QString &log) {
        m_awaitingToken = false;
        SessionResult r;
        r.status = status;
        r.logMessage = log;
        sessionFailed(smtp, r);
    };
    const ConnectionSettings &c = m_settings.connection;
    if ((smtp ? c.smtpSecurity : c.popSecurity) == LinkSecurity::None) {
        // Refused before a byte goes out: a token is as good as a password.
        QTimer::singleShot(0, this, [this, wait, failure, smtp] {
            if (wait != m_tokenWait) return;
            failure(QStringLiteral("OAuth認証エラー"),
                    (smtp ? QStringLiteral("送信サーバ") : QStringLiteral("受信サーバ")) +
                        QStringLiteral("への暗号化されていない接続ではOAuthでサインインしません"));
        });
        return;
    }
    m_tokens->get(m_settings, fresh,
                  [this, wait, failure, go = std::move(go)](const OAuthTokens::Outcome &o) {
                      if (wait != m_tokenWait) return;
                      if (!o.ok) {
                          failure(o.status, o.logMessage);
                          return;
                      }
                      m_awaitingToken = false;
                      go(o.token);
                  });
}

void MailCheck::stopTokenWait() {
    ++m_tokenWait;
    m_tokens->cancel();
    m_awaitingToken = false;
}

void MailCheck::openPop3(const QString &accessToken) {
    m_pop3 = new Form1(newLink(m_seams), this);
    connect(m_pop3, &Form1::statusChanged, this, &MailCheck::statusChanged);
    connect(m_pop3, &Form1::finished, this, &MailCheck::pop3Finished);
    const ConnectionSettings &c = m_settings.connection;
    Form1::Params p;
    p.host = m_settings.POP_Address;
    p.port = settingsfile::serverPort(c, false, m_seams.popPort);
    p.user = m_settings.POP_UserID;
    p.password = m_settings.POP_PassWord;
    p.accessToken = accessToken;
    p.guardMs = m_seams.guardMs;
    p.security = c.popSecurity;
    p.tls = tlsOptions(m_seams, p.host, p.port, c.popAccepted);
    m_ports[0] = p.port;
    m_seenRead = c.showHeaders;
    m_seen.reset();
    m_checkHeaders.clear();
    if (m_seenRead) {
        // Read once: the session picks the new messages by it, and the count
        // is made against the same ids.
        p.headerLimit = MaxToldHeaders;
        m_seen = ReadUidStore(storePath());
        p.seen = m_seen;
    }
    m_pop3->Form_Load(p);
}

void MailCheck::pop3Finished(const Form1::Result &result) {
    Form1 *session = std::exchange(m_pop3, nullptr);
    if (!session) return;
    session->deleteLater();
    if (result.tokenRefused && !std::exchange(m_freshToken[0], true)) {
        // Refused once: perhaps revoked or expired early. One fresh token,
        // one more try; the store read for it stays.
        withToken(false, true, [this](const QString &token) { openPop3(token); });
        return;
    }
    if (result.outcome != SessionResult::Outcome::Done || result.empty) {
        m_seen.reset();
        m_seenRead = false;
    }
    if (result.outcome != SessionResult::Outcome::Done) {
        sessionFailed(false, result);
        return;
    }
    emit serverReached(false);
    if (result.empty)
        emptyMailbox();
    else
        countNewMail(result);
}

QString MailCheck::storePath() const {
    return UidStorePath(m_seams.stateDir);
}

void MailCheck::countNewMail(const Form1::Result &result) {
    New_mail_number = result.count;
    qint16 count = result.count; // an unreadable store: all are new
    std::optional<UidList> old = std::exchange(m_seenRead, false)
                                     ? std::exchange(m_seen, std::nullopt)
                                     : ReadUidStore(storePath());
    if (old) count = qint16(qMin<qint64>(NewMailCount(result.uids, *old), 32767));
    old.reset(); // gone before the new store is made: a million ids take megabytes
    for (const MailHeaders &h : result.headers)
        m_checkHeaders += HeaderLine(h);
    if (!WriteUidStore(storePath(), result.uids)) {
        // Counting against a store that stays stale would tell the same
        // mail again next time: the check fails instead.
        failed(QStringLiteral("メールチェック失敗"), StoreUnwritableLog);
        return;
    }
    New_mail_number = count;
    notify();
}

void MailCheck::emptyMailbox() {
    emit statusChanged(QStringLiteral("メールがありません"));
    if (!EmptyUidStore(storePath())) {
        failed(QStringLiteral("メールチェック失敗"), StoreUnwritableLog);
        return;
    }
    New_mail_number = 0;
    m_newMail = 0;
    if (!m_test) {
        emit logLine(QStringLiteral("０通の新着メールがあります"));
        endCheck();
    } else if (forwarding()) {
        sendNotice();
    } else {
        emit statusChanged(TestDoneStatus);
        const bool saved = testDone(true);
        endCheck();
        if (saved) emit popupShown();
    }
    Retry_Flag = 0;
    settle(true);
}

bool MailCheck::testDone(bool testStaysEnabled) {
    // Saved first: a test whose settings could not be written is no success.
    m_notSaved = false;
    emit testPassed(testStaysEnabled);
    if (m_notSaved) {
        emit logLine(TestNotSavedLog);
        return false;
    }
    emit popupText(TestDoneLabel);
    announce(TestDoneLabel); // told wherever the popup tells it
    emit logLine(TestDoneLog);
    return true;
}

void MailCheck::notify() {
    const qint16 n = New_mail_number;
    m_newMail = n;
    const QString text = QString::number(n) + NewMailSuffix;
    emit statusChanged(text);
    New_mail_number2 = saturatingAdd(New_mail_number2, n);
    const QString total = QString::number(New_mail_number2) + NewMailSuffix;
    emit popupText(total);
    emit logLine(text);
    if (n >= 1 && !m_checkHeaders.isEmpty()) {
        m_arrivals = (m_checkHeaders + m_arrivals).mid(0, MaxToldHeaders);
        emit arrivalsChanged(m_arrivals);
    }
    // Beside the popup or the notice mail; a test tells what its popup does.
    if (n >= 1 && !m_test) announce(total);

    if ((n >= 1 || m_test) && forwarding()) {
        sendNotice(); // a test sends "TEST MAIL" even with no new mail
    } else if (n >= 1 || m_test) {
        emit statusChanged(TestDoneStatus);
        const bool shown = !m_test || testDone();
        endCheck();
        if (shown) emit popupShown(); // it waits on its own, and later checks go on
    } else {
        endCheck();
    }
    Retry_Flag = 0;
    settle(true);
}

void MailCheck::announce(const QString &text) {
    if (!m_settings.connection.desktopNotify) return;
    const QStringList lines =
        m_arrivals.isEmpty() || m_test ? QStringList() : withRest(m_arrivals, New_mail_number2);
    emit desktopNotice(text, m_settings.connection.mailCommand, lines);
}

QStringList MailCheck::withRest(QStringList lines, qint64 count) {
    if (!lines.isEmpty() && count > lines.size())
        lines += QStringLiteral("ほか%1通").arg(count - lines.size());
    return lines;
}

void MailCheck::sendNotice(bool freshToken) {
    if (m_smtp || m_awaitingToken) return;
    if (!m_deadline->isActive()) m_deadline->start(m_seams.checkDeadlineMs);
    if (oauth(true))
        withToken(true, freshToken, [this](const QString &token) { openSmtp(token); });
    else
        openSmtp({});
}

void MailCheck::openSmtp(const QString &accessToken) {
    m_smtp = new Form3(newLink(m_seams), this);
    connect(m_smtp, &Form3::statusChanged, this, &MailCheck::statusChanged);
    connect(m_smtp, &Form3::finished, this, &MailCheck::noticeFinished);
    Form3::Params p;
    p.host = m_settings.Smtp_Address;
    p.port = m_seams.smtpPort;
    p.guardMs = m_seams.guardMs;
    p.sender = m_settings.Smtp_mail_address;
    p.recipient = m_settings.Trf_IPAddress;
    p.settingsTest = m_test;
    p.count = New_mail_number;
    if (m_settings.connection.noticeHeaders && !m_test)
        p.headerLines = withRest(m_checkHeaders, New_mail_number);
    const ConnectionSettings &c = m_settings.connection;
    p.security = c.smtpSecurity;
    p.port = settingsfile::serverPort(c, true, m_seams.smtpPort);
    m_ports[1] = p.port;
    p.auth = c.smtpAuth;
    p.authUser = c.smtpUser.isEmpty() ? m_settings.POP_UserID : c.smtpUser;
    p.authPassword = c.smtpPassword.isEmpty() ? m_settings.POP_PassWord : c.smtpPassword;
    p.accessToken = accessToken;
    // Submission servers refuse a sender that is not the account's: the
    // address given for it, else whatever of the others is an address.
    for (const QString &address : {c.smtpFrom, m_settings.Smtp_mail_address, p.authUser}) {
        if (!address.contains(u'@')) continue;
        p.envelopeFrom = address;
        break;
    }
    if (p.envelopeFrom.isEmpty()) p.envelopeFrom = QString::fromLatin1(fixedEnvelopeSender());
    p.fromHeader = c.smtpFrom;
    p.date = m_seams.now ? m_seams.now() : QDateTime::currentDateTime();
    p.tls = tlsOptions(m_seams, p.host, p.port, c.smtpAccepted);
    m_smtp->Form_Load(p);
}

void MailCheck::noticeFinished(const SessionResult &result) {
    Form3 *session = std::exchange(m_smtp, nullptr);
    if (!session) return;
    session->deleteLater();
    if (result.tokenRefused && !std::exchange(m_freshToken[1], true)) {
        sendNotice(true);
        return;
    }
    if (result.outcome != SessionResult::Outcome::Done) {
        sessionFailed(true, result);
        return;
    }
    emit serverReached(true);
    const QString text = m_test ? QStringLiteral("　テスト終了、エラーなし")
                                : QStringLiteral("　メッセージを転送しました");
    emit statusChanged(text);
    m_notSaved = false;
    if (m_test) emit testPassed(false);
    endCheck();
    // The text brings its own ideographic space after the time.
    if (m_notSaved)
        emit logLine(TestNotSavedLog);
    else
        emit logLine(text, false);
    settle(true);
}

void MailCheck::sessionFailed(bool smtp, const SessionResult &result) {
    QString status = result.status, log = result.logMessage;
    if (result.tlsFailed) status = tlsFailure(smtp, result, &log);
    // A failed check is tried again; a notice that did not go out is sent
    // again next time, unless the server refused the message itself.
    emit statusChanged(status);
    if (!log.isEmpty()) emit logLine(log);
    m_failure = status;
    if (!smtp)
        Retry_Flag = saturatingAdd(Retry_Flag, 1);
    else if (!result.refusedForGood)
        TX_flg = 1;
    endCheck();
    settle(false);
}

QString MailCheck::tlsFailure(bool smtp, const SessionResult &result, QString *logMessage) {
    const QString host = smtp ? m_settings.Smtp_Address : m_settings.POP_Address;
    const QString &detail = result.tlsDetail;
    const QString server =
        (smtp ? QStringLiteral("送信サーバ ") : QStringLiteral("受信サーバ ")) + host;
    QString reason;
    switch (result.tlsError) {
    case Link::HandshakeFailed:
        *logMessage = server + QStringLiteral(" とのSSL/TLS接続に失敗しました（") + detail +
                      QStringLiteral("）");
        return QStringLiteral("SSL/TLS接続エラー");
    case Link::UnknownIssuer:
        reason = QStringLiteral("発行者不明");
        break;
    case Link::WrongHostName:
        reason = QStringLiteral("ホスト名不一致");
        break;
    case Link::Expired:
        reason = QStringLiteral("期限切れ");
        break;
    case Link::OtherVerifyError:
        reason = QStringLiteral("検証失敗：") + detail;
        break;
    }
    const QString hex = colonHex(result.fingerprint);
    *logMessage = server + QStringLiteral(" の証明書を確認できません（") + reason +
                  QStringLiteral("） SHA-256 ") + hex;
    emit certificateRefused(smtp, {host, m_ports[smtp ? 1 : 0], hex, reason, result.certificate});
    return QStringLiteral("証明書エラー（") + reason + QStringLiteral("）");
}

void MailCheck::failed(const QString &status, const QString &logMessage) {
    SessionResult r;
    r.status = status;
    r.logMessage = logMessage;
    sessionFailed(false, r);
}

void MailCheck::endCheck() {
    m_dialUp->hangUp();
}

void MailCheck::settle(bool succeeded) {
    if (m_pop3 || m_smtp || m_awaitingToken) return;
    m_deadline->stop();
    emit ended(m_test, m_failure, m_newMail);
    emit finished(succeeded);
}

void MailCheck::deadlinePassed() {
    if (!m_pop3 && !m_smtp && !m_awaitingToken) return;
    // Ended like a link that broke: the sessions stop silently, a notice
    // not confirmed is sent again next time, and the failure is told once.
    abortCheck();
    failed(QStringLiteral("チェック時間切れ"),
           QStringLiteral("メールチェックが制限時間内に終わらなかったため中止しました"));
}

void MailCheck::abortCheck() {
    unload(m_pop3);
    if (m_smtp || (m_awaitingToken && m_tokenForSmtp)) TX_flg = 1;
    stopTokenWait();
    unload(m_smtp);
}

void MailCheck::linkFailed() {
    const QString text = QStringLiteral("ダイヤルアップ接続異常");
    emit statusChanged(text);
    emit logLine(text);
    m_failure = text;
    endCheck();
    Retry_Flag = saturatingAdd(Retry_Flag, 1);
    settle(false);
}

void MailCheck::dialRefused() {
    // A refused retry counts as the retry's failure, or the scheduler would
    // try again every second until the next interval minute.
    if (m_retryAtDial == 1) Retry_Flag = saturatingAdd(Retry_Flag, 1);
}
