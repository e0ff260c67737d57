#include "windows/passwordprompt.h"

#include "windows/resources.h"
#include "windows/singleline.h"
#include "windows/twips.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

void place(QWidget *w, int left, int top, int width, int height) {
    w->setGeometry(twRect(left, top, width, height));
}

QLineEdit *passwordBox(QWidget *parent, const QString &name, int top) {
    QFont font(QStringLiteral("ＭＳ Ｐゴシック"));
    font.setPointSizeF(11.25);
    auto *e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setFont(font);
    e->setEchoMode(QLineEdit::Password);
    e->setAttribute(Qt::WA_InputMethodEnabled, false);
    dropLineBreaks(e);
    place(e, 2160, top, 3735, 375);
    return e;
}

} // namespace

PasswordPrompt::PasswordPrompt(const QString &reason, bool askPop, const QString &popAccount,
                               bool askSmtp, const QString &smtpAccount, QWidget *parent)
    : QDialog(parent) {
    const QString title = QStringLiteral("パスワードの入力");
    setObjectName(QStringLiteral("PasswordPrompt"));
    setWindowTitle(title);
    // Without a window to open over, a window of its own: a dialog would be
    // the transient of the hidden leader window.
    setWindowFlags((parent ? Qt::Dialog : Qt::Window) | Qt::CustomizeWindowHint |
                   Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowIcon(programIcon());
    setAttribute(Qt::WA_QuitOnClose, false);

    auto *why =
        new QLabel(reason + QStringLiteral("\nチェックに使うパスワードを入力してください。"), this);
    why->setObjectName(QStringLiteral("Label1"));
    why->setWordWrap(true);
    why->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(why, 240, 180, 5655, 975);

    int top = 1320;
    auto row = [&](const QString &caption, const QString &account, const QString &name) {
        auto *lb = new QLabel(caption, this);
        lb->setObjectName(QStringLiteral("Label") + name);
        place(lb, 240, top + 60, 1875, 255);
        QLineEdit *e = passwordBox(this, name, top);
        e->setToolTip(account);
        auto *acc = new QLabel(account, this);
        acc->setObjectName(QStringLiteral("Account") + name);
        place(acc, 2160, top + 420, 3735, 255);
        top += 840;
        return e;
    };
    if (askPop)
        m_pop = row(QStringLiteral("メールサーバ"), popAccount, QStringLiteral("PromptPop"));
    if (askSmtp)
        m_smtp = row(QStringLiteral("送信（SMTP）"), smtpAccount, QStringLiteral("PromptSmtp"));

    auto *ok = new QPushButton(QStringLiteral("Ｏ　Ｋ"), this);
    ok->setObjectName(QStringLiteral("Command1"));
    ok->setDefault(true);
    place(ok, 3240, top + 60, 1215, 375);
    auto *cancel = new QPushButton(QStringLiteral("キャンセル"), this);
    cancel->setObjectName(QStringLiteral("Command2"));
    cancel->setAutoDefault(false);
    place(cancel, 4680, top + 60, 1215, 375);
    setFixedSize(twSize(6135, top + 615));
    connect(ok, &QPushButton::clicked, this, &PasswordPrompt::Command1_Click);
    connect(cancel, &QPushButton::clicked, this, &PasswordPrompt::reject);
}

void PasswordPrompt::Command1_Click() {
    if (m_done) return;
    // Nothing empty goes back: an empty password is never tried.
    for (QLineEdit *e : {m_pop, m_smtp})
        if (e && e->text().isEmpty()) {
            e->setFocus();
            return;
        }
    m_done = true;
    emit entered(m_pop ? m_pop->text() : QString(), m_smtp ? m_smtp->text() : QString());
}

void PasswordPrompt::reject() {
    if (m_done) return;
    m_done = true;
    emit cancelled();
}
