// sms/store/store_internal.h - helpers shared by the files of sms/store.
#ifndef REVIRI_SMS_STORE_STORE_INTERNAL_H_
#define REVIRI_SMS_STORE_STORE_INTERNAL_H_

#include <re2/re2.h>

#include <string_view>

namespace reviri::sms {

// Case-insensitive matching; RE2's "." already stops only at LF.
RE2::Options caselessPattern();

// Throws std::invalid_argument when `value` holds CR, LF, Ctrl-Z or ESC.
void requireCommandArgument(const char* what, std::string_view value);

}  // namespace reviri::sms

#endif  // REVIRI_SMS_STORE_STORE_INTERNAL_H_
