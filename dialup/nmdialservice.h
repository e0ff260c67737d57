#pragma once
// The dial service over NetworkManager's D-Bus API: entries are connection
// profiles, a dial activates a profile, a handle names the active connection
// this program started. Every call is sent without waiting, has a short
// time-out and never starts NetworkManager; without it on the bus the lists
// are empty and a dial is refused.
#include "dialup/dialservice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <functional>
#include <optional>

class QDBusPendingCallWatcher;

class NmDialService : public QObject, public DialService {
  public:
    explicit NmDialService(const QDBusConnection &bus, QObject *parent = nullptr);
    // Opens the bus on first use: start-up does not wait for it.
    explicit NmDialService(std::function<QDBusConnection()> openBus, QObject *parent = nullptr);
    ~NmDialService() override;

    void entries(std::function<void(Outcome, const QStringList &names)> done) override;
    void connections(std::function<void(Outcome, const QStringList &entries)> done) override;
    void dial(const QString &name, std::function<void(Outcome, quint32 link)> done) override;
    void status(quint32 link, std::function<void(Outcome, LinkStep)> done) override;
    void hangUp(quint32 link) override;

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
    };
    using Reply = std::function<void(const QDBusMessage &reply)>;
    using StatusDone = std::function<void(Outcome, LinkStep)>;

    // Sends without waiting; `done` gets the reply or the error, at once
    // when there is no bus. Returns the watcher of a message that went out.
    QDBusPendingCallWatcher *send(QDBusMessage msg, int timeoutMs, Reply done);
    void call(const QString &path, const QString &iface, const QString &method,
              const QVariantList &args, Reply done);
    // The same call on each path at once; the replies in the paths' order.
    void callEach(const QStringList &paths, const QString &iface, const QString &method,
                  const QVariantList &args, std::function<void(const QList<QDBusMessage> &)> done);
    void profiles(std::function<void(Outcome, const QList<Profile> &)> done);
    void activate(const Profile &profile, std::function<void(Outcome, quint32 link)> done);
    void activeStatus(quint32 link, const QDBusMessage &reply, const StatusDone &done);
    bool belongsTo(const QVariantMap &props, const Dialed &d) const;
    void deactivateIfOurs(const Dialed &d);

    QDBusConnection &bus();

    std::function<QDBusConnection()> m_openBus;
    std::optional<QDBusConnection> m_bus;
    QHash<quint32, Dialed> m_dialed;
    quint32 m_nextHandle = 1;
};
