// tests/com/wine/check.h - the Windows test clients' one-line checks: each
// prints "ok" or "FAIL" with what it checked; the counts make the summary
// "N passed, N failed" and the exit code.
#ifndef REVIRI_TESTS_COM_WINE_CHECK_H_
#define REVIRI_TESTS_COM_WINE_CHECK_H_

#include <cstdio>
#include <string>

namespace reviri::wine {

inline int passed = 0;
inline int failed = 0;

inline void check(bool ok, const std::string& what, const std::string& detail = {}) {
  (ok ? passed : failed)++;
  std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what.c_str(), detail.empty() ? "" : ": ",
              detail.c_str());
  std::fflush(stdout);
}

}  // namespace reviri::wine

#endif  // REVIRI_TESTS_COM_WINE_CHECK_H_
