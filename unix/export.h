#ifndef OVREL_UNIX_EXPORT_H_
#define OVREL_UNIX_EXPORT_H_

// The library is built with hidden visibility; only the functions marked here
// form its exported surface (module entry points and helpers that sibling
// native code links against).
#ifdef __cplusplus
#define OVREL_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define OVREL_EXPORT __attribute__((visibility("default")))
#endif

#endif
