// A complete Form1 check of a 100,000-message mailbox on a local Dovecot,
// beside a minimal client that sends the same four commands and only reads.
#include "support/pop3_dovecot.h"
#include "support/pop3_harness.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int Count = 100000;

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

bool minimalClient(const Pop3Dovecot &server) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, 110);
    if (!s.waitForConnected(5000)) return false;
    QByteArray r;
    return exchange(s, {}, false, r) &&
           exchange(s, "USER " + server.user.toLatin1() + "\r\n", false, r) &&
           exchange(s, "PASS " + server.password.toLatin1() + "\r\n", false, r) &&
           exchange(s, "LIST \r\n", true, r) && exchange(s, "UIDL\r\n", true, r) &&
           r.count('\n') == Count + 2;
}

bool form1Check(Pop3Harness &h) {
    QEventLoop loop;
    const auto unload = h.host.onUnloadForm1;
    h.host.onUnloadForm1 = [&] {
        unload();
        loop.quit();
    };
    h.load();
    if (h.host.form1IsLoaded) loop.exec();
    h.host.onUnloadForm1 = unload;
    return h.host.shared.Retry_Flag == 0;
}

struct Sample {
    QList<double> wall, cpu;
    void add(double w, double c) { wall << w, cpu << c; }
    static double median(QList<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
};

} // namespace

int main(int argc, char **argv) {
    QApplication::setAttribute(Qt::AA_Use96Dpi);
    QCoreApplication app(argc, argv);
    Pop3Dovecot server;
    if (!server.skipReason().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.skipReason()));
        return 77;
    }
    QElapsedTimer fill;
    fill.start();
    if (server.addMessages(Count).size() != Count || !server.start()) return 1;
    std::printf("pop3check: %d maildir messages written and Dovecot started in %.1f s\n", Count,
                fill.elapsed() / 1e3);

    Pop3Harness h;
    h.host.shared.POP_UserID = server.user;
    h.host.shared.POP_PassWord = server.password;
    h.host.forwarding = true;
    // First sessions build Dovecot's index and the first store.
    QElapsedTimer first;
    first.start();
    if (!minimalClient(server)) return 1;
    std::printf("pop3check: first session (Dovecot indexes the mailbox): %.0f ms\n",
                first.nsecsElapsed() / 1e6);
    if (!form1Check(h) || h.host.shared.New_mail_number != 32767) return 1;

    Sample client, form1;
    for (int run = 0; run < 7; ++run) {
        QElapsedTimer t;
        double c = cpuMs();
        t.start();
        if (!minimalClient(server)) return 1;
        client.add(t.nsecsElapsed() / 1e6, cpuMs() - c);

        c = cpuMs();
        t.start();
        if (!form1Check(h) || h.host.shared.New_mail_number != 0) return 1;
        form1.add(t.nsecsElapsed() / 1e6, cpuMs() - c);
    }
    const double ratio = Sample::median(form1.wall) / Sample::median(client.wall);
    std::printf("pop3check: minimal client: wall %.0f ms, CPU %.0f ms (medians of 7)\n",
                Sample::median(client.wall), Sample::median(client.cpu));
    std::printf("pop3check: Form1 check:    wall %.0f ms, CPU %.0f ms (medians of 7)\n",
                Sample::median(form1.wall), Sample::median(form1.cpu));
    std::printf("pop3check: Form1 / minimal client wall time: %.2f (goal <= 1.2)\n", ratio);
    std::fflush(stdout);
    return ratio <= 1.2 ? 0 : 2;
}
