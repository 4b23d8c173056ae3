// USERPOLICY_EXPORT marks the names the module exports; everything else is
// hidden (the build compiles with -fvisibility=hidden). USERPOLICY_C_EXPORT
// additionally gives a function an undecorated (C) name.
//
// USERPOLICY_PORT_EXPORT marks the names the platform layer provides in place
// of the operating system: the COM support classes (_bstr_t, _variant_t,
// _com_error) and the OLE Automation functions (BSTR, VARIANT, SAFEARRAY)
// that the exported interface takes and hands out. On Windows a host gets
// those from the system's headers and libraries (comutil.h, oleauto.h,
// comsuppw, oleaut32), so the module must neither export nor import them and
// the macro is empty there. Elsewhere the library is their only provider, and
// a host that calls the exported interface links them from it. A macro of its
// own, because USERPOLICY_EXPORT on Windows means dllexport/dllimport of our
// own names, which these are not.
#ifndef USERPOLICY_PLATFORM_EXPORT_H_
#define USERPOLICY_PLATFORM_EXPORT_H_

#if defined(_WIN32)
#if defined(USERPOLICY_BUILD)
#define USERPOLICY_EXPORT __declspec(dllexport)
#elif defined(USERPOLICY_NO_DLLIMPORT)
// Code that is linked either with userpolicy.dll (its import library's
// stubs serve function calls) or with a stand-in of the C interface that
// defines the functions itself (upm's logic and its unit tests' double).
#define USERPOLICY_EXPORT
#else
#define USERPOLICY_EXPORT __declspec(dllimport)
#endif
#define USERPOLICY_PORT_EXPORT
#else
#define USERPOLICY_EXPORT __attribute__((visibility("default")))
#define USERPOLICY_PORT_EXPORT __attribute__((visibility("default")))
#endif

#define USERPOLICY_C_EXPORT extern "C" USERPOLICY_EXPORT

#endif  // USERPOLICY_PLATFORM_EXPORT_H_
