// Memory given back while idle: clean file pages leave the process, and no
// private data is ever lost, whatever mapping it sits in.
#include "platform/idlememory.h"

#include <QCoreApplication>
#include <QTemporaryFile>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {
constexpr size_t kSize = 1 << 20;

// Resident kilobytes of the mapping that starts at `at`, from smaps.
long residentKb(const void *at) {
    FILE *smaps = std::fopen("/proc/self/smaps", "re");
    if (!smaps) return -1;
    char head[32];
    std::snprintf(head, sizeof head, "%lx-", static_cast<unsigned long>(quintptr(at)));
    bool inside = false;
    long kb = -1;
    char line[512];
    while (kb < 0 && std::fgets(line, sizeof line, smaps)) {
        if (std::strncmp(line, head, std::strlen(head)) == 0) inside = true;
        // The first Rss line after the mapping's header is its own.
        if (inside) std::sscanf(line, "Rss: %ld kB", &kb);
    }
    std::fclose(smaps);
    return kb;
}

struct Mapped {
    void *at = MAP_FAILED;
    size_t size = 0;
    ~Mapped() {
        if (at != MAP_FAILED) munmap(at, size);
    }
    char *bytes() const { return static_cast<char *>(at); }
};
} // namespace

class TestIdleMemory : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase();
    void cleanFilePagesLeave();
    void privateDataStays();

  private:
    // On a disk, not tmpfs: tmpfs pages can only go to swap.
    QTemporaryFile m_file{QCoreApplication::applicationDirPath() +
                          QStringLiteral("/idlememory.XXXXXX")};
};

void TestIdleMemory::initTestCase() {
    QVERIFY(m_file.open());
    QByteArray data(kSize, '\0');
    for (size_t i = 0; i < kSize; ++i)
        data[qsizetype(i)] = char('a' + i % 26);
    QCOMPARE(m_file.write(data), qint64(kSize));
    QVERIFY(m_file.flush());
    QCOMPARE(fsync(m_file.handle()), 0); // dirty pages cannot be reclaimed
}

void TestIdleMemory::cleanFilePagesLeave() {
    Mapped m;
    m.size = kSize;
    m.at = mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE, m_file.handle(), 0);
    QVERIFY(m.at != MAP_FAILED);
    long sum = 0;
    for (size_t i = 0; i < kSize; i += 4096)
        sum += m.bytes()[i];
    QVERIFY(sum > 0);
    QVERIFY2(residentKb(m.at) >= 1000, qPrintable(QString::number(residentKb(m.at))));
    if (releaseIdleMemory() == 0) QSKIP("this kernel cannot reclaim pages on request");
    QVERIFY2(residentKb(m.at) < 100, qPrintable(QString::number(residentKb(m.at))));
    QCOMPARE(m.bytes()[27], 'b'); // read back in on touch
}

void TestIdleMemory::privateDataStays() {
    // A private copy made read-only afterwards, as the loader does with
    // relocated tables: the file behind it no longer holds its contents.
    Mapped relocated;
    relocated.size = kSize;
    relocated.at = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE, m_file.handle(), 0);
    QVERIFY(relocated.at != MAP_FAILED);
    std::memset(relocated.bytes() + 8192, 'X', 4096);
    QCOMPARE(mprotect(relocated.at, kSize, PROT_READ), 0);
    // A writable shared mapping, and plain heap.
    Mapped shared;
    shared.size = kSize;
    shared.at = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_SHARED, m_file.handle(), 0);
    QVERIFY(shared.at != MAP_FAILED);
    shared.bytes()[kSize - 1] = 'S';
    QByteArray heap(kSize, 'H');

    releaseIdleMemory();

    QCOMPARE(relocated.bytes()[8192], 'X');
    QCOMPARE(relocated.bytes()[8192 + 4095], 'X');
    QCOMPARE(relocated.bytes()[27], 'b');
    QCOMPARE(shared.bytes()[kSize - 1], 'S');
    QCOMPARE(heap.count('H'), qsizetype(kSize));
}

QTEST_GUILESS_MAIN(TestIdleMemory)
#include "tst_idlememory.moc"
