// reviri/message_coding.h - how a message's text is coded on the air: the one
// coding enumeration of the library, used by the typed API and the codecs.
#ifndef REVIRI_MESSAGE_CODING_H_
#define REVIRI_MESSAGE_CODING_H_

namespace reviri {

/// How a message's text is coded on the air.
enum class MessageCoding {
  kAuto,  ///< GSM 7-bit when every character fits, else UCS2 (sending only)
  kGsm7,  ///< GSM 03.38 default alphabet and its extension table
  kUcs2,  ///< UTF-16, two octets per code unit
  k8bit,  ///< binary data (received only; the text holds the hex digits)
};

}  // namespace reviri

#endif  // REVIRI_MESSAGE_CODING_H_
