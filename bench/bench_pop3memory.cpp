// The whole program's peak resident size during one scheduled check of a
// mailbox of 10,000, 100,000 and 1,000,000 messages on a local Dovecot, the
// store present and nothing new, and the check's wall time beside a minimal
// client: plain sockets, the same four commands, the listing's ids looked up
// in the same store file. The program runs in this process with its windows
// (offscreen unless a platform is set). Reports figures; it fails only when a
// check does.
#include "support/pop3_dovecot.h"
#include "support/programfixture.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <malloc.h>
#include <netinet/in.h>
#include <spawn.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_set>

namespace {

double nowMs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double cpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// VmRSS or VmHWM of this process, in KiB.
long statusKb(const char *field) {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    const size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') kb = std::atol(line + n + 1);
    std::fclose(f);
    return kb;
}

// Makes VmHWM start again from the present size (Linux 4.0 and later).
bool resetPeak() {
    FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (!f) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// The yardstick, written the way a small C program would be: one buffer per
// reply, the store's ids in a hash set. Returns the number of listed ids not
// in the store, or -1.
long long minimalCheck(const std::string &user, const std::string &password,
                       const std::string &storePath) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(110);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        return -1;
    std::string reply;
    auto exchange = [&](const std::string &command, bool multiLine) {
        if (!command.empty() &&
            ::write(fd, command.data(), command.size()) != ssize_t(command.size()))
            return false;
        const std::string_view end = multiLine ? "\r\n.\r\n" : "\r\n";
        reply.clear();
        size_t from = 0;
        for (;;) {
            if (reply.find(end, from) != std::string::npos) return reply.compare(0, 3, "+OK") == 0;
            from = reply.size() < end.size() ? 0 : reply.size() - end.size();
            const size_t had = reply.size();
            reply.resize(had + 65536);
            const ssize_t n = ::read(fd, reply.data() + had, 65536);
            reply.resize(had + size_t(std::max<ssize_t>(n, 0)));
            if (n <= 0) return false;
        }
    };
    const bool listed = exchange({}, false) && exchange("USER " + user + "\r\n", false) &&
                        exchange("PASS " + password + "\r\n", false) &&
                        exchange("LIST \r\n", true) && exchange("UIDL\r\n", true);
    ::close(fd);
    if (!listed) return -1;

    std::string store;
    if (FILE *f = std::fopen(storePath.c_str(), "rb")) {
        char chunk[65536];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
            store.append(chunk, n);
        std::fclose(f);
    }
    std::unordered_set<std::string_view> seen;
    seen.reserve(size_t(std::count(store.begin(), store.end(), '\n')));
    size_t pos = store.find('\n'); // past the count
    while (pos != std::string::npos && pos + 1 < store.size()) {
        const size_t end = store.find('\n', pos + 1);
        std::string_view id(store.data() + pos + 1,
                            (end == std::string::npos ? store.size() : end) - pos - 1);
        if (!id.empty() && id.back() == '\r') id.remove_suffix(1);
        if (id.size() >= 2 && id.front() == '"' && id.back() == '"')
            id = id.substr(1, id.size() - 2);
        seen.insert(id);
        pos = end;
    }
    long long fresh = 0;
    pos = reply.find('\n'); // past "+OK"
    while (pos + 1 < reply.size() && reply.compare(pos + 1, 3, ".\r\n") != 0) {
        const size_t end = reply.find("\r\n", pos + 1);
        const size_t blank = reply.find(' ', pos + 1);
        if (end == std::string::npos || blank > end) return -1;
        fresh += !seen.count(std::string_view(reply.data() + blank + 1, end - blank - 1));
        pos = end + 1;
    }
    return fresh;
}

struct ClientRun {
    double wallMs = 0;
    long long fresh = -1;
    long addedKb = 0; // its peak above its size before the session
};

// The client's own process (this program with --client): a fresh address
// space, nothing of the Qt program's heap. Prints its figures.
int clientMain(const char *user, const char *password, const char *storePath) {
    const long rest = statusKb("VmRSS");
    const double start = nowMs(CLOCK_MONOTONIC);
    const long long fresh = minimalCheck(user, password, storePath);
    std::printf("%.3f %lld %ld\n", nowMs(CLOCK_MONOTONIC) - start, fresh, statusKb("VmHWM") - rest);
    return fresh < 0;
}

ClientRun runMinimalClient(const Pop3Dovecot &server, const QString &storePath) {
    const QByteArray user = server.user.toLocal8Bit(), password = server.password.toLocal8Bit(),
                     path = QFile::encodeName(storePath);
    char self[] = "/proc/self/exe", flag[] = "--client";
    char *const args[] = {self,
                          flag,
                          const_cast<char *>(user.constData()),
                          const_cast<char *>(password.constData()),
                          const_cast<char *>(path.constData()),
                          nullptr};
    int out[2];
    if (::pipe(out) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    const bool spawned = posix_spawn(&pid, self, &actions, nullptr, args, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; spawned && (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, size_t(n));
    ::close(out[0]);
    int status = -1;
    const bool ended = spawned && ::waitpid(pid, &status, 0) == pid;
    ClientRun run;
    if (!ended || status != 0 ||
        std::sscanf(text.c_str(), "%lf %lld %ld", &run.wallMs, &run.fresh, &run.addedKb) != 3)
        run = ClientRun();
    return run;
}

struct CheckRun {
    double wallMs = 0, cpuMs = 0;
    long restKb = 0, peakKb = 0;
    bool ok = false;
};

// One scheduled check of the program, from an idle state as the program
// has it: memory given back (it trims at idle) and the peak reset.
CheckRun runCheck(ProgramFixture &f) {
    malloc_trim(0);
    CheckRun run;
    run.restKb = statusKb("VmRSS");
    if (!resetPeak()) std::fprintf(stderr, "pop3memory: cannot reset the peak\n");
    const double cpu = cpuMs();
    QElapsedTimer t;
    t.start();
    // A retry or a give-up minute is skipped over until a check starts.
    for (int tick = 0; !f.check().pop3Running(); ++tick) {
        if (tick == 100) return run;
        f.clock = f.clock.addSecs(600);
        f.scheduler().Timer1_Timer();
    }
    while (f.check().pop3Running())
        QCoreApplication::eventDispatcher()->processEvents(QEventLoop::WaitForMoreEvents);
    run.wallMs = t.nsecsElapsed() / 1e6;
    run.cpuMs = cpuMs() - cpu;
    run.peakKb = statusKb("VmHWM");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    run.ok = f.check().retries() == 0;
    return run;
}

constexpr int Runs = 7;

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double mib(long kb) {
    return kb / 1024.0;
}

struct Row {
    int count;
    double clientMs, clientMiB, checkMs, ratio, checkCpuMs, restMiB, peakMiB, riseMiB;
};

} // namespace

int main(int argc, char **argv) {
    if (argc == 5 && std::strcmp(argv[1], "--client") == 0)
        return clientMain(argv[2], argv[3], argv[4]);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Pop3Dovecot server;
    if (!server.skipReason().isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.skipReason()));
        return 77;
    }
    if (!server.start()) return 1;
    // The Dovecot fixture's account, a LAN connection, the popup.
    const QByteArray settings = "\"127.0.0.1\",\"" + server.password.toLatin1() +
                                "\",\"\",\"\",\"" + server.user.toLatin1() +
                                "\",\"\",0,4,0,0,\"0:00\",\"0:00\",\"\"\r\n";
    ProgramFixture f(&settings);
    f.seams.guardMs = Seams().guardMs;
    f.seams.schedulerTickMs = 3600 * 1000; // the benchmark ticks the scheduler itself
    if (!f.start()) return 1;
    QTest::mouseClick(f.ui().Command4, Qt::LeftButton); // Run
    const QString storePath = f.path(QStringLiteral("quilmon.dat"));
    f.clock = QDateTime(QDate(2026, 1, 1), QTime(0, 0)); // every ten minutes: due on each tick

    QList<Row> rows;
    int have = 0;
    for (const int count : {10000, 100000, 1000000}) {
        QElapsedTimer step;
        step.start();
        if (!server.addLinkedMessages(count - have)) return 1;
        have = count;
        std::printf("pop3memory %7d: maildir filled in %.1f s\n", count, step.elapsed() / 1e3);
        // Untimed: Dovecot indexes the new messages, the program writes its
        // store with all of them.
        step.restart();
        if (runMinimalClient(server, storePath).fresh < 0 ||
            (runCheck(f), f.check().retries() != 0)) {
            std::printf("pop3memory %7d: the first sessions failed\n%s\n", count,
                        qPrintable(server.logText().right(2000)));
            return 1;
        }
        std::printf("pop3memory %7d: first sessions (Dovecot indexes, the store is written) "
                    "%.1f s\n",
                    count, step.elapsed() / 1e3);
        std::fflush(stdout);

        // Dovecot's pace drifts with the machine's load: each check is set
        // against the clients just before and after it.
        QList<double> clientMs, checkMs, checkCpu, ratios;
        long clientPeak = 0, rest = 0, peak = 0, rise = 0;
        ClientRun c = runMinimalClient(server, storePath);
        for (int run = 0; run < Runs; ++run) {
            const CheckRun p = runCheck(f);
            const ClientRun after = runMinimalClient(server, storePath);
            if (c.fresh != 0 || after.fresh != 0 || !p.ok) {
                const QStringList log = f.logMessages();
                std::printf("pop3memory %7d: a check failed (client %lld new; program: %s, %s)\n",
                            count, c.fresh, p.wallMs > 0 ? "ran" : "did not start",
                            log.isEmpty() ? "" : qPrintable(log.last()));
                return 1;
            }
            clientMs << c.wallMs;
            ratios << p.wallMs * 2 / (c.wallMs + after.wallMs);
            clientPeak = std::max(clientPeak, c.addedKb);
            c = after;
            checkMs << p.wallMs;
            checkCpu << p.cpuMs;
            rest = std::max(rest, p.restKb);
            peak = std::max(peak, p.peakKb);
            rise = std::max(rise, p.peakKb - p.restKb);
        }
        const Row r{count,           median(clientMs), mib(clientPeak),
                    median(checkMs), median(ratios),   median(checkCpu),
                    mib(rest),       mib(peak),        mib(rise)};
        rows << r;
        std::printf("pop3memory %7d: minimal client wall %7.1f ms, adds %6.1f MiB; check wall "
                    "%7.1f ms (%.2f x), CPU %6.1f ms, peak %6.1f MiB (%.1f at rest before)\n",
                    count, r.clientMs, r.clientMiB, r.checkMs, r.ratio, r.checkCpuMs, r.peakMiB,
                    r.restMiB);
        std::fflush(stdout);
    }

    // Peak: VmHWM of this whole process during one check, the largest of the
    // runs; the rise is what the check added to the size it had at rest.
    std::printf("\npop3memory: medians of %d runs (the ratio: of each check to the clients "
                "around it), peaks the largest\n"
                "  messages | client wall | client adds | check wall | ratio | check CPU | "
                "check peak | rise\n",
                Runs);
    for (const Row &r : rows)
        std::printf("  %8d | %8.0f ms | %7.1f MiB | %7.0f ms | %5.2f | %6.0f ms | %6.1f MiB | "
                    "%5.1f MiB\n",
                    r.count, r.clientMs, r.clientMiB, r.checkMs, r.ratio, r.checkCpuMs, r.peakMiB,
                    r.riseMiB);
    return 0;
}
