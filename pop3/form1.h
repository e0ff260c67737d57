#pragma once
// The hidden POP3 checker: one load is one check (USER, PASS, LIST, UIDL),
// then new mail is told by the seen-id store and notified.
#include "app/checkhost.h"
#include "pop3/uidstore.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <functional>

class TcpLink;
class QTimer;

class Form1 : public QObject {
    Q_OBJECT
  public:
    explicit Form1(CheckHost &host, QObject *parent = nullptr);

    // The load handler; the owner calls it right after constructing.
    void Form_Load();
    // Called by the owner when it unloads Form1: stops both timers, aborts
    // the socket and disconnects its signals. No status, log or flag change.
    void Form_Unload();

    // Longest reply line taken, and largest UIDL listing collected: a server
    // past these is broken or hostile, not a mailbox.
    static constexpr qsizetype MaxLineBytes = 1000;
    static constexpr qsizetype MaxListingBytes = qsizetype(64) * 1024 * 1024;

    // The arrival path without the socket read: takes bytes as the server
    // sent them. With sendTap, every line sent is also handed there; the
    // fuzzer drives the dialogue through these two, with no network.
    void takeBytes(QByteArrayView bytes);
    std::function<void(QByteArrayView)> sendTap;

    TcpLink *Winsock1;
    QTimer *Timer1; // connect guard
    QTimer *Timer2; // reply guard
    qint16 Pop_State = 0;

  private:
    void Winsock1_Connect();
    void Winsock1_DataArrival();
    void Winsock1_Close();
    void Timer1_Timer();
    void Timer2_Timer();

    // Returns false when the check ended on this line.
    bool handleLine(QByteArrayView line);
    void handleStatusLine(const QString &line);
    void tooLong();
    void sendLine(const QByteArray &command);
    void listingComplete();
    void notify();
    void emptyMailbox();
    void failure(const QString &status, const QString &logMessage);
    void malformedListing();
    void timeout();
    void closeSocket();
    void finish();
    bool gone() const;

    CheckHost &m_host;
    QByteArray m_buffer;    // received bytes not yet framed into lines
    QByteArray Uidl_Data;   // the UIDL listing, collected line by line
    qint64 m_scanLines = 0; // scan lines of the LIST reply
    bool m_countFromScan = false;
    bool m_ownClose = false;
    bool m_finished = false;
    bool m_unloaded = false;
};
