#include "tests/cpp/support/module_spy.h"

#include <jni.h>

std::vector<std::string>& unloadedModules() {
    static std::vector<std::string> modules;
    return modules;
}

// One wrapper per module in the load chain; the list of wrapped symbols is
// OVREL_MODULE_SPIES in tests/cpp/CMakeLists.txt.
#define OVREL_MODULE_SPY(area, module)                                       \
    extern "C" void __real_ovrel_##area##_##module##_JNI_OnUnLoad(JNIEnv*);  \
    extern "C" void __wrap_ovrel_##area##_##module##_JNI_OnUnLoad(JNIEnv* env) { \
        unloadedModules().push_back(#module);                                \
        __real_ovrel_##area##_##module##_JNI_OnUnLoad(env);                  \
    }

OVREL_MODULE_SPY(unix, limits)
OVREL_MODULE_SPY(unix, errors)
OVREL_MODULE_SPY(unix, filedescriptor)
OVREL_MODULE_SPY(unix, socket)
OVREL_MODULE_SPY(unix, buffer)
OVREL_MODULE_SPY(kqueue, bsdsocket)
OVREL_MODULE_SPY(kqueue, eventarray)
