/// @file
/// reviri/export.h - marks the declarations a shared libreviri exports.
///
/// The library is compiled with hidden symbols; REVIRI_API on a class or
/// function of the public headers keeps it visible, so a shared library
/// exports exactly the API of include/reviri/ (and the type information that
/// lets exceptions and event sinks cross it). In a static build it changes
/// nothing.
///
/// Threading: declarations only.
#ifndef REVIRI_EXPORT_H_
#define REVIRI_EXPORT_H_

#if defined(_WIN32)
/// Exports a public class or function (nothing to do in the static Windows build).
#define REVIRI_API
#else
/// Exports a public class or function from a shared libreviri.
#define REVIRI_API __attribute__((visibility("default")))
#endif

#endif  // REVIRI_EXPORT_H_
