// A complete POP3 check of mailboxes of 100, 10,000 and 100,000 messages on
// a local Dovecot, beside a minimal client that sends the same four commands
// and only reads.
#include "support/pop3_dovecot.h"
#include "support/pop3_harness.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Sends a command and reads until the reply ends (one line, or a listing).
bool exchange(QTcpSocket &s, const QByteArray &command, bool multiLine, QByteArray &reply) {
    reply.clear();
    if (!command.isEmpty()) s.write(command);
    for (;;) {
        if (multiLine ? reply.endsWith("\r\n.\r\n") : reply.endsWith("\r\n"))
            return reply.startsWith("+OK");
        if (!s.waitForReadyRead(60000)) return false;
        reply += s.readAll();
    }
}

bool minimalClient(const Pop3Dovecot &server, int count) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, 110);
    if (!s.waitForConnected(5000)) return false;
    QByteArray r;
    return exchange(s, {}, false, r) &&
           exchange(s, "USER " + server.user.toLatin1() + "\r\n", false, r) &&
           exchange(s, "PASS " + server.password.toLatin1() + "\r\n", false, r) &&
           exchange(s, "LIST \r\n", true, r) && exchange(s, "UIDL\r\n", true, r) &&
           r.count('\n') == count + 2;
}

bool form1Check(Pop3Harness &h) {
    h.runToEnd();
    return h.host.check().retries() == 0;
}

struct Sample {
    QList<double> wall, cpu;
    void add(double w, double c) { wall << w, cpu << c; }
    static double median(QList<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

// Measures one mailbox size; false when a check failed.
bool measure(const Pop3Dovecot &server, Pop3Harness &h, int count, bool &goalsMet) {
    // The first sessions after a fill let Dovecot index the new messages and
    // give Form1 its store.
    QElapsedTimer first;
    first.start();
    if (!minimalClient(server, count)) return false;
    std::printf("pop3check %6d: first session (Dovecot indexes the mailbox): %.0f ms\n", count,
                first.nsecsElapsed() / 1e6);
    if (!form1Check(h)) return false;

    Sample client, form1;
    for (int run = 0; run < 7; ++run) {
        QElapsedTimer t;
        double c = cpuMs();
        t.start();
        if (!minimalClient(server, count)) return false;
        client.add(t.nsecsElapsed() / 1e6, cpuMs() - c);

        c = cpuMs();
        t.start();
        if (!form1Check(h) || h.host.logLines.last() != QStringLiteral("0通の新着メールがあります"))
            return false;
        form1.add(t.nsecsElapsed() / 1e6, cpuMs() - c);
    }
    const double ratio = Sample::median(form1.wall) / Sample::median(client.wall);
    const double cpu = Sample::median(form1.cpu);
    std::printf("pop3check %6d: minimal client: wall %7.1f ms, CPU %6.1f ms (medians of 7)\n",
                count, Sample::median(client.wall), Sample::median(client.cpu));
    std::printf("pop3check %6d: Form1 check:    wall %7.1f ms, CPU %6.1f ms (medians of 7)\n",
                count, Sample::median(form1.wall), cpu);
    std::printf("pop3check %6d: Form1 / minimal client wall time: %.2f\n", count, ratio);
    if (count == 100000) {
        std::printf("pop3check: goals at 100000: wall ratio %.2f (<= 1.1: %s), CPU %.0f ms "
                    "(< 100: %s)\n",
                    ratio, ratio <= 1.1 ? "met" : "MISSED", cpu, cpu < 100 ? "met" : "MISSED");
        goalsMet = ratio <= 1.1 && cpu < 100;
    }
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    Pop3Dovecot server;
    if (!server.skipReason().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.skipReason()));
        return 77;
    }
    Pop3Harness h; // the popup: a check that finds new mail sends no notice
    h.host.settings.POP_UserID = server.user;
    h.host.settings.POP_PassWord = server.password;

    bool goalsMet = true;
    int have = 0;
    for (const int count : {100, 10000, 100000}) {
        QElapsedTimer fill;
        fill.start();
        if (server.addMessages(count - have).size() != count - have) return 1;
        have = count;
        if (count == 100 && !server.start()) return 1;
        std::printf("pop3check %6d: maildir filled in %.1f s\n", count, fill.elapsed() / 1e3);
        if (!measure(server, h, count, goalsMet)) {
            std::printf("pop3check %6d: a check failed\n", count);
            return 1;
        }
    }
    return goalsMet ? 0 : 2;
}
