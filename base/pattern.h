// base/pattern.h - how the control compiles its regular expressions.
//
// Every pattern matches without regard to case. RE2's "." matches everything
// but a line feed, so it does match the CR of a modem's CR LF. Patterns are
// compiled once (function-local statics); RE2 objects are thread-safe.
#ifndef REVIRI_BASE_PATTERN_H_
#define REVIRI_BASE_PATTERN_H_

#include <re2/re2.h>

namespace reviri {

inline RE2::Options caselessPattern() {
  RE2::Options options;
  options.set_case_sensitive(false);
  return options;
}

}  // namespace reviri

#endif  // REVIRI_BASE_PATTERN_H_
