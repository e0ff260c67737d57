#include "windows/connection.h"

#include "windows/providers.h"
#include "windows/resources.h"
#include "windows/singleline.h"
#include "windows/twips.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>

namespace {

using Security = ConnectionSettings::Security;

const QString kTitle = QStringLiteral("接続設定");
const QString kNothingRefused = QStringLiteral("検証できなかった証明書はありません");

void place(QWidget *w, int left, int top, int width, int height) {
    w->setGeometry(twRect(left, top, width, height));
}

QLabel *label(QWidget *parent, const QString &name, const QString &caption, int l, int t, int w,
              int h) {
    auto *lb = new QLabel(caption, parent);
    lb->setObjectName(name);
    place(lb, l, t, w, h);
    return lb;
}

QPushButton *button(QWidget *parent, const QString &name, const QString &caption, int l, int t,
                    int w, int h) {
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    place(b, l, t, w, h);
    return b;
}

QLineEdit *textBox(QWidget *parent, const QString &name, int l, int t, int w, int h) {
    QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
    font.setPointSizeF(11.25); // QFont's constructor would cut it to 11
    auto *e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setFont(font);
    dropLineBreaks(e);
    place(e, l, t, w, h);
    return e;
}

QString hexDigits(const QString &text) {
    QString out;
    for (QChar c : text)
        if (c.isDigit() || (c.toUpper() >= u'A' && c.toUpper() <= u'F')) out += c.toUpper();
    return out;
}

// An IPv6 address in brackets, so its port stands apart.
QString serverText(const QString &host, quint16 port) {
    return (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
}

// The ports used when the box is left empty, as the sessions choose them.
QString defaultPort(int side, Security s) {
    if (side == 0) return s == Security::Tls ? QStringLiteral("995") : QStringLiteral("110");
    switch (s) {
    case Security::None:
        return QStringLiteral("25");
    case Security::StartTls:
        return QStringLiteral("587");
    case Security::Tls:
        break;
    }
    return QStringLiteral("465");
}

} // namespace

QString ConnectionDialog::displayFingerprint(const QString &hex) {
    const QString digits = hexDigits(hex);
    QString out;
    for (qsizetype i = 0; i + 1 < digits.size(); i += 2) {
        if (i > 0) out += i % 32 == 0 ? u'\n' : u':';
        out += digits.mid(i, 2);
    }
    return out;
}

ConnectionDialog::ConnectionDialog(const ConnectionSettings &settings, MessageBox messageBox,
                                   QWidget *parent, Question question)
    : QDialog(parent), m_settings(settings), m_messageBox(std::move(messageBox)),
      m_question(std::move(question)) {
    setObjectName(kTitle);
    setWindowTitle(kTitle);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setWindowIcon(programIcon());
    // The settings window waits behind it; closing this one must not end the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowModality(Qt::WindowModal);
    setFixedSize(twSize(13470, 14505));

    // A provider fills in what its users would otherwise look up.
    label(this, QStringLiteral("LabelPreset"), QStringLiteral("プロバイダ"), 240, 240, 1095, 255);
    m_preset = new QComboBox(this);
    m_preset->setObjectName(QStringLiteral("Preset"));
    place(m_preset, 1380, 180, 3615, 375);
    m_preset->addItem(QStringLiteral("手動設定"));
    for (const Provider &p : providers::all())
        m_preset->addItem(p.name, p.key);
    m_presetHint = label(this, QStringLiteral("PresetHint"), QString(), 5160, 240, 8070, 255);
    connect(m_preset, &QComboBox::activated, this, &ConnectionDialog::presetChosen);

    auto *pop = new QGroupBox(QStringLiteral("受信（POP3）"), this);
    pop->setObjectName(QStringLiteral("FramePop"));
    place(pop, 240, 720, 6375, 3870);
    buildSide(0, pop, 840);

    auto *smtp = new QGroupBox(QStringLiteral("送信（SMTP）"), this);
    smtp->setObjectName(QStringLiteral("FrameSmtp"));
    place(smtp, 240, 4695, 6375, 5790);
    // Authentication sits between the encryption row and the certificate.
    m_auth = new QCheckBox(QStringLiteral("認証する"), smtp);
    m_auth->setObjectName(QStringLiteral("SmtpAuth"));
    place(m_auth, 240, 720, 1455, 375);
    label(smtp, QStringLiteral("LabelSmtpUser"), QStringLiteral("ユーザ名"), 480, 1320, 1335, 255);
    m_user = textBox(smtp, QStringLiteral("SmtpUser"), 1920, 1200, 4215, 375);
    m_user->setPlaceholderText(QStringLiteral("空欄: ユーザアカウントと同じ"));
    label(smtp, QStringLiteral("LabelSmtpPassword"), QStringLiteral("パスワード"), 480, 1800, 1335,
          255);
    m_smtpPassword = textBox(smtp, QStringLiteral("SmtpPassword"), 1920, 1680, 4215, 375);
    m_smtpPassword->setEchoMode(QLineEdit::Password);
    m_smtpPassword->setAttribute(Qt::WA_InputMethodEnabled, false);
    m_smtpPassword->setPlaceholderText(QStringLiteral("空欄: メールサーバパスワードと同じ"));
    label(smtp, QStringLiteral("LabelSmtpFrom"), QStringLiteral("送信元アドレス"), 480, 2280, 1335,
          255);
    m_from = textBox(smtp, QStringLiteral("SmtpFrom"), 1920, 2160, 4215, 375);
    m_from->setPlaceholderText(QStringLiteral("認証するアカウントのメールアドレス"));
    buildSide(1, smtp, 2760);

    // The desktop's services: kept apart from the servers above.
    auto *desktop = new QGroupBox(QStringLiteral("デスクトップ"), this);
    desktop->setObjectName(QStringLiteral("FrameDesktop"));
    place(desktop, 240, 10590, 6375, 1095);
    m_keyring = new QCheckBox(QStringLiteral("パスワードをキーリングに保存する"), desktop);
    m_keyring->setObjectName(QStringLiteral("Keyring"));
    m_keyring->setToolTip(QStringLiteral("パスワードを設定ファイルに書かず、デスクトップの"
                                         "キーリング（Secret Service）に保存します"));
    place(m_keyring, 240, 300, 5895, 315);
    m_autostart = new QCheckBox(QStringLiteral("ログイン時に起動する"), desktop);
    m_autostart->setObjectName(QStringLiteral("Autostart"));
    place(m_autostart, 240, 660, 5895, 315);

    auto *notice = new QGroupBox(QStringLiteral("通知"), this);
    notice->setObjectName(QStringLiteral("FrameNotify"));
    place(notice, 240, 11790, 6375, 2055);
    m_notify = new QCheckBox(QStringLiteral("新着メールをデスクトップの通知でも知らせる"), notice);
    m_notify->setObjectName(QStringLiteral("DesktopNotify"));
    place(m_notify, 240, 360, 5895, 255);
    label(notice, QStringLiteral("LabelMailCommand"), QStringLiteral("メールソフト"), 480, 840,
          1335, 255);
    m_mailCommand = textBox(notice, QStringLiteral("MailCommand"), 1920, 720, 4215, 375);
    m_mailCommand->setPlaceholderText(QStringLiteral("空欄: デスクトップの既定のメールソフト"));
    connect(m_notify, &QCheckBox::toggled, this, &ConnectionDialog::notifyChanged);
    // Subjects on a locked screen are not for everyone: off, nothing is read.
    m_showHeaders = new QCheckBox(QStringLiteral("差出人と件名を表示する"), notice);
    m_showHeaders->setObjectName(QStringLiteral("ShowHeaders"));
    place(m_showHeaders, 240, 1260, 5895, 255);
    m_noticeHeaders = new QCheckBox(QStringLiteral("転送メールに差出人と件名を含める"), notice);
    m_noticeHeaders->setObjectName(QStringLiteral("NoticeHeaders"));
    place(m_noticeHeaders, 240, 1620, 5895, 255);

    // How POP3 and SMTP authentication sign in.
    auto *signIn = new QGroupBox(QStringLiteral("サインイン"), this);
    signIn->setObjectName(QStringLiteral("FrameSignIn"));
    place(signIn, 6855, 720, 6375, 3150);
    label(signIn, QStringLiteral("LabelSignIn"), QStringLiteral("方式"), 240, 360, 1335, 255);
    m_password = new QRadioButton(QStringLiteral("パスワード"), signIn);
    m_password->setObjectName(QStringLiteral("SignInPassword"));
    place(m_password, 1620, 360, 1455, 255);
    m_oauth = new QRadioButton(QStringLiteral("OAuth"), signIn);
    m_oauth->setObjectName(QStringLiteral("SignInOAuth"));
    place(m_oauth, 3120, 360, 1095, 255);
    label(signIn, QStringLiteral("LabelOAuthSource"), QStringLiteral("トークン"), 240, 780, 1335,
          255);
    auto *sources = new QWidget(signIn); // its own group of radio buttons
    place(sources, 1620, 720, 4515, 375);
    m_oauthOwn = new QRadioButton(QStringLiteral("ブラウザでサインイン"), sources);
    m_oauthOwn->setObjectName(QStringLiteral("OAuthOwn"));
    place(m_oauthOwn, 0, 60, 2295, 255);
    m_oauthDesktop = new QRadioButton(QStringLiteral("オンラインアカウント"), sources);
    m_oauthDesktop->setObjectName(QStringLiteral("OAuthDesktop"));
    m_oauthDesktop->setToolTip(
        QStringLiteral("GNOME オンラインアカウントにあるメールアドレスのアカウントを使います"));
    place(m_oauthDesktop, 2340, 60, 2175, 255);
    label(signIn, QStringLiteral("LabelOAuthProvider"), QStringLiteral("プロバイダ"), 240, 1260,
          1335, 255);
    m_provider = new QComboBox(signIn);
    m_provider->setObjectName(QStringLiteral("OAuthProvider"));
    place(m_provider, 1620, 1170, 4515, 375);
    label(signIn, QStringLiteral("LabelOAuthClientId"), QStringLiteral("クライアントID"), 240, 1740,
          1335, 255);
    m_clientId = textBox(signIn, QStringLiteral("OAuthClientId"), 1620, 1620, 4515, 375);
    m_signIn = button(signIn, QStringLiteral("OAuthSignIn"), QStringLiteral("サインイン"), 1620,
                      2100, 1455, 375);
    m_oauthState = label(signIn, QStringLiteral("OAuthState"), QString(), 3180, 2100, 2955, 915);
    m_oauthState->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_oauthState->setWordWrap(true);
    m_oauthState->setTextFormat(Qt::PlainText); // a provider's error text is not markup
    for (QRadioButton *o : {m_password, m_oauth, m_oauthOwn, m_oauthDesktop})
        connect(o, &QRadioButton::toggled, this, &ConnectionDialog::signInChanged);
    connect(m_provider, &QComboBox::currentIndexChanged, this, &ConnectionDialog::signInChanged);
    connect(m_clientId, &QLineEdit::textChanged, this, &ConnectionDialog::signInChanged);
    connect(m_signIn, &QPushButton::clicked, this, &ConnectionDialog::signInClicked);

    m_ok =
        button(this, QStringLiteral("Command1"), QStringLiteral("Ｏ　Ｋ"), 10560, 13950, 1215, 375);
    m_cancel = button(this, QStringLiteral("Command2"), QStringLiteral("キャンセル"), 12000, 13950,
                      1215, 375);
    connect(m_ok, &QPushButton::clicked, this, &ConnectionDialog::Command1_Click);
    connect(m_cancel, &QPushButton::clicked, this, &ConnectionDialog::reject);
    connect(m_auth, &QCheckBox::toggled, this, &ConnectionDialog::authChanged);

    // The settings into the controls.
    const Security securities[] = {settings.popSecurity, settings.smtpSecurity};
    const quint16 ports[] = {settings.popPort, settings.smtpPort};
    m_side[0].accepted = settings.popAccepted;
    m_side[1].accepted = settings.smtpAccepted;
    for (int i = 0; i < 2; ++i) {
        m_side[i].security[int(securities[i])]->setChecked(true);
        if (ports[i] != 0) m_side[i].port->setText(QString::number(ports[i]));
        securityChanged(i);
        showSide(i);
    }
    m_auth->setChecked(settings.smtpAuth);
    m_user->setText(settings.smtpUser);
    m_smtpPassword->setText(settings.smtpPassword);
    m_from->setText(settings.smtpFrom);
    m_keyring->setChecked(settings.keyring);
    authChanged();
    m_notify->setChecked(settings.desktopNotify);
    m_mailCommand->setText(settings.mailCommand);
    m_showHeaders->setChecked(settings.showHeaders);
    m_noticeHeaders->setChecked(settings.noticeHeaders);
    notifyChanged();
    const bool oauth = settings.signIn == ConnectionSettings::SignIn::OAuth;
    (oauth ? m_oauth : m_password)->setChecked(true);
    (settings.oauthDesktop ? m_oauthDesktop : m_oauthOwn)->setChecked(true);
    m_clientId->setText(settings.oauthClientId);
    m_refreshToken = settings.oauthRefreshToken;
    setOAuth(oauth::builtinProviders(), {});
}

void ConnectionDialog::setOAuth(const QList<OAuthProvider> &providers, SignInRunner runner) {
    m_providers = providers;
    m_runner = std::move(runner);
    const QSignalBlocker blocker(m_provider);
    m_provider->clear();
    for (const OAuthProvider &p : providers)
        m_provider->addItem(p.name, p.key);
    m_provider->setCurrentIndex(qMax(0, m_provider->findData(m_settings.oauthProvider)));
    signInChanged();
}

void ConnectionDialog::setDesktopAccounts(bool available) {
    m_desktopAccounts = available;
    signInChanged();
}

OAuthProvider ConnectionDialog::chosenProvider() const {
    OAuthProvider p = m_providers.value(m_provider->currentIndex());
    if (const QString typed = m_clientId->text().trimmed(); !typed.isEmpty()) {
        p.clientId = typed;
        p.clientSecret.clear();
    }
    return p;
}

void ConnectionDialog::signInChanged() {
    if (!m_oauthState) return; // still being built
    const bool oauth = m_oauth->isChecked();
    // Offered only where the desktop has it; a choice made before stays visible.
    m_oauthDesktop->setEnabled(oauth && (m_desktopAccounts || m_oauthDesktop->isChecked()));
    m_oauthOwn->setEnabled(oauth);
    const bool own = oauth && m_oauthOwn->isChecked();
    for (const char *name : {"LabelOAuthSource"})
        findChild<QLabel *>(QLatin1String(name))->setEnabled(oauth);
    for (const char *name : {"LabelOAuthProvider", "LabelOAuthClientId"})
        findChild<QLabel *>(QLatin1String(name))->setEnabled(own);
    m_provider->setEnabled(own);
    m_clientId->setEnabled(own);
    const OAuthProvider p = chosenProvider();
    const QString built = m_providers.value(m_provider->currentIndex()).clientId;
    m_clientId->setPlaceholderText(built.isEmpty() ? QStringLiteral("未登録：入力してください")
                                                   : QStringLiteral("空欄: 組み込みのID"));
    m_signIn->setEnabled(own && !p.clientId.isEmpty() && m_runner && !m_signingIn);
    QString state;
    if (!oauth) {
        state.clear();
    } else if (m_oauthDesktop->isChecked()) {
        state = m_desktopAccounts ? QStringLiteral("ユーザアカウントのメールアドレスの"
                                                   "オンラインアカウントを使います")
                                  : QStringLiteral("GNOME オンラインアカウントがありません");
    } else if (p.clientId.isEmpty()) {
        // Said here, not at check time.
        state = QStringLiteral("このビルドには%1のクライアントIDがありません。IDを入力してください")
                    .arg(p.name) +
                (m_desktopAccounts ? QString()
                                   : QStringLiteral("（GNOME オンラインアカウントもありません）"));
    } else if (m_signingIn) {
        state = QStringLiteral("ブラウザでサインインしてください…");
    } else {
        state = m_refreshToken.isEmpty() ? QStringLiteral("まだサインインしていません")
                                         : QStringLiteral("サインイン済み");
    }
    m_oauthState->setText(state);
}

void ConnectionDialog::signInClicked() {
    if (!m_runner || m_signingIn) return;
    ConnectionSettings c = m_settings;
    const OAuthProvider p = chosenProvider();
    c.oauthProvider = p.key;
    c.oauthClientId = m_clientId->text().trimmed();
    m_signingIn = true;
    signInChanged();
    m_runner(c, this, [this](bool ok, const QString &refreshToken, const QString &message) {
        m_signingIn = false;
        if (ok) m_refreshToken = refreshToken;
        signInChanged();
        if (!ok) m_oauthState->setText(message);
    });
}

void ConnectionDialog::setAutostart(bool on) {
    m_autostart->setChecked(on);
}

bool ConnectionDialog::autostart() const {
    return m_autostart->isChecked();
}

void ConnectionDialog::buildSide(int index, QWidget *frame, int certTop) {
    Side &s = m_side[index];
    const QString prefix = index == 0 ? QStringLiteral("Pop") : QStringLiteral("Smtp");
    label(frame, QStringLiteral("Label%1Security").arg(prefix), QStringLiteral("暗号化"), 240, 360,
          795, 255);
    const QString captions[] = {QStringLiteral("なし"),
                                index == 0 ? QStringLiteral("STLS") : QStringLiteral("STARTTLS"),
                                QStringLiteral("SSL/TLS")};
    const char *names[] = {"None", "StartTls", "Tls"};
    const int lefts[] = {1080, 1860, 3240};
    const int widths[] = {735, 1335, 1095};
    for (int i = 0; i < 3; ++i) {
        auto *o = new QRadioButton(captions[i], frame);
        o->setObjectName(prefix + QLatin1String(names[i]));
        place(o, lefts[i], 360, widths[i], 255);
        connect(o, &QRadioButton::toggled, this, [this, index] { securityChanged(index); });
        s.security[i] = o;
    }
    label(frame, QStringLiteral("Label%1Port").arg(prefix), QStringLiteral("ポート"), 4440, 360,
          660, 255);
    s.port = textBox(frame, prefix + QStringLiteral("Port"), 5160, 240, 975, 375);

    label(frame, QStringLiteral("Label%1Certificate").arg(prefix), QStringLiteral("証明書"), 240,
          certTop, 795, 255);
    s.fingerprint =
        label(frame, prefix + QStringLiteral("Fingerprint"), QString(), 1080, certTop, 5055, 735);
    s.fingerprint->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    s.fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    s.refused = label(frame, prefix + QStringLiteral("Refused"), QString(), 1080, certTop + 780,
                      5055, 1710);
    s.refused->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    s.refused->setText(kNothingRefused);
    s.refused->setTextInteractionFlags(Qt::TextSelectableByMouse);
    s.trust = button(frame, prefix + QStringLiteral("Trust"), QStringLiteral("証明書を信頼する"),
                     1080, certTop + 2535, 1935, 375);
    s.forget = button(frame, prefix + QStringLiteral("Forget"), QStringLiteral("解除"), 3120,
                      certTop + 2535, 855, 375);
    connect(s.trust, &QPushButton::clicked, this, [this, index] {
        const RefusedCertificate &r = m_side[index].refusedCert;
        // For the server it came from, and no other.
        m_side[index].accepted = {r.host, r.port, r.fingerprintHex};
        showSide(index);
    });
    connect(s.forget, &QPushButton::clicked, this, [this, index] {
        m_side[index].accepted = {};
        showSide(index);
    });
}

void ConnectionDialog::showSide(int index) {
    Side &s = m_side[index];
    const AcceptedCertificate &a = s.accepted;
    const RefusedCertificate &r = s.refusedCert;
    s.fingerprint->setText(a.sha256.isEmpty()
                               ? QStringLiteral("（なし）")
                               : serverText(a.host, a.port) + u'\n' + displayFingerprint(a.sha256));
    s.forget->setEnabled(!a.sha256.isEmpty());
    s.trust->setEnabled(!r.fingerprintHex.isEmpty() &&
                        (hexDigits(r.fingerprintHex) != hexDigits(a.sha256) || r.host != a.host ||
                         r.port != a.port));
}

void ConnectionDialog::setRefused(bool smtp, const RefusedCertificate &certificate) {
    Side &s = m_side[smtp ? 1 : 0];
    s.refusedCert = certificate;
    if (certificate.fingerprintHex.isEmpty()) {
        s.refused->setText(kNothingRefused);
        s.refused->setToolTip({});
    } else {
        // What the certificate says of itself, a line each, cut to the
        // panel's width; the whole of it in the tool tip.
        const CertificateInfo &c = certificate.certificate;
        const auto date = [](const QDateTime &t) {
            return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy/MM/dd"))
                               : QStringLiteral("？");
        };
        const QStringList lines{
            QStringLiteral("検証できなかった証明書（%1）").arg(certificate.reason),
            QStringLiteral("サーバ: ") + serverText(certificate.host, certificate.port),
            QStringLiteral("発行先: ") + c.subject,
            QStringLiteral("別名: ") + c.altNames.join(QStringLiteral(", ")),
            QStringLiteral("発行者: ") + c.issuer,
            QStringLiteral("有効期間: %1 ～ %2").arg(date(c.notBefore), date(c.notAfter))};
        QStringList shown;
        for (const QString &line : lines)
            shown << s.refused->fontMetrics().elidedText(line, Qt::ElideRight,
                                                         s.refused->width() - 2);
        s.refused->setText(shown.join(u'\n') + u'\n' +
                           displayFingerprint(certificate.fingerprintHex));
        s.refused->setToolTip(lines.join(u'\n'));
    }
    showSide(smtp ? 1 : 0);
}

ConnectionSettings::Security ConnectionDialog::security(int index) const {
    for (int i = 0; i < 3; ++i)
        if (m_side[index].security[i]->isChecked()) return Security(i);
    return Security::None;
}

void ConnectionDialog::securityChanged(int index) {
    if (!m_side[index].port) return; // still being built
    m_side[index].port->setPlaceholderText(defaultPort(index, security(index)));
}

void ConnectionDialog::authChanged() {
    const bool on = m_auth->isChecked();
    for (const char *name : {"LabelSmtpUser", "LabelSmtpPassword", "LabelSmtpFrom"})
        findChild<QLabel *>(QLatin1String(name))->setEnabled(on);
    for (QLineEdit *e : {m_user, m_smtpPassword, m_from})
        e->setEnabled(on);
}

void ConnectionDialog::notifyChanged() {
    const bool on = m_notify->isChecked();
    findChild<QLabel *>(QStringLiteral("LabelMailCommand"))->setEnabled(on);
    m_mailCommand->setEnabled(on);
}

bool ConnectionDialog::readPort(int index, quint16 &port) {
    const QString text = m_side[index].port->text().trimmed();
    bool ok = true;
    const uint value = text.isEmpty() ? 0 : text.toUInt(&ok);
    if (ok && value <= 65535 && (text.isEmpty() || value >= 1)) {
        port = quint16(value);
        return true;
    }
    if (m_messageBox)
        m_messageBox(
            this, kTitle,
            QStringLiteral("%1のポートには 1 から 65535 までの数字を入力してください。\n"
                           "空欄にすると標準のポート（%2）を使います。")
                .arg(index == 0 ? QStringLiteral("受信（POP3）") : QStringLiteral("送信（SMTP）"),
                     defaultPort(index, security(index))));
    m_side[index].port->setFocus();
    return false;
}

void ConnectionDialog::Command1_Click() {
    if (m_done) return;
    ConnectionSettings c = m_settings;
    if (!readPort(0, c.popPort) || !readPort(1, c.smtpPort)) return;
    c.popSecurity = security(0);
    c.smtpSecurity = security(1);
    c.smtpAuth = m_auth->isChecked();
    // A password never goes over an unencrypted connection.
    if (c.smtpAuth && c.smtpSecurity == Security::None) {
        if (m_messageBox)
            m_messageBox(this, kTitle,
                         QStringLiteral("認証するには送信（SMTP）の暗号化で STARTTLS か SSL/TLS "
                                        "を選んでください。\n"
                                        "暗号化しない接続ではパスワードを送りません。"));
        return;
    }
    c.smtpUser = m_user->text();
    c.smtpPassword = m_smtpPassword->text();
    c.smtpFrom = m_from->text().trimmed();
    c.popAccepted = m_side[0].accepted;
    c.smtpAccepted = m_side[1].accepted;
    c.desktopNotify = m_notify->isChecked();
    c.mailCommand = m_mailCommand->text().trimmed();
    c.showHeaders = m_showHeaders->isChecked();
    c.noticeHeaders = m_noticeHeaders->isChecked();
    c.keyring = m_keyring->isChecked();
    const bool oauth = m_oauth->isChecked();
    c.signIn = oauth ? ConnectionSettings::SignIn::OAuth : ConnectionSettings::SignIn::Password;
    c.oauthDesktop = oauth && m_oauthDesktop->isChecked();
    // Untouched while OAuth is not chosen: a user with a password keeps none.
    if (oauth) c.oauthProvider = chosenProvider().key;
    c.oauthClientId = m_clientId->text().trimmed();
    // Another provider or client cannot use the old grant; a new sign-in
    // made here is for the ones chosen.
    const bool sameClient =
        c.oauthProvider == m_settings.oauthProvider && c.oauthClientId == m_settings.oauthClientId;
    const bool signedInHere = m_refreshToken != m_settings.oauthRefreshToken;
    c.oauthRefreshToken = sameClient || signedInHere ? m_refreshToken : QString();
    if (oauth && c.popSecurity == Security::None) {
        if (m_messageBox)
            m_messageBox(this, kTitle,
                         QStringLiteral("OAuthでサインインするには受信（POP3）の暗号化で STLS か "
                                        "SSL/TLS を選んでください。"));
        return;
    }
    if (oauth && !c.oauthDesktop && chosenProvider().clientId.isEmpty()) {
        if (m_messageBox) m_messageBox(this, kTitle, m_oauthState->text());
        return;
    }
    // A port of the other security would only fail at the next test: said
    // now, but the user may know better (a server of unusual habits).
    QStringList warnings;
    for (const QString &w :
         {portMismatch(0, c.popSecurity, c.popPort), portMismatch(1, c.smtpSecurity, c.smtpPort)})
        if (!w.isEmpty()) warnings << w;
    if (warnings.isEmpty() || !m_question) {
        acceptSettings(c);
        return;
    }
    const QPointer<ConnectionDialog> self(this);
    m_question(this, kTitle, warnings.join(u'\n') + QStringLiteral("\nこのまま設定しますか？"),
               [self, c] {
                   if (self) self->acceptSettings(c);
               });
}

void ConnectionDialog::presetChosen(int index) {
    const int at = index - 1; // after 手動設定
    if (at < 0 || at >= providers::all().size()) {
        m_presetHint->clear();
        return;
    }
    const Provider &p = providers::all()[at];
    const Security securities[] = {p.popSecurity, p.smtpSecurity};
    const quint16 ports[] = {p.popPort, p.smtpPort};
    for (int i = 0; i < 2; ++i) {
        m_side[i].security[int(securities[i])]->setChecked(true);
        m_side[i].port->setText(QString::number(ports[i]));
    }
    // A submission port takes no mail without authentication.
    m_auth->setChecked(p.smtpSecurity != Security::None);
    (p.oauthSignIn ? m_oauth : m_password)->setChecked(true);
    if (const int i = m_provider->findData(p.oauthProvider); i >= 0) m_provider->setCurrentIndex(i);
    m_presetHint->setText(p.hint);
    m_presetHint->setToolTip(p.hint);
}

void ConnectionDialog::acceptSettings(const ConnectionSettings &c) {
    if (m_done) return;
    m_done = true;
    if (const int at = m_preset->currentIndex() - 1; at >= 0 && at < providers::all().size())
        emit serversChosen(providers::all()[at].popServer, providers::all()[at].smtpServer);
    emit settingsAccepted(c);
}

QString ConnectionDialog::portMismatch(int index, Security security, quint16 port) {
    const QString side =
        index == 0 ? QStringLiteral("受信（POP3）") : QStringLiteral("送信（SMTP）");
    const bool tlsPort = port == (index == 0 ? 995 : 465);
    const bool plainPort = index == 0 ? port == 110 : port == 25 || port == 587;
    if (security != Security::Tls && tlsPort)
        return QStringLiteral("%1のポート %2 はSSL/TLS用です。暗号化で「SSL/TLS」を選ばないと"
                              "接続できません。")
            .arg(side)
            .arg(port);
    if (security == Security::Tls && plainPort)
        return QStringLiteral("%1のポート %2 はSSL/TLS用ではありません。暗号化で「%3」か"
                              "「なし」を選ぶか、ポートを空欄にしてください。")
            .arg(side)
            .arg(port)
            .arg(index == 0 ? QStringLiteral("STLS") : QStringLiteral("STARTTLS"));
    return {};
}

void ConnectionDialog::reject() {
    // Esc and the close box come here too.
    if (m_done) return;
    m_done = true;
    emit cancelled();
}
