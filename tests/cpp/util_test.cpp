#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "unix/util.h"

namespace {

const char kBase[] = "ovrel_transport_native_kqueue";

struct PrefixCase {
    const char* path;
    const char* prefix;  // null: no prefix
    jint status;
};

class PackagePrefix : public testing::TestWithParam<PrefixCase> {};

TEST_P(PackagePrefix, IsDerivedFromTheFileName) {
    const PrefixCase& c = GetParam();
    jint status = 0;
    char* prefix = ovrel_unix_util_parse_package_prefix(c.path, kBase, &status);
    EXPECT_EQ(status, c.status);
    if (c.prefix == nullptr) {
        EXPECT_EQ(prefix, nullptr);
    } else {
        ASSERT_NE(prefix, nullptr);
        EXPECT_STREQ(prefix, c.prefix);
    }
    free(prefix);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedPaths, PackagePrefix,
    testing::Values(
        PrefixCase{"/usr/local/lib/libovrel_transport_native_kqueue_x86_64.so", nullptr, 0},
        PrefixCase{"/tmp/libapp_shaded_inner_ovrel_transport_native_kqueue_x86_64.so",
                   "app/shaded/inner/", 0},
        PrefixCase{"/tmp/libshadedovrel_transport_native_kqueue.so", "shaded/", 0},
        PrefixCase{"/tmp/liba.b-c_ovrel_transport_native_kqueue.so", "a.b-c/", 0},
        PrefixCase{"/opt/ovrel_transport_native_kqueue/libovrel_transport_native_kqueue_x86_64.so",
                   nullptr, 0},
        PrefixCase{"/usr/lib/x/ovrel_transport_native_kqueue.so", "/x/", 0},
        PrefixCase{"lib_ovrel_transport_native_kqueue.so", "/", 0},
        PrefixCase{"/tmp/ovrel_transport_native_kqueue.so", nullptr, -1},
        PrefixCase{"/tmp/native.so", nullptr, -1},
        PrefixCase{"abovrel_transport_native_kqueue.so", nullptr, -1},
        // Overlapping occurrences count: the last one is the base name.
        PrefixCase{"/tmp/libovrel_transport_native_kqueueovrel_transport_native_kqueue.so",
                   "ovrel/transport/native/kqueue/", 0}));

TEST(PackagePrefixInput, EmptyBaseNameIsRefused) {
    jint status = 0;
    EXPECT_EQ(ovrel_unix_util_parse_package_prefix("/tmp/libx.so", "", &status), nullptr);
    EXPECT_EQ(status, -1);
}

TEST(Prepend, JoinsPrefixAndText) {
    struct {
        const char* prefix;
        const char* text;
        const char* expected;
    } cases[] = {
        {nullptr, "io/ovrel/X", "io/ovrel/X"},
        {"", "io/ovrel/X", "io/ovrel/X"},
        {"app/shaded/", "io/ovrel/channel/kqueue/Native", "app/shaded/io/ovrel/channel/kqueue/Native"},
        {"a/", "", "a/"},
    };
    for (const auto& c : cases) {
        char* joined = ovrel_unix_util_prepend(c.prefix, c.text);
        ASSERT_NE(joined, nullptr);
        EXPECT_STREQ(joined, c.expected);
        EXPECT_NE(joined, c.text) << "must be a fresh copy";
        free(joined);
    }
}

TEST(Rstrstr, FindsTheHighestMatchWithinTheRange) {
    char text[] = "libXlibYlib";
    char* end = text + strlen(text);
    EXPECT_EQ(ovrel_unix_util_rstrstr(end, text, "lib"), text + 8);
    EXPECT_EQ(ovrel_unix_util_rstrstr(text + 7, text, "lib"), text + 4);
    // A match that begins exactly at the search start is found.
    EXPECT_EQ(ovrel_unix_util_rstrstr(text + 3, text, "lib"), text);
    // A needle longer than the range, or a range that excludes every match.
    EXPECT_EQ(ovrel_unix_util_rstrstr(text + 2, text, "lib"), nullptr);
    EXPECT_EQ(ovrel_unix_util_rstrstr(end, text + 9, "lib"), nullptr);
    EXPECT_EQ(ovrel_unix_util_rstrstr(end, text, "zz"), nullptr);
    // An empty needle matches at the search end.
    EXPECT_EQ(ovrel_unix_util_rstrstr(end, text, ""), end);
}

TEST(DynamicTable, FreesSignaturesFromTheFirstDynamicIndex) {
    // Only the dynamic part is owned by the table: LeakSanitizer and ASan
    // tell whether exactly those strings and the table were freed.
    JNINativeMethod* table = static_cast<JNINativeMethod*>(calloc(4, sizeof(JNINativeMethod)));
    table[0].signature = const_cast<char*>("(I)V");
    table[2].signature = ovrel_unix_util_prepend("(I)L", "x;");
    ovrel_unix_util_free_dynamic_methods_table(table, 2, 4);
    ovrel_unix_util_free_dynamic_methods_table(nullptr, 2, 4);

    JNINativeMethod* fixedOnly = static_cast<JNINativeMethod*>(calloc(1, sizeof(JNINativeMethod)));
    fixedOnly[0].signature = const_cast<char*>("()V");
    ovrel_unix_util_free_dynamic_methods_table(fixedOnly, 3, 1);
}

TEST(DynamicName, IsFreedOnceAndCleared) {
    char* name = ovrel_unix_util_prepend("p/", "q");
    ovrel_unix_util_free_dynamic_name(&name);
    EXPECT_EQ(name, nullptr);
    ovrel_unix_util_free_dynamic_name(&name);
    ovrel_unix_util_free_dynamic_name(nullptr);
}

}  // namespace
