// tools/cli.h - the reviri command-line tool.
//
// runCli parses a command line and runs one verb against a modem: the port
// given with --port, or the built-in simulated modem when there is none.
// Exit status: 0 success, 1 the modem refused or the wait ran out, 2 a usage
// error, 3 the port cannot be opened.
//
// Threading: runs on the calling thread; the built-in simulated modem, when
// used, serves from a thread of its own.
#ifndef REVIRI_TOOLS_CLI_H_
#define REVIRI_TOOLS_CLI_H_

#include <ostream>

#include "reviri/reviri.h"

namespace reviri::cli {

enum Exit { kSuccess = 0, kRefused = 1, kUsage = 2, kNoPort = 3 };

struct RunOptions {
  // Replaces the control's sleeper (default: a real sleep; on the built-in
  // simulator the two-second settle pause of the modem set-up is skipped).
  Sleeper sleep;
};

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
           const RunOptions& run = {});

}  // namespace reviri::cli

#endif  // REVIRI_TOOLS_CLI_H_
