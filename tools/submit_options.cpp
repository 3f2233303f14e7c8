// tools/submit_options.cpp - the options of the verbs that make an outgoing
// message.
#include <CLI/CLI.hpp>

#include "tools/context.h"

namespace reviri::cli {

void addSubmitOptions(CLI::App& app, SubmitOptions& o) {
  app.add_option("--to", o.to, "destination number, e.g. +4915112345678")->required();
  app.add_option("--text", o.text, "message text (UTF-8)")->required();
  app.add_flag("--ucs2", o.ucs2, "force UCS2 coding (default: 7-bit when every character fits)");
  app.add_flag("--7bit", o.gsm7, "force GSM 7-bit coding; characters outside it are an error");
  app.add_flag("--flash", o.flash, "flash message (class 0): shown at once, not stored");
  app.add_flag("--no-split", o.noSplit, "refuse a text longer than one message");
  app.add_option("--smsc", o.smsc, "service centre for this message (default: the modem's)");
  app.add_option("--validity", o.validityMinutes, "validity period in minutes (5 minutes to 63 weeks)")
      ->check(CLI::PositiveNumber);
}

}  // namespace reviri::cli
