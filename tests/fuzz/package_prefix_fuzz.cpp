// The package-prefix parser and the two string helpers it stands on, against
// a plain reference of the naming rule: "lib" + prefix + base name, the last
// occurrence of the base name counting, '_' read as '/', a trailing '/'.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "unix/util.h"

namespace {

const char kBaseName[] = "ovrel_transport_native_kqueue";

void check(bool condition, const char* what) {
    if (!condition) {
        fprintf(stderr, "package_prefix: %s\n", what);
        abort();
    }
}

// What the prefix of `path` must be; `ok` false when the path has no such shape.
std::string referencePrefix(const std::string& path, const std::string& name, bool* ok) {
    *ok = false;
    size_t base = path.rfind(name);
    if (base == std::string::npos || base < 3) {
        return "";
    }
    size_t lib = path.rfind("lib", base - 3);
    if (lib == std::string::npos) {
        return "";
    }
    *ok = true;
    std::string prefix = path.substr(lib + 3, base - lib - 3);
    for (char& c : prefix) {
        if (c == '_') {
            c = '/';
        }
    }
    if (!prefix.empty() && prefix.back() != '/') {
        prefix += '/';
    }
    return prefix;
}

void fuzzParse(const std::string& path, const std::string& name) {
    jint status = 0;
    char* prefix = ovrel_unix_util_parse_package_prefix(path.c_str(), name.c_str(), &status);
    bool ok;
    std::string expected = referencePrefix(path, name, &ok);
    check(status == 0 || status == -1, "status written with something else than -1");
    if (!ok) {
        check(prefix == nullptr && status == -1, "a path without the shape was accepted");
    } else if (expected.empty()) {
        check(prefix == nullptr && status == 0, "no prefix must be null with status 0");
    } else {
        check(prefix != nullptr && status == 0, "a prefix was refused");
        check(expected == prefix, "prefix differs from the naming rule");
    }
    free(prefix);
}

void fuzzRstrstr(const uint8_t* data, size_t size) {
    if (size < 3) {
        return;
    }
    // Layout: [start offset][end offset][needle length] then the text.
    std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
    size_t start = text.empty() ? 0 : data[0] % (text.size() + 1);
    size_t end = text.empty() ? 0 : data[1] % (text.size() + 1);
    size_t needleLength = text.empty() ? 0 : data[2] % (text.size() + 1);
    std::string needle = text.substr(0, needleLength);
    needle = needle.c_str();  // a C needle ends at its first NUL
    char* found = ovrel_unix_util_rstrstr(&text[0] + end, text.c_str() + start, needle.c_str());
    // Reference: the highest start in [start, end - len] where the bytes match.
    const char* expected = nullptr;
    if (end >= start && end - start >= needle.size()) {
        for (size_t at = end - needle.size() + 1; at-- > start;) {
            if (strncmp(text.c_str() + at, needle.c_str(), needle.size()) == 0) {
                expected = text.c_str() + at;
                break;
            }
        }
    }
    check(found == expected, "rstrstr found another match than the last one");
}

void fuzzPrepend(const std::string& a, const std::string& b, bool nullPrefix) {
    char* joined = ovrel_unix_util_prepend(nullPrefix ? nullptr : a.c_str(), b.c_str());
    check(joined != nullptr, "prepend failed with memory to spare");
    check((nullPrefix ? b : a + b) == joined, "prepend did not concatenate");
    free(joined);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t mode = data[0];
    ++data;
    --size;
    // Paths are C strings: the library never sees past a NUL.
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string path = text.c_str();
    switch (mode % 4) {
        case 0:
            fuzzParse(path, kBaseName);
            break;
        case 1: {
            // Another non-empty base name, taken from the front of the input;
            // the library's only caller passes a fixed, non-empty one.
            size_t split = path.find('\x01');
            if (split == std::string::npos || split == 0) {
                return 0;
            }
            fuzzParse(path.substr(split + 1), path.substr(0, split));
            break;
        }
        case 2:
            fuzzRstrstr(data, size);
            break;
        default: {
            size_t split = path.find('\x01');
            std::string a = split == std::string::npos ? path : path.substr(0, split);
            std::string b = split == std::string::npos ? "" : path.substr(split + 1);
            fuzzPrepend(a, b, mode & 4);
            break;
        }
    }
    return 0;
}
