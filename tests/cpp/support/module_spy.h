#ifndef OVREL_TESTS_MODULE_SPY_H_
#define OVREL_TESTS_MODULE_SPY_H_

#include <string>
#include <vector>

// The module unload functions the loader called, in order ("limits", "errors", ...).
// Filled through link-time wrappers of each module's unload function.
std::vector<std::string>& unloadedModules();

#endif
