// base/at_answers.h - reading the modem's answers to the SMS commands:
// "+CMGL:"/"+CMGR:" headers, "+CMTI:"/"+CDSI:" indications, "+CMGS:"
// and "+CMGW:" references, "+CME ERROR:"/"+CMS ERROR:" codes.
//
// The typed API reads answers line by line (the first group); the control
// reads them out of its raw answer strings by its own documented rules (the
// second group). Both read with base/answer_fields.h; the control's prefixes
// match in any letter case. Pure functions; thread-safe.
#ifndef REVIRI_BASE_AT_ANSWERS_H_
#define REVIRI_BASE_AT_ANSWERS_H_

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reviri::at {

// ---- Line by line (the typed API) -------------------------------------------
// "+CMGL: 3,1,,25" / "+CMGR: 1,,25": the index (-1 for +CMGR) and status.
struct ListingHeader {
  int index = -1;
  int status = -1;
};
std::optional<ListingHeader> parseListingHeader(std::string_view line);

// "+CMTI: \"SM\",5" / "+CDSI: \"ME\",2": the storage name and index.
struct StorageIndex {
  std::string storage;
  int index = -1;
};
std::optional<StorageIndex> parseStorageIndex(std::string_view line);

// The reference (TP-MR) after "+CMGS:" in any of `lines`, as written and
// as a value: -1 when the text is not one octet (0-255), which no network
// gives. Nullopt when no line carries one.
struct SendReference {
  std::string text;
  int value = -1;
};
std::optional<SendReference> sendReference(const std::vector<std::string>& lines);

// ---- Out of a raw answer (the control) --------------------------------------
// The numbers after every occurrence of any of `prefixes` in `text`, in
// order, at most `most` digits each; an occurrence without a digit after
// it gives none. No anchor: "CMGS: " matches the modem's "+CMGS: 12" but not
// the echo "AT+CMGS=14".
std::vector<std::string> numbersAfter(std::string_view text, std::initializer_list<std::string_view> prefixes,
                                      std::size_t most);
// The digits (up to four) after the last comma of the first "+CMTI" line
// that has a comma followed by a digit; "" if none.
std::string cmtiIndex(std::string_view text);
// The line after the first "+CMGR" line, without its CR LF; it counts only
// when it is not empty and ends in CR LF. "" if none.
std::string cmgrPduLine(std::string_view answer);
// The index of the first "+CMGW:" followed by blanks and digits, all of its
// digits; "" if none.
std::string cmgwIndex(std::string_view answer);
// The complete "+CMGL" entries of a listing: an index of one to four digits,
// a status (blanks allowed around the comma), and a PDU line ended by LF.
struct ListedEntry {
  std::string index;  // as written
  int status = 0;
};
std::vector<ListedEntry> listingEntries(std::string_view listing);

}  // namespace reviri::at

#endif  // REVIRI_BASE_AT_ANSWERS_H_
