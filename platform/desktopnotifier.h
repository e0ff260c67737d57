#pragma once
// New mail told through the desktop's notification service
// (org.freedesktop.Notifications). One notification at a time: each one
// replaces the last. Its action opens the user's mail client. Checks that
// fail have a notification of their own beside it, which opens the settings. Every call is
// sent without waiting; the session bus is opened on the first notice, and a
// desktop without the service costs one log line.
#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <functional>
#include <optional>

class DesktopNotifier : public QObject {
    Q_OBJECT
  public:
    using StartProcess = std::function<bool(const QString &program, const QStringList &arguments)>;

    DesktopNotifier(std::function<QDBusConnection()> openBus, StartProcess startProcess,
                    QObject *parent = nullptr);

    // Shows `text` under the program's name; its action runs `mailCommand`.
    // With `lines`, `text` is the summary and the lines are the body.
    void notify(const QString &text, const QString &mailCommand, const QStringList &lines = {});
    // Tells why checks fail; replaces the last such notification.
    void notifyFailure(const QString &text);
    // Checks work again: that notification goes, if still shown.
    void withdrawFailure();

    // The program and its arguments for a command line, split on blanks
    // with double quotes grouping (no shell); empty: xdg-open mailto:.
    static QStringList mailClient(const QString &command);

    // The id the service gave the notification shown last; 0 before.
    quint32 lastId() const { return m_id; }

  signals:
    void logLine(const QString &message);
    // The user chose the notification's action; the mail client was started.
    void mailClientOpened();
    // The user chose the failure notification's action.
    void settingsRequested();

  private slots:
    void onActionInvoked(uint id, const QString &actionKey);

  private:
    static constexpr int replyMs = 5000; // how long the service may take to answer
    QDBusConnection &bus();
    void send();

    std::function<QDBusConnection()> m_openBus;
    std::optional<QDBusConnection> m_bus;
    StartProcess m_startProcess;
    quint32 m_failureId = 0; // of the failure notification shown
    bool m_failureSending = false;
    bool m_failureWithdrawn = false; // while it was being sent
    quint32 m_id = 0;
    QString m_command; // of the notification shown
    bool m_sending = false;
    // What came while a call was under way: sent once its id is known, so
    // that it replaces instead of stacking.
    struct Notice {
        QString summary, body, command;
        bool opensMail = true; // with the action メールを開く
    };
    std::optional<Notice> m_next;
    bool m_failureLogged = false;
};
