#include "tests/fault/fault.h"

#include <dirent.h>
#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct Step {
    int err;
    int times;
    int after;
};

// A call's script is a queue of steps, so "EINTR twice, then EINVAL" can be said.
struct Script {
    char call[32];
    Step steps[8];
    int stepCount;
    int current;
    int calls;
};

// Small and fixed: a handful of calls is ever scripted at once.
Script scripts[64];
int scriptCount = 0;
std::mutex lock;
struct timespec clockReadings[64];
int clockCount = 0;
int clockNext = 0;
const char* dladdrFname = nullptr;
struct ovrel_fault_kevent_call keventCalls[64];
int keventCallCount = 0;

Script* find(const char* call, bool create) {
    for (int i = 0; i < scriptCount; ++i) {
        if (strcmp(scripts[i].call, call) == 0) {
            return &scripts[i];
        }
    }
    if (!create || scriptCount == 64) {
        return nullptr;
    }
    Script* s = &scripts[scriptCount++];
    memset(s, 0, sizeof(*s));
    strncpy(s->call, call, sizeof(s->call) - 1);
    return s;
}

__attribute__((constructor)) void loadFromEnvironment() {
    const char* script = getenv("OVREL_FAULTS");
    if (script == nullptr) {
        return;
    }
    char copy[1024];
    strncpy(copy, script, sizeof(copy) - 1);
    copy[sizeof(copy) - 1] = '\0';
    char* save = nullptr;
    for (char* item = strtok_r(copy, ",", &save); item != nullptr;
         item = strtok_r(nullptr, ",", &save)) {
        char call[32] = {0};
        int err = 0, times = 0, after = 0;
        if (sscanf(item, "%31[^:]:%d:%d:%d", call, &err, &times, &after) >= 3) {
            ovrel_fault_inject(call, err, times, after);
        }
    }
}

}  // namespace

void ovrel_fault_inject(const char* call, int err, int times, int after) {
    std::lock_guard<std::mutex> guard(lock);
    Script* s = find(call, true);
    if (s != nullptr && s->stepCount < 8) {
        s->steps[s->stepCount++] = Step{err, times, after};
    }
}

void ovrel_fault_reset(void) {
    std::lock_guard<std::mutex> guard(lock);
    scriptCount = 0;
    clockCount = 0;
    clockNext = 0;
    dladdrFname = nullptr;
    keventCallCount = 0;
}

int ovrel_fault_calls(const char* call) {
    std::lock_guard<std::mutex> guard(lock);
    Script* s = find(call, false);
    return s == nullptr ? 0 : s->calls;
}

int ovrel_fault_take(const char* call) {
    std::lock_guard<std::mutex> guard(lock);
    Script* s = find(call, true);
    if (s == nullptr) {
        return 0;
    }
    ++s->calls;
    while (s->current < s->stepCount) {
        Step& step = s->steps[s->current];
        if (step.after > 0) {
            --step.after;
            return 0;
        }
        if (step.times > 0) {
            --step.times;
            return step.err;
        }
        ++s->current;
    }
    return 0;
}

void ovrel_fault_clock_script(const struct timespec* readings, int count) {
    std::lock_guard<std::mutex> guard(lock);
    clockCount = count < 64 ? count : 64;
    clockNext = 0;
    for (int i = 0; i < clockCount; ++i) {
        clockReadings[i] = readings[i];
    }
}

int ovrel_fault_clock_take(struct timespec* out) {
    std::lock_guard<std::mutex> guard(lock);
    if (clockNext >= clockCount) {
        return 0;
    }
    *out = clockReadings[clockNext++];
    return 1;
}

void ovrel_fault_dladdr_fname(const char* fname) {
    std::lock_guard<std::mutex> guard(lock);
    dladdrFname = fname;
}

const char* ovrel_fault_dladdr_fname_get(void) {
    std::lock_guard<std::mutex> guard(lock);
    return dladdrFname;
}

void ovrel_fault_kevent_record(const struct ovrel_fault_kevent_call* call) {
    std::lock_guard<std::mutex> guard(lock);
    if (keventCallCount < 64) {
        keventCalls[keventCallCount] = *call;
    }
    ++keventCallCount;
}

int ovrel_fault_kevent_calls(struct ovrel_fault_kevent_call* out, int max) {
    std::lock_guard<std::mutex> guard(lock);
    int kept = keventCallCount < 64 ? keventCallCount : 64;
    for (int i = 0; i < kept && i < max; ++i) {
        out[i] = keventCalls[i];
    }
    return keventCallCount;
}

int ovrel_fault_open_fds(void) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (struct dirent* e = readdir(dir)) {
        count += e->d_name[0] != '.';
    }
    closedir(dir);
    return count - 1;
}
