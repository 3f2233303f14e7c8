// com/automation.h - conversions between Automation types and the library's.
//
// BSTRs hold UTF-16; the library takes and returns UTF-8. A null BSTR and an
// empty one mean the same. Booleans cross as VARIANT_BOOL (True = -1).
//
// Threading: plain functions, no state.
#ifndef REVIRI_COM_AUTOMATION_H_
#define REVIRI_COM_AUTOMATION_H_

#include <oleauto.h>
#include <windows.h>

#include <string>

#include "base/text.h"

namespace reviri::com {

inline std::string fromBstr(BSTR b) {
  if (!b) return {};
  return text::utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(b), SysStringLen(b)));
}

// A new BSTR (the caller owns it). Throws std::bad_alloc when out of memory.
inline BSTR toBstr(const std::string& s) {
  const std::u16string wide = text::utf8ToUtf16(s);
  BSTR b = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(wide.data()),
                             static_cast<UINT>(wide.size()));
  if (!b) throw std::bad_alloc();
  return b;
}

inline VARIANT_BOOL toVariantBool(bool v) { return v ? VARIANT_TRUE : VARIANT_FALSE; }

// Stores a string into a VARIANT result slot (VT_BSTR).
inline void setVariantString(VARIANT* out, const std::string& s) {
  VariantInit(out);
  V_BSTR(out) = toBstr(s);
  V_VT(out) = VT_BSTR;
}

// Owns a BSTR for the length of a scope.
class ScopedBstr {
 public:
  explicit ScopedBstr(BSTR b = nullptr) : b_(b) {}
  ~ScopedBstr() { SysFreeString(b_); }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;
  BSTR get() const { return b_; }
  BSTR release() {
    BSTR b = b_;
    b_ = nullptr;
    return b;
  }

 private:
  BSTR b_;
};

}  // namespace reviri::com

#endif  // REVIRI_COM_AUTOMATION_H_
