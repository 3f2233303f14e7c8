// panel/panel_screen.h - the built-in test panel drawn on a terminal with
// ncurses.
//
// Every element sits where its twip position puts it, scaled to character
// cells to fit the terminal. Tab and Shift-Tab move the focus in tab order,
// Enter or Space clicks the focused button (a mouse click works too), text
// boxes are edited in place (Enter breaks the line in a multi-line box), and
// message boxes are modal dialogs closed with Enter. F10, Esc, Ctrl-Q or
// Ctrl-C ends the screen. Received data are delivered to the control while
// the screen waits for keys, so the receive buffer (TextTIME) and the
// new-message processing stay live.
//
// Threading: runs on the calling thread, which must own the control. While a
// handler waits for the modem the screen shows that it waits; keys typed
// meanwhile are handled after the handler returns.
#ifndef REVIRI_PANEL_PANEL_SCREEN_H_
#define REVIRI_PANEL_PANEL_SCREEN_H_

#include <string>

#include "panel/panel.h"
#include "reviri/reviri.h"

namespace reviri::panel {

struct PanelScreenOptions {
  ConnectTarget connect;  // where "connnect" opens the modem
  std::string note;       // shown on the status line at start, e.g. which modem
};

// Runs the panel until the user quits; returns 0. Throws std::runtime_error
// when standard input or output is not a terminal.
int runPanelScreen(Reviri& control, const PanelScreenOptions& options);

}  // namespace reviri::panel

#endif  // REVIRI_PANEL_PANEL_SCREEN_H_
