// Split a 100,000-line UIDL listing, compare it with a store of 100,000 UIDs
// and rewrite the store: the work of one complete listing, without the network.
#include "pop3/uidstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {
// CPU time of this thread: the machine may be shared, wall time alone would
// measure the neighbours too.
double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}
} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    constexpr int Count = 100000;
    constexpr int Fresh = 25; // new since the last check
    QTemporaryDir dir;
    const QString path = UidStorePath(dir.path());

    // Dovecot-shaped UIDs; the store lacks the newest and still holds some
    // that have gone.
    auto uid = [](int i) { return QByteArray::number(i, 16).rightJustified(8, '0') + "5f3a9c11"; };
    QByteArray listing;
    UidList old;
    for (int i = 1; i <= Count; ++i) {
        listing += QByteArray::number(i) + ' ' + uid(i) + "\r\n";
        old.append(uid(i <= Count - Fresh ? i : Count + i));
    }
    listing += ".\r\n";

    QList<double> ms, cpu;
    for (int run = 0; run < 15; ++run) {
        if (!WriteUidStore(path, old)) return 1;
        QElapsedTimer t;
        const double c = cpuMs();
        t.start();
        const std::optional<UidList> uids = UidlDataSplit(listing);
        const std::optional<UidList> stored = ReadUidStore(path);
        const qint64 n = uids && stored ? NewMailCount(*uids, *stored) : -1;
        const bool written = uids && WriteUidStore(path, *uids);
        ms.append(t.nsecsElapsed() / 1e6);
        cpu.append(cpuMs() - c);
        if (n != Fresh || !written) {
            std::fprintf(stderr, "wrong result: %lld new\n", static_cast<long long>(n));
            return 1;
        }
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("uidstore: split + read + compare + rewrite of %d UIDs: median %.1f ms, "
                "best %.1f ms, worst %.1f ms; CPU median %.1f ms (goal < 50 ms)\n",
                Count, ms[ms.size() / 2], ms.first(), ms.last(), cpu[cpu.size() / 2]);
    return ms[ms.size() / 2] < 50 ? 0 : 2;
}
