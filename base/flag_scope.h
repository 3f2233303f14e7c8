// base/flag_scope.h - a flag that is set for the life of a scope and cleared
// on every way out of it, exceptions included: "a wait is running", "the
// handler is on the stack". Threading: the flag owner's.
#ifndef REVIRI_BASE_FLAG_SCOPE_H_
#define REVIRI_BASE_FLAG_SCOPE_H_

namespace reviri {

class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace reviri

#endif  // REVIRI_BASE_FLAG_SCOPE_H_
