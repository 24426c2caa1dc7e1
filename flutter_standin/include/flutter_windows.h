#ifndef FLUTTER_STANDIN_FLUTTER_WINDOWS_H_
#define FLUTTER_STANDIN_FLUTTER_WINDOWS_H_

// The Windows embedding's plain-function interface. The stand-in has no views or windows, so
// only the registrar and messenger parts exist.
#include "flutter_export.h"
#include "flutter_messenger.h"
#include "flutter_plugin_registrar.h"

#endif  // FLUTTER_STANDIN_FLUTTER_WINDOWS_H_
