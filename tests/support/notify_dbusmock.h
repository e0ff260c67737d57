#pragma once
// A private session bus with python-dbusmock's notification daemon on it:
// started by the test, stopped by it (by process id). What the program sent
// is read back through the mock's own interface.
#include "support/dialup_dbusmock.h"

#include <QProcess>
#include <QVariantList>

class NotifyDbusMock {
  public:
    ~NotifyDbusMock();

    // The bus alone; then the notification daemon on it.
    bool startBus() { return m_bus.startBus(); }
    bool startDaemon();
    QString address() const { return m_bus.address(); }

    // The arguments of every Notify call so far, in order.
    QList<QVariantList> notifyCalls();
    // The daemon reports that the user chose an action of notification `id`.
    bool emitActionInvoked(uint id, const QString &key);

  private:
    DialupDbusMock m_bus;
    QProcess m_daemon;
};
