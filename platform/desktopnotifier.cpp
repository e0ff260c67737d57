#include "platform/desktopnotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QProcess>

namespace {
const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString AppName = QStringLiteral("クイルモン7400");
const QString IconName = QStringLiteral("quilmon7400");
const QString OpenMail = QStringLiteral("open-mail");
const QString OpenMailLabel = QStringLiteral("メールを開く");
const QString OpenSettings = QStringLiteral("open-settings");
} // namespace

DesktopNotifier::DesktopNotifier(std::function<QDBusConnection()> openBus,
                                 StartProcess startProcess, QObject *parent)
    : QObject(parent), m_openBus(std::move(openBus)), m_startProcess(std::move(startProcess)) {}

QDBusConnection &DesktopNotifier::bus() {
    if (!m_bus) {
        m_bus = m_openBus ? m_openBus() : QDBusConnection(QStringLiteral("quil-no-bus"));
        m_bus->connect(Service, Path, Service, QStringLiteral("ActionInvoked"), this,
                       SLOT(onActionInvoked(uint, QString)));
    }
    return *m_bus;
}

QStringList DesktopNotifier::mailClient(const QString &command) {
    QStringList words = QProcess::splitCommand(command);
    if (words.isEmpty() || words.constFirst().isEmpty())
        return {QStringLiteral("xdg-open"), QStringLiteral("mailto:")};
    return words;
}

void DesktopNotifier::notify(const QString &text, const QString &mailCommand,
                             const QStringList &lines) {
    if (lines.isEmpty()) {
        m_next = Notice{AppName, text, mailCommand};
    } else {
        // The body is markup to the service: a subject shows as typed.
        QStringList escaped;
        for (const QString &line : lines)
            escaped += line.toHtmlEscaped();
        m_next = Notice{text, escaped.join(u'\n'), mailCommand};
    }
    if (!m_sending) send();
}

void DesktopNotifier::send() {
    if (!m_next) return;
    const auto [summary, body, command, opensMail] = *std::exchange(m_next, std::nullopt);
    auto failed = [this](const QString &why) {
        // Told once, not at every check, until the service answers again.
        if (m_failureLogged) return;
        m_failureLogged = true;
        emit logLine(QStringLiteral("デスクトップ通知を送れませんでした（") + why +
                     QStringLiteral("）"));
    };
    if (!bus().isConnected()) {
        failed(QStringLiteral("セッションバスがありません"));
        return;
    }
    QDBusMessage msg =
        QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))},
        {QStringLiteral("category"), QStringLiteral("email.arrived")},
        {QStringLiteral("desktop-entry"), IconName},
        {QStringLiteral("image-path"), IconName},
    };
    const QStringList actions =
        opensMail ? QStringList{QStringLiteral("default"), OpenMailLabel, OpenMail, OpenMailLabel}
                  : QStringList();
    msg.setArguments(
        {AppName, QVariant::fromValue(m_id), IconName, summary, body, actions, hints, qint32(-1)});
    m_sending = true;
    auto *watcher = new QDBusPendingCallWatcher(bus().asyncCall(msg, replyMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, command = command, failed] {
                watcher->deleteLater();
                m_sending = false;
                const QDBusPendingReply<uint> reply = *watcher;
                if (reply.isError()) {
                    failed(reply.error().name());
                } else {
                    m_failureLogged = false;
                    m_id = reply.value();
                    m_command = command;
                }
                send();
            });
}

void DesktopNotifier::notifyFailure(const QString &text) {
    // Failures are minutes apart: no call of this kind is under way.
    if (!bus().isConnected()) return;
    QDBusMessage msg =
        QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("Notify"));
    const QVariantMap hints{
        {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))},
        {QStringLiteral("category"), QStringLiteral("network.error")},
        {QStringLiteral("desktop-entry"), IconName},
        {QStringLiteral("image-path"), IconName},
    };
    const QString label = QStringLiteral("設定を開く");
    msg.setArguments({AppName, QVariant::fromValue(m_failureId), IconName,
                      QStringLiteral("メールチェックに失敗しました"), text.toHtmlEscaped(),
                      QStringList{QStringLiteral("default"), label, OpenSettings, label}, hints,
                      qint32(-1)});
    auto *watcher = new QDBusPendingCallWatcher(bus().asyncCall(msg, replyMs), this);
    m_failureSending = true;
    m_failureWithdrawn = false;
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        m_failureSending = false;
        const QDBusPendingReply<uint> reply = *watcher;
        if (!reply.isError()) m_failureId = reply.value();
        // Checks worked again before the service answered.
        if (m_failureWithdrawn) withdrawFailure();
    });
}

void DesktopNotifier::withdrawFailure() {
    m_failureWithdrawn = m_failureSending;
    const quint32 id = std::exchange(m_failureId, 0);
    if (id == 0 || !bus().isConnected()) return;
    QDBusMessage msg =
        QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("CloseNotification"));
    msg.setArguments({QVariant::fromValue(id)});
    bus().asyncCall(msg, replyMs);
}

void DesktopNotifier::onActionInvoked(uint id, const QString &actionKey) {
    // Other programs' notifications share the signal.
    if (id != 0 && id == m_failureId && (actionKey == u"default" || actionKey == OpenSettings))
        emit settingsRequested();
    if (id == 0 || id != m_id) return;
    if (actionKey != QLatin1String("default") && actionKey != OpenMail) return;
    const QStringList words = mailClient(m_command);
    if (!m_startProcess || !m_startProcess(words.constFirst(), words.mid(1))) {
        const QString text = QStringLiteral("メールソフトを起動できませんでした（") +
                             words.constFirst() + QStringLiteral("）");
        emit logLine(text);
        // The user is waiting for a window: told where they looked, in place
        // of the notice they chose, and with nothing to choose again.
        m_next = Notice{AppName,
                        text.toHtmlEscaped() +
                            QStringLiteral("\n接続設定の「メールソフト」を確かめてください。"),
                        QString(), false};
        if (!m_sending) send();
        return;
    }
    emit mailClientOpened();
}
