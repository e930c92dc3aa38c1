// Visibility marker of the object-model runtime's public functions.
//
// libzelcom.so is built with hidden visibility, so that its private copies of
// the registry store and path helpers never meet the copies that a client or a
// component links statically.  Only what is marked here leaves the library.
#pragma once

#define ZEL_COM_API __attribute__((visibility("default")))
