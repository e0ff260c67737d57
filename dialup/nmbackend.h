#pragma once
// The RAS backend over NetworkManager's D-Bus API: entries are connection
// profiles, a dial activates a profile, a handle names the active connection
// this program started. Every call is sent without waiting, has a short
// time-out and never starts NetworkManager; without it on the bus the lists
// are empty and a dial is refused.
#include "dialup/rasbackend.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <functional>
#include <optional>

class QDBusPendingCallWatcher;

class NmBackend : public QObject, public RasBackend {
    Q_OBJECT
  public:
    explicit NmBackend(const QDBusConnection &bus, QObject *parent = nullptr);
    // Opens the bus on first use: start-up does not wait for it.
    explicit NmBackend(std::function<QDBusConnection()> openBus, QObject *parent = nullptr);
    ~NmBackend() override;

    void entries(std::function<void(quint32 rc, const QStringList &names)> done) override;
    void connections(std::function<void(quint32 rc, const QList<Link> &links)> done) override;
    void dial(const QString &name, std::function<void(quint32 rc, quint32 handle)> done) override;
    void status(quint32 handle, std::function<void(quint32 rc, const Status &)> done) override;
    void hangUp(quint32 handle) override;

    // Reply time-outs: a dial's activation request, and every other call.
    int dialReplyMs = 2000;
    int callReplyMs = 1000;

  private slots:
    void onDeviceStateChanged(uint newState, uint oldState, uint reason, const QDBusMessage &msg);
    void onActiveStateChanged(uint state, uint reason, const QDBusMessage &msg);

  private:
    struct Profile {
        QString path;
        QString id;
    };
    struct Dialed {
        QString active;  // active-connection object
        QString profile; // settings object it was started from
        QString name;
        QStringList devices;
        quint32 deviceReason = 0;
        quint32 activeReason = 0;
    };
    using Reply = std::function<void(const QDBusMessage &reply)>;

    // Sends without waiting; `done` gets the reply or the error, at once
    // when there is no bus. Returns the watcher of a message that went out.
    QDBusPendingCallWatcher *send(QDBusMessage msg, int timeoutMs, Reply done);
    void call(const QString &path, const QString &iface, const QString &method,
              const QVariantList &args, Reply done);
    // The same call on each path at once; the replies in the paths' order.
    void callEach(const QStringList &paths, const QString &iface, const QString &method,
                  const QVariantList &args, std::function<void(const QList<QDBusMessage> &)> done);
    void profiles(std::function<void(quint32 rc, const QList<Profile> &)> done);
    void activate(const Profile &profile, std::function<void(quint32 rc, quint32 handle)> done);
    void activeStatus(quint32 handle, const QDBusMessage &reply,
                      const std::function<void(quint32 rc, const Status &)> &done);
    bool belongsTo(const QVariantMap &props, const Dialed &d) const;
    quint32 endedError(const Dialed &d) const;
    quint32 refusal(const QDBusMessage &error) const;
    void deactivateIfOurs(const Dialed &d);

    QDBusConnection &bus();

    std::function<QDBusConnection()> m_openBus;
    std::optional<QDBusConnection> m_bus;
    QHash<quint32, Dialed> m_dialed;
    quint32 m_nextHandle = 1;
    // A device failure seen before the dial's devices were known.
    quint32 m_unplacedDeviceReason = 0;
};
