// Visibility markers: what libzelcom.so gives its users, and the entry
// points a component library gives the system.
//
// libzelcom.so is built with hidden visibility; only what is marked here
// leaves the library: the object-model runtime's public functions, and the
// registry store and path helpers (platform/registry.h, platform/paths.h),
// whose one copy in a process lives here so that a component and the program
// that loads it share one store connection.
//
// A component library exports its four Dll* entry points and nothing else:
// on Linux its export map lets out the symbols of default visibility (see
// zel_add_component); on Windows they are the DLL's exports.
#pragma once

// On Windows the object model is the system's own (ole32, oleaut32) and the
// registry and path helpers are linked into each program: nothing to export.
#if defined(_WIN32)
#define ZEL_COM_API
#define ZEL_COMPONENT_ENTRY __declspec(dllexport)
#else
#define ZEL_COM_API __attribute__((visibility("default")))
#define ZEL_COMPONENT_ENTRY __attribute__((visibility("default")))
#endif
