// tools/verbs_panel.cpp - the "panel" verb: the control's built-in test panel
// on the terminal. Its connect button opens the port of --port, or the
// built-in simulated modem when there is none, instead of the panel's own
// serial port 1.
#include <CLI/CLI.hpp>

#include "panel/panel_screen.h"
#include "tools/context.h"

namespace reviri::cli {

void addPanelVerbs(CLI::App& app, std::vector<Verb>& verbs) {
  CLI::App* panelApp = app.add_subcommand(
      "panel", "the built-in test panel on the terminal; \"connnect\" opens --port or the simulated modem");
  verbs.push_back({panelApp, [](Context& ctx) {
                     if (const int rc = ctx.prepare()) return rc;
                     panel::PanelScreenOptions options;
                     options.connect.device = ctx.device();
                     options.connect.settings = ctx.options.settings;
                     options.note = ctx.onSimulator()
                                        ? "simulated modem on " + ctx.device() + ", own number " +
                                              ctx.simulator()->identity().ownNumber
                                        : "connnect opens " + ctx.device() + " at " + ctx.options.settings;
                     return panel::runPanelScreen(ctx.modem(), options);
                   }});
}

}  // namespace reviri::cli
