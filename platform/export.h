// USERPOLICY_EXPORT marks the names the module exports; everything else is
// hidden (the build compiles with -fvisibility=hidden). USERPOLICY_C_EXPORT
// additionally gives a function an undecorated (C) name.
#ifndef USERPOLICY_PLATFORM_EXPORT_H_
#define USERPOLICY_PLATFORM_EXPORT_H_

#if defined(_WIN32)
#if defined(USERPOLICY_BUILD)
#define USERPOLICY_EXPORT __declspec(dllexport)
#else
#define USERPOLICY_EXPORT __declspec(dllimport)
#endif
#else
#define USERPOLICY_EXPORT __attribute__((visibility("default")))
#endif

#define USERPOLICY_C_EXPORT extern "C" USERPOLICY_EXPORT

#endif  // USERPOLICY_PLATFORM_EXPORT_H_
