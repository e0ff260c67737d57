#pragma once
// Sleep and the network as the system tells them, on the system bus: logind's
// PrepareForSleep, and NetworkManager's State and Connectivity. It only
// listens, never waits for an answer and never starts a service; without
// logind or NetworkManager it reports nothing, and the network counts as there.
#include <QDBusConnection>
#include <QObject>
#include <QVariantMap>
#include <functional>
#include <optional>

class SystemWatch : public QObject {
    Q_OBJECT
  public:
    explicit SystemWatch(std::function<QDBusConnection()> openBus, QObject *parent = nullptr);

    // Opens the bus and starts listening; later calls do nothing.
    void start();
    // NetworkManager says there is no network at all. False while it is not
    // known (no NetworkManager, no answer yet).
    bool networkDown() const { return m_down; }

  signals:
    void sleeping();
    void woke();
    void networkLost();
    void networkBack();

  private slots:
    void prepareForSleep(bool start);
    void managerChanged(const QString &interface, const QVariantMap &changed,
                        const QStringList &invalidated);

  private:
    void askManager();
    void apply(const QVariantMap &properties);

    std::function<QDBusConnection()> m_openBus;
    std::optional<QDBusConnection> m_bus;
    uint m_state = 0;        // NMState; 0 unknown
    uint m_connectivity = 0; // NMConnectivityState; 0 unknown
    bool m_down = false;
};
