// control/storage/listing.cpp - ReadAllSms: list the storage and sort the indexes
// into received and outgoing messages.
#include <chrono>

#include "base/at_answers.h"

#include "control/storage/store.h"

namespace reviri::sms {

void ReadAllSms(ControlCore& core) {
  listIntoListing(core);
  core.sleepFor(std::chrono::milliseconds(1));
  sortListing(core);
}

void listIntoListing(ControlCore& core) {
  core.surface.listing.setText(core.at("at+cmgl=4\r\n"));
}

void sortListing(ControlCore& core) {
  core.props.SMS_Read_String.clear();
  core.props.SMS_Send_String.clear();
  // One entry: the header line with index and status, then the PDU line,
  // which must be complete (its LF present) for the entry to count. Blanks
  // around the commas are allowed (some modems write "+CMGL: 1, 0, ,25");
  // an index of five digits still does not count.
  for (const at::ListedEntry& entry : at::listingEntries(core.surface.listing.text())) {
    // Status 0 and 1 are received messages, 2 and 3 stored outgoing ones.
    std::string& indexes = entry.status >= 2 ? core.props.SMS_Send_String : core.props.SMS_Read_String;
    indexes += ',';
    indexes += entry.index;
  }
}

}  // namespace reviri::sms
