// Every failure a library load can meet, injected one at a time: each
// allocation the load path makes (malloc, calloc, strndup through the link-time
// wrappers of tests/fault/alloc.cpp) and each refusable JNI call the load makes
// (through the fake JVM's failCallAt), swept as "fail at call k" for k = 1, 2,
// ... until the load goes through untouched. After each failure the load must
// answer JNI_ERR and leave nothing behind: no heap block, no global reference
// (neither after the loader's own rollback nor after a later JNI_OnUnload), no
// descriptor.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "kqueue/library.h"
#include "tests/cpp/support/fake_jni.h"
#include "tests/cpp/support/module_spy.h"
#include "tests/fault/fault.h"

namespace {

using fakejni::FakeJvm;

// A sweep that has not finished by then has lost its end condition.
const int kSweepLimit = 2000;

struct LoadPath {
    const char* name;
    const char* fname;          // what dladdr reports as the library's file
    int prefixAllocations;      // allocations made while deriving the prefix
};

// No prefix; a prefix that already ends in '/' after the '_' turn into '/'
// (one strndup); a prefix that needs its '/' appended (strndup, then malloc).
const LoadPath kLoadPaths[] = {
    {"PlainName", "/usr/local/lib/libovrel_transport_native_kqueue_x86_64.so", 0},
    {"PrefixEndingInUnderscore", "/tmp/libapp_shaded_ovrel_transport_native_kqueue_x86_64.so", 1},
    {"PrefixNeedingASlash", "/tmp/libshadedovrel_transport_native_kqueue.so", 2},
};

std::string fatalPrefixLine(const char* fname) {
    return std::string("FATAL: transport-native-kqueue JNI encountered unexpected dlinfo.dli_fname: ") +
           fname + "\n";
}

// The exception the fake raises for a refused call; the loader must leave it
// as it is (only a failed class lookup may be cleared).
const std::map<std::string, std::string> kRefusalErrors = {
    {"RegisterNatives", "java/lang/NoSuchMethodError"},
    {"GetMethodID", "java/lang/NoSuchMethodError"},
    {"GetFieldID", "java/lang/NoSuchFieldError"},
    {"NewGlobalRef", "java/lang/OutOfMemoryError"},
    {"NewDirectByteBuffer", "java/lang/OutOfMemoryError"},
    {"NewObject", "java/lang/OutOfMemoryError"},
    {"NewByteArray", "java/lang/OutOfMemoryError"},
    {"NewStringUTF", "java/lang/OutOfMemoryError"},
    {"NewIntArray", "java/lang/OutOfMemoryError"},
    {"NewObjectArray", "java/lang/OutOfMemoryError"},
};

// The file-descriptor module reads a direct buffer's position and limit fields
// when the JVM has them and calls the accessor methods otherwise, so a refusal
// of those two field lookups is no load failure.
bool optionalLookup(const FakeJvm& jvm) {
    return jvm.refused == "GetFieldID" &&
           (jvm.refusedCall == "GetFieldID java/nio/DirectByteBuffer.position" ||
            jvm.refusedCall == "GetFieldID java/nio/DirectByteBuffer.limit");
}

enum class Inject { Allocation, JniCall };

struct Row {
    LoadPath path;
    Inject inject;
};

std::string rowName(const testing::TestParamInfo<Row>& info) {
    return std::string(info.param.path.name) +
           (info.param.inject == Inject::Allocation ? "_Allocations" : "_JniCalls");
}

void PrintTo(const Row& row, std::ostream* os) {
    *os << rowName(testing::TestParamInfo<Row>(row, 0));
}

std::vector<Row> allRows() {
    std::vector<Row> rows;
    for (const LoadPath& path : kLoadPaths) {
        rows.push_back(Row{path, Inject::Allocation});
        rows.push_back(Row{path, Inject::JniCall});
    }
    return rows;
}

// What one load under one injected failure did.
struct Attempt {
    jint result;
    bool injected;
    std::string stderrText;
    ovrel_fault_alloc_report heap;
    int refsAfterLoad;
    int refsAfterUnload;
    int fdDelta;
    bool pending;
    std::string pendingClass;
    std::string refused;
    bool optional;
};

class LoadFaultSweep : public testing::TestWithParam<Row> {
protected:
    void SetUp() override { ovrel_fault_reset(); }
    void TearDown() override { ovrel_fault_reset(); }

    // One load with failure k injected, then the unload the JVM would make
    // anyway, each on a fresh fake JVM so no row sees another's objects.
    Attempt attempt(int k) {
        Attempt a{};
        FakeJvm jvm;
        ovrel_fault_dladdr_fname(GetParam().path.fname);
        unloadedModules().clear();
        const bool allocation = GetParam().inject == Inject::Allocation;
        if (!allocation) {
            jvm.failCallAt = k;
        }
        const int fdsBefore = ovrel_fault_open_fds();
        testing::internal::CaptureStderr();
        ovrel_fault_alloc_arm(allocation ? k : 0);
        a.result = JNI_OnLoad(jvm.vm(), nullptr);
        a.heap = ovrel_fault_alloc_disarm();
        a.stderrText = testing::internal::GetCapturedStderr();
        a.injected = allocation ? a.heap.failed > 0 : !jvm.refused.empty();
        a.refused = jvm.refused;
        a.optional = !allocation && optionalLookup(jvm);
        a.pending = jvm.exceptionPending();
        a.pendingClass = jvm.pendingClass();
        a.refsAfterLoad = jvm.liveGlobalRefs();
        jvm.clearException();
        jvm.failCallAt = 0;
        JNI_OnUnload(jvm.vm(), nullptr);
        a.refsAfterUnload = jvm.liveGlobalRefs();
        a.fdDelta = ovrel_fault_open_fds() - fdsBefore;
        return a;
    }
};

TEST_P(LoadFaultSweep, EveryFailureIsRefusedAndLeavesNothingBehind) {
    const Row& row = GetParam();
    int injected = 0;
    int leaks = 0;
    int k = 1;
    for (; k <= kSweepLimit; ++k) {
        SCOPED_TRACE("failure injected at call " + std::to_string(k));
        Attempt a = attempt(k);
        // A load that went through holds its references until the unload.
        const int refsKept = a.result == JNI_ERR ? a.refsAfterLoad : 0;
        leaks += a.heap.live + a.heap.untracked + refsKept + a.refsAfterUnload + a.fdDelta != 0;
        EXPECT_EQ(a.heap.live, 0) << a.heap.liveBytes << " bytes left on the heap; " << a.refused;
        EXPECT_EQ(a.heap.untracked, 0);
        EXPECT_EQ(a.fdDelta, 0) << "descriptors left open";
        EXPECT_EQ(a.refsAfterUnload, 0) << "global references outlive the unload";
        if (!a.injected) {
            // Past the last call: the untouched load succeeds, and the sweep ends.
            EXPECT_EQ(a.result, JNI_VERSION_1_6) << a.stderrText;
            EXPECT_EQ(a.stderrText, "");
            EXPECT_FALSE(a.pending);
            break;
        }
        ++injected;
        if (a.optional) {
            EXPECT_EQ(a.result, JNI_VERSION_1_6) << "an optional field lookup failed the load";
            EXPECT_FALSE(a.pending) << "its error must be cleared: " << a.pendingClass;
            continue;
        }
        EXPECT_EQ(a.result, JNI_ERR) << "refused: " << (a.refused.empty() ? "allocation" : a.refused);
        EXPECT_EQ(a.refsAfterLoad, 0) << "the rollback kept global references; refused "
                                      << a.refused;
        if (row.inject == Inject::Allocation) {
            // Only running out of memory while deriving the prefix is reported,
            // as the unexpected-file-name line; nothing else prints.
            EXPECT_EQ(a.stderrText,
                      k <= row.path.prefixAllocations ? fatalPrefixLine(row.path.fname) : "");
        } else {
            EXPECT_EQ(a.stderrText, "");
            auto expected = kRefusalErrors.find(a.refused);
            if (expected != kRefusalErrors.end()) {
                EXPECT_EQ(a.pendingClass, expected->second)
                    << "the JVM's error for a refused " << a.refused
                    << " must stay pending, with nothing raised over it";
            }
        }
    }
    EXPECT_LT(k, kSweepLimit) << "the load never went through";
    EXPECT_GT(injected, 0);
    RecordProperty("injected", injected);
    RecordProperty("leaks", leaks);
    printf("[ fault    ] %s: %d failures injected, %d left something behind\n",
           rowName(testing::TestParamInfo<Row>(row, 0)).c_str(), injected, leaks);
}

INSTANTIATE_TEST_SUITE_P(LoadPaths, LoadFaultSweep, testing::ValuesIn(allRows()), rowName);

}  // namespace
