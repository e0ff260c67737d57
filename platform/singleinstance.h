#pragma once
// One running copy per folder of files: a lock file beside the log, and a
// local socket through which a second start asks the running copy to show
// itself (a desktop without a tray would otherwise leave it unreachable).
#include <QByteArray>
#include <QObject>
#include <QString>

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    explicit SingleInstance(const QString &stateDir, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this is the only copy. Otherwise the running copy has been
    // asked to show itself, and this one should end silently.
    bool acquire();
    // Starts answering second starts; after a successful acquire().
    void listen();
    // Stops answering second starts and removes the local socket.
    void release();

  signals:
    void showRequested();

  private:
    void takeRequests();

    QString m_dir;
    QByteArray m_socketPath;
    int m_lockFd = -1;
    int m_serverFd = -1;
    class QSocketNotifier *m_notifier = nullptr;
    bool m_released = false;
};
