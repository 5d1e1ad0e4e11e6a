// Link-time wrappers of the allocation calls the library makes (malloc, calloc,
// strndup) and of free, for the load-path and native fault sweeps. Everything
// here must work without allocating: it runs inside malloc.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "tests/fault/fault.h"

extern "C" void* __real_malloc(size_t n);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" char* __real_strndup(const char* s, size_t n);
extern "C" void __real_free(void* p);

namespace {

// Only the arming thread looks at the table, but free may come from anywhere
// while a window is open, hence the lock.
thread_local bool armedHere = false;
std::mutex tableLock;
int failAt = 0;
int calls = 0;
int failed = 0;
int untracked = 0;

struct Block {
    void* p;
    size_t size;
};
// Load paths hold a handful of blocks at once; a window that needs more than
// this reports the excess as untracked rather than growing the table.
Block blocks[4096];
int blockCount = 0;

// True when this allocation is the one to fail; counts it either way.
bool takeAllocation() {
    if (!armedHere) {
        return false;
    }
    std::lock_guard<std::mutex> guard(tableLock);
    ++calls;
    if (failAt != 0 && calls == failAt) {
        ++failed;
        return true;
    }
    return false;
}

void track(void* p, size_t size) {
    if (!armedHere || p == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(tableLock);
    if (blockCount < static_cast<int>(sizeof(blocks) / sizeof(blocks[0]))) {
        blocks[blockCount++] = Block{p, size};
    } else {
        ++untracked;
    }
}

void untrack(void* p) {
    if (p == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> guard(tableLock);
    for (int i = blockCount; i-- > 0;) {
        if (blocks[i].p == p) {
            blocks[i] = blocks[--blockCount];
            return;
        }
    }
}

bool windowOpen = false;  // written under tableLock by the arming thread

}  // namespace

extern "C" void* __wrap_malloc(size_t n) {
    if (takeAllocation()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __real_malloc(n);
    track(p, n);
    return p;
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
    if (takeAllocation()) {
        errno = ENOMEM;
        return nullptr;
    }
    void* p = __real_calloc(count, size);
    track(p, count * size);
    return p;
}

extern "C" char* __wrap_strndup(const char* s, size_t n) {
    if (takeAllocation()) {
        errno = ENOMEM;
        return nullptr;
    }
    char* p = __real_strndup(s, n);
    track(p, p == nullptr ? 0 : strlen(p) + 1);
    return p;
}

extern "C" void __wrap_free(void* p) {
    // Cheap when no window is open: the flag is read without the lock, and a
    // stale read only costs a table search that finds nothing.
    if (p != nullptr && __atomic_load_n(&windowOpen, __ATOMIC_RELAXED)) {
        untrack(p);
    }
    __real_free(p);
}

void ovrel_fault_alloc_arm(int n) {
    std::lock_guard<std::mutex> guard(tableLock);
    failAt = n;
    calls = 0;
    failed = 0;
    untracked = 0;
    blockCount = 0;
    __atomic_store_n(&windowOpen, true, __ATOMIC_RELAXED);
    armedHere = true;
}

struct ovrel_fault_alloc_report ovrel_fault_alloc_disarm(void) {
    armedHere = false;
    std::lock_guard<std::mutex> guard(tableLock);
    __atomic_store_n(&windowOpen, false, __ATOMIC_RELAXED);
    struct ovrel_fault_alloc_report report = {calls, failed, blockCount, 0, untracked};
    for (int i = 0; i < blockCount; ++i) {
        report.liveBytes += blocks[i].size;
    }
    blockCount = 0;
    failAt = 0;
    return report;
}
