#pragma once
// The RAS backend over NetworkManager's D-Bus API: entries are connection
// profiles, a dial activates a profile, a handle names the active connection
// this program started. Every call has a short time-out and never starts
// NetworkManager; without it on the bus the lists are empty and a dial is
// refused at once.
#include "dialup/rasbackend.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QVariantMap>
#include <functional>
#include <optional>

class NmBackend : public QObject, public RasBackend {
    Q_OBJECT
  public:
    explicit NmBackend(const QDBusConnection &bus, QObject *parent = nullptr);
    // Opens the bus on first use: start-up does not wait for it.
    explicit NmBackend(std::function<QDBusConnection()> openBus, QObject *parent = nullptr);
    ~NmBackend() override;

    quint32 entries(QStringList &names) override;
    quint32 connections(QList<Link> &links) override;
    quint32 findEntry(const QString &name) override;
    quint32 dial(const QString &name, quint32 &handle) override;
    quint32 status(quint32 handle, Status &status) override;
    quint32 hangUp(quint32 handle) override;

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

    QDBusMessage call(const QString &path, const QString &iface, const QString &method,
                      const QVariantList &args = {}, int timeoutMs = -1);
    quint32 profiles(QList<Profile> &out);
    bool activeProps(const QString &path, QVariantMap &props, QDBusMessage *error = nullptr);
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
