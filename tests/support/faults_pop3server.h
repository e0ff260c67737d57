#pragma once
// A POP3 server played in-process for long runs: it answers every connection
// from a mailbox the test changes, right or with one fault the test picks per
// connection (refusals, silence, a hang-up, replies cut into pieces, a
// malformed listing, ids repeated, a reply that trickles without end).
#include "pop3/uidstore.h"

#include <QObject>
#include <QRandomGenerator>
#include <QTcpServer>
#include <memory>

class QTcpSocket;
Q_DECLARE_METATYPE(std::shared_ptr<QList<QByteArray>>)

class FaultyPop3Server : public QObject {
    Q_OBJECT
  public:
    enum class Fault {
        None,
        Split,         // every reply in random pieces, a few ms apart
        Refuse,        // -ERR at `step`
        Silent,        // nothing from `step` on
        Close,         // hang up at `step`
        CloseMidReply, // half of the reply at `step`, then hang up
        Malformed,     // a UIDL line without its number
        Duplicates,    // every UIDL line many times over
        Trickle,       // from `step` (3 or 4) on, one more line every TrickleMs, never the end
    };
    static constexpr int TrickleMs = 10;
    // Steps: 0 greeting, 1 USER, 2 PASS, 3 LIST, 4 UIDL.
    struct Plan {
        Fault fault = Fault::None;
        int step = 0;
    };

    explicit FaultyPop3Server(quint32 seed);
    quint16 port() const { return m_server.serverPort(); }

    QList<QByteArray> mailbox;
    Plan next; // taken by the next connection
    int connections = 0;

  private:
    void serve(QTcpSocket *s, Plan plan);
    void reply(QTcpSocket *s, const Plan &plan, int step, const QByteArray &bytes);
    void pump(QTcpSocket *s, std::shared_ptr<QList<QByteArray>> queue);

    QTcpServer m_server;
    QRandomGenerator m_rng;
};
