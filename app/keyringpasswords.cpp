#include "app/keyringpasswords.h"

#include "check/keyring.h"
#include "platform/atomicfile.h"
#include "windows/passwordprompt.h"

#include <QDir>
#include <QFileInfo>

KeyringPasswords::KeyringPasswords(const QString &configDir, const QString &copiesList,
                                   QObject *parent)
    : QObject(parent), m_configDir(QDir(configDir).absolutePath()), m_copiesList(copiesList) {}

QStringList KeyringPasswords::entries(const SettingsRecord &s) {
    if (!s.connection.keyring) return {};
    QStringList keys{keyring::popKey(s)};
    if (keyring::smtpSeparate(s)) keys << keyring::smtpKey(s);
    return keys;
}

KeyringPasswords::~KeyringPasswords() {
    delete m_prompt;
}

void KeyringPasswords::load(const SettingsRecord &settings) {
    if (!settings.connection.keyring) return;
    m_settings = settings;
    m_reading = settings.connection.keyringSmtp ? 2 : 1;
    m_popFailed = m_smtpFailed = false;
    m_failures.clear();
    auto reader = [this](QString *secret, bool *failed, const QString &key) {
        return [this, secret, failed, key](const keyring::Result &r) {
            if (r.ok && !r.secret.isEmpty()) {
                *secret = r.secret;
            } else {
                *failed = true;
                m_failures << QStringLiteral("「%1」: %2")
                                  .arg(key, r.ok ? QStringLiteral("キーリングのパスワードが空です")
                                                 : r.error);
            }
            --m_reading;
            readDone();
        };
    };
    const QString popKey = keyring::popKey(settings);
    keyring::read(popKey, this, reader(&m_pop, &m_popFailed, popKey));
    if (settings.connection.keyringSmtp) {
        const QString smtpKey = keyring::smtpKey(settings);
        keyring::read(smtpKey, this, reader(&m_smtp, &m_smtpFailed, smtpKey));
    }
}

void KeyringPasswords::readDone() {
    if (m_reading > 0) return;
    if (!m_popFailed && !m_smtpFailed) {
        emit passwordsKnown(m_pop, m_smtp);
        return;
    }
    emit trouble(QStringLiteral("キーリングからパスワードを読めませんでした。\n") +
                 m_failures.join(u'\n'));
    ask();
}

void KeyringPasswords::ask() {
    if (!m_popFailed && !m_smtpFailed) return;
    if (m_prompt) {
        m_prompt->raise();
        m_prompt->activateWindow();
        return;
    }
    // Over the settings window when it is shown: a dialog without a parent
    // is the transient of a hidden leader, and some window managers keep it
    // below everything else.
    QWidget *over = m_window && m_window->isVisible() ? m_window.data() : nullptr;
    m_prompt = new PasswordPrompt(m_failures.join(u'\n'), m_popFailed, keyring::popKey(m_settings),
                                  m_smtpFailed, keyring::smtpKey(m_settings), over);
    connect(m_prompt, &PasswordPrompt::entered, this,
            [this](const QString &pop, const QString &smtp) {
                closePrompt();
                if (m_popFailed) m_pop = pop;
                if (m_smtpFailed) m_smtp = smtp;
                m_popFailed = m_smtpFailed = false;
                emit passwordsKnown(m_pop, m_smtp);
                // Back into the keyring, if it has come meanwhile; the next
                // save tries again otherwise.
                SettingsRecord typed = m_settings;
                typed.POP_PassWord = m_pop;
                typed.connection.smtpPassword = m_smtp;
                store(typed, false);
            });
    connect(m_prompt, &PasswordPrompt::cancelled, this, &KeyringPasswords::closePrompt);
    m_prompt->show();
    m_prompt->raise();
    m_prompt->activateWindow();
}

void KeyringPasswords::closePrompt() {
    PasswordPrompt *p = m_prompt;
    m_prompt.clear();
    if (!p) return;
    p->hide();
    p->deleteLater(); // its handler may be on the stack
}

bool KeyringPasswords::mayCheck(const SettingsRecord &s) const {
    if (!s.connection.keyring) return true;
    return !reading() && !s.POP_PassWord.isEmpty();
}

void KeyringPasswords::saved(const SettingsRecord &before, const SettingsRecord &after) {
    // Only what this copy wrote, and no longer uses, may go.
    QStringList stale = before.connection.keyringEntries;
    for (const QString &key : after.connection.keyringEntries)
        stale.removeAll(key);
    if (after.connection.keyring) {
        if (!after.POP_PassWord.isEmpty()) {
            // Typed into the settings window instead: nothing left to ask.
            closePrompt();
            m_popFailed = m_smtpFailed = false;
        }
        store(after, true);
    } else {
        // Turned off: the files hold the passwords again.
        closePrompt();
        m_popFailed = m_smtpFailed = false;
    }
    stale.removeDuplicates();
    listThisCopy(!after.connection.keyringEntries.isEmpty());
    for (const QString &key : std::as_const(stale))
        if (!namedElsewhere(key)) drop(key);
    m_settings = after;
}

bool KeyringPasswords::namedElsewhere(const QString &key) const {
    if (m_copiesList.isEmpty()) return false;
    const std::optional<QByteArray> list = readRegularFile(m_copiesList, 1 << 20);
    if (!list) return false;
    for (const QString &dir : QString::fromUtf8(*list).split(u'\n', Qt::SkipEmptyParts))
        if (dir != m_configDir && settingsfile::keyringEntries(dir).contains(key)) return true;
    return false;
}

void KeyringPasswords::listThisCopy(bool listed) {
    if (m_copiesList.isEmpty()) return;
    const std::optional<QByteArray> bytes = readRegularFile(m_copiesList, 1 << 20);
    QStringList dirs =
        bytes ? QString::fromUtf8(*bytes).split(u'\n', Qt::SkipEmptyParts) : QStringList();
    // Copies whose settings are gone, or keep no entries any more, leave it too.
    QStringList kept;
    for (const QString &dir : std::as_const(dirs))
        if (dir != m_configDir && !settingsfile::keyringEntries(dir).isEmpty()) kept << dir;
    if (listed) kept << m_configDir;
    if (kept == dirs) return;
    QDir().mkpath(QFileInfo(m_copiesList).path());
    // Unwritten, it costs only this copy's protection from the others.
    writeFileAtomically(m_copiesList,
                        kept.isEmpty() ? QByteArray() : kept.join(u'\n').toUtf8() + '\n');
}

void KeyringPasswords::store(const SettingsRecord &s, bool loud) {
    auto told = [this, loud](const keyring::Result &r) {
        if (r.ok) return;
        const QString text =
            QStringLiteral("パスワードをキーリングに保存できませんでした。\n") + r.error;
        if (loud)
            emit trouble(text);
        else
            emit note(text);
    };
    // An empty password is never stored over a good one.
    if (!s.POP_PassWord.isEmpty()) keyring::write(keyring::popKey(s), s.POP_PassWord, this, told);
    if (keyring::smtpSeparate(s))
        keyring::write(keyring::smtpKey(s), s.connection.smtpPassword, this, told);
}

void KeyringPasswords::drop(const QString &key) {
    keyring::remove(key, this, [this, key](const keyring::Result &r) {
        if (!r.ok)
            emit trouble(QStringLiteral("キーリングから「%1」を削除できませんでした。\n%2")
                             .arg(key, r.error));
    });
}
