#include "platform/idlememory.h"

#include <cerrno>
#include <cstdio>
#include <malloc.h>
#include <sys/mman.h>

#ifndef MADV_PAGEOUT
#define MADV_PAGEOUT 21 // Linux 5.4; older glibc headers lack the name
#endif

namespace {

struct Mapping {
    unsigned long start = 0, end = 0;
    bool candidate = false; // file-backed and not writable
    bool privateData = false;
};

// A mapping qualifies when it is backed by a file, is not writable, and holds
// no private (anonymous or swapped) page: reclaiming it can only drop pages
// the file holds anyway, never data of ours. Writable and relocated mappings
// are left alone, so nothing is ever swapped out by this.
bool qualifies(const Mapping &m) {
    return m.candidate && !m.privateData && m.end > m.start;
}

} // namespace

int releaseIdleMemory() {
    malloc_trim(0);
    FILE *smaps = std::fopen("/proc/self/smaps", "re");
    if (!smaps) return 0;
    int handed = 0;
    bool supported = true;
    Mapping m;
    char line[4096];
    const auto finish = [&] {
        if (supported && qualifies(m)) {
            if (madvise(reinterpret_cast<void *>(m.start), m.end - m.start, MADV_PAGEOUT) == 0)
                ++handed;
            else if (errno == EINVAL)
                supported = false; // a kernel without MADV_PAGEOUT
        }
        m = Mapping();
    };
    while (std::fgets(line, sizeof line, smaps)) {
        unsigned long start = 0, end = 0;
        char perms[8] = {};
        unsigned long long offset = 0;
        char dev[16] = {};
        unsigned long inode = 0;
        int pathAt = 0;
        // A mapping's header: "start-end perms offset dev inode [path]".
        if (std::sscanf(line, "%lx-%lx %7s %llx %15s %lu %n", &start, &end, perms, &offset, dev,
                        &inode, &pathAt) == 6) {
            finish();
            m.start = start;
            m.end = end;
            m.candidate = inode != 0 && perms[1] != 'w' && line[pathAt] == '/';
            continue;
        }
        unsigned long kb = 0;
        if ((std::sscanf(line, "Anonymous: %lu kB", &kb) == 1 ||
             std::sscanf(line, "Swap: %lu kB", &kb) == 1) &&
            kb > 0)
            m.privateData = true;
    }
    finish();
    std::fclose(smaps);
    return handed;
}
