#pragma once
// A connection in memory, for dialogues without a port or a wait: the test
// plays the server (accept, reply, hang up, finish or refuse a handshake) and
// reads what the session wrote. Shared by the tests and the fuzzers.
#include "platform/link.h"

#include <utility>

class MemoryLink : public Link {
  public:
    // What the session asked for and wrote.
    QString host;
    quint16 port = 0;
    bool tlsFromStart = false;
    int tlsUpgrades = 0;
    QByteArray written;
    bool closedPolitely = false;
    bool inClear = false; // a refused handshake met a plain server's text

    void connectToHost(const QString &h, quint16 p) override {
        host = h;
        port = p;
    }
    void connectToHostEncrypted(const QString &h, quint16 p, const TlsOptions &) override {
        connectToHost(h, p);
        tlsFromStart = true;
    }
    void startTls(const TlsOptions &) override { ++tlsUpgrades; }
    bool isConnected() const override { return m_up; }
    bool isEncrypted() const override { return m_encrypted; }
    QByteArray readAll() override { return std::exchange(m_in, {}); }
    qint64 write(const QByteArray &bytes) override {
        if (!m_up) return -1;
        written += bytes;
        return bytes.size();
    }
    void close() override { closedPolitely = std::exchange(m_up, false); }
    void abort() override { m_up = false; }
    bool answeredInClear() const override { return inClear; }
    bool isUp() const { return m_up; }

    // The server's side.
    void accept() {
        m_up = true;
        m_encrypted = tlsFromStart;
        emit connected();
    }
    void reply(QByteArrayView bytes) {
        m_in.append(bytes);
        emit readyRead();
    }
    void hangUp() {
        m_up = false;
        emit disconnected();
    }
    void handshakeDone() {
        m_encrypted = true;
        emit encrypted();
    }
    void refuseTls(Link::TlsError error, const QByteArray &fingerprint = {},
                   const QString &detail = {}, const CertificateInfo &certificate = {}) {
        m_up = false;
        emit tlsFailed(error, fingerprint, detail, certificate);
    }
    void nobodyAnswers(Unreachable why = NoAnswer) { emit unreachable(why); }
    // What the session wrote since the last call.
    QByteArray take() { return std::exchange(written, {}); }

  private:
    QByteArray m_in;
    bool m_up = false;
    bool m_encrypted = false;
};
