// link/command_line.h - checks on text inserted into AT command lines.
//
// CR or LF would end a command line early and start another one; Ctrl-Z and
// ESC end or abort a message entry. A host argument holding any of them
// could smuggle a command of its own to the modem, so it is refused before
// anything is written. Pure functions; thread-safe.
#ifndef REVIRI_LINK_COMMAND_LINE_H_
#define REVIRI_LINK_COMMAND_LINE_H_

#include <stdexcept>
#include <string>
#include <string_view>

namespace reviri::link {

inline bool holdsLineControl(std::string_view value) {
  return value.find_first_of("\r\n\x1A\x1B") != std::string_view::npos;
}

// Throws std::invalid_argument naming `what` when `value` holds CR, LF,
// Ctrl-Z or ESC.
inline void requireCommandArgument(std::string_view what, std::string_view value) {
  if (holdsLineControl(value))
    throw std::invalid_argument(std::string(what) + ": argument holds CR, LF, Ctrl-Z or ESC");
}

}  // namespace reviri::link

#endif  // REVIRI_LINK_COMMAND_LINE_H_
