#pragma once
// Form3: the hidden worker that sends the notice mail. One SMTP dialogue per
// load; it ends by asking its owner to unload it.
#include "smtp/replyframer.h"

#include <QByteArrayList>
#include <QObject>
#include <QString>
#include <functional>

class CheckHost;
class TcpLink;
class QTimer;

class Form3 : public QObject {
    Q_OBJECT
  public:
    explicit Form3(CheckHost &host, QObject *parent = nullptr);
    ~Form3() override;

    // The load handler; the owner calls it right after constructing.
    void Form_Load();
    // The owner calls it when unloading: stops timers and drops the link.
    void Form_Unload();

    // The arrival path without the socket read: takes bytes as the server
    // sent them. With sendTap, every send is also handed there; the fuzzer
    // drives the dialogue through these two, with no network.
    void takeBytes(QByteArrayView bytes);
    std::function<void(QByteArrayView)> sendTap;

    TcpLink *Winsock2; // the connection to the SMTP server
    QTimer *Timer1;    // connect guard
    QTimer *Timer2;    // reply guard, restarted by every complete line
    QString Text1;     // trace of every reply; never shown or saved
    qint16 Smtp_State = 0;

  private:
    void Winsock2_Connect();
    void Winsock2_DataArrival();
    void Timer1_Timer();
    void Timer2_Timer();

    // One complete reply; false when the dialogue ended with it.
    bool ReplyArrival(const QByteArrayList &lines);
    // A reply no server sends (a line too long, a reply without end).
    void WrongReply(const QByteArrayList &lines);
    void SendLine(const QByteArray &bytes);
    void AppendTrace(const QByteArrayList &lines);
    void ReplyError(const QByteArrayList &lines);
    void SendTimeOut();
    void SendFinished(const QByteArrayList &lines);
    void End();

    CheckHost &m_host;
    ReplyFramer m_framer;
    QByteArrayList m_replyLines; // lines of the reply being read
    bool m_loaded = false;
    bool m_unloaded = false;
};
