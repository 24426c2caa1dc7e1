#ifndef FLUTTER_STANDIN_FLUTTER_EXPORT_H_
#define FLUTTER_STANDIN_FLUTTER_EXPORT_H_

// Building flutter_windows.dll itself exports the engine functions; everyone else imports them.
#ifdef FLUTTER_DESKTOP_LIBRARY
#ifdef _WIN32
#define FLUTTER_EXPORT __declspec(dllexport)
#else
#define FLUTTER_EXPORT __attribute__((visibility("default")))
#endif
#else
#ifdef _WIN32
#define FLUTTER_EXPORT __declspec(dllimport)
#else
#define FLUTTER_EXPORT
#endif
#endif

#endif  // FLUTTER_STANDIN_FLUTTER_EXPORT_H_
