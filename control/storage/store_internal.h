// control/storage/store_internal.h - helpers shared by the files of control/storage.
#ifndef REVIRI_SMS_STORE_STORE_INTERNAL_H_
#define REVIRI_SMS_STORE_STORE_INTERNAL_H_

#include "base/at_answers.h"
#include "link/command_line.h"

#include <string_view>

namespace reviri::sms {

using link::requireCommandArgument;

}  // namespace reviri::sms

#endif  // REVIRI_SMS_STORE_STORE_INTERNAL_H_
