#pragma once
// A private D-Bus daemon with a mock NetworkManager on it: started by the
// test, stopped by it (by process id), never touching the machine's buses.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QTemporaryDir>
#include <QVariantList>

class DialupDbusMock {
  public:
    DialupDbusMock();
    ~DialupDbusMock();

    // The bus alone; then NetworkManager on it, and logind.
    bool startBus();
    bool startManager();
    void stopManager();
    bool startLogind();
    // logind's word that the machine goes to sleep (true) or woke (false).
    bool prepareForSleep(bool start);

    QString address() const { return m_address; }
    QDBusConnection bus() const;
    // A method of the mock's control interface on NetworkManager's root object.
    QDBusMessage control(const QString &method, const QVariantList &args = {});
    // ActivateConnection as another program would call it.
    QString activateAsOtherProgram(const QString &profilePath);
    QStringList activeConnections();
    // True once a call has tried to start NetworkManager on this bus.
    bool managerWasStarted() const;

  private:
    bool startTemplate(QProcess &p, const QString &name, const QString &service);
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QProcess m_manager;
    QProcess m_logind;
    QString m_address;
    QString m_connName;
};
