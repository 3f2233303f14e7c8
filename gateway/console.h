// gateway/console.h - the web console: its files, compiled into the binary
// (cmake/EmbedConsole.cmake), served at "/" and "/assets/..." on the API's
// address with the headers that keep a page showing strangers' texts safe.
//
// The page itself asks for nothing without the API key; the files carry no
// secret, so they are served without one.
//
// Threading: consoleAssets() is immutable; serveConsole() registers routes
// before the server starts.
#ifndef REVIRI_GATEWAY_CONSOLE_H_
#define REVIRI_GATEWAY_CONSOLE_H_

#include <cstddef>
#include <string>
#include <vector>

namespace httplib {
class Server;
class Response;
}  // namespace httplib

namespace reviri::gateway {

struct ConsoleAsset {
  const char* path;  // "/" or "/assets/NAME.HASH.EXT"
  const char* contentType;
  const unsigned char* data;
  std::size_t size;
  bool immutable;  // a content-hashed name: cached for a year
};

const std::vector<ConsoleAsset>& consoleAssets();

// Whether `path` is one of the console's.
bool isConsolePath(const std::string& path);

// Answers GET "/" and "/assets/..." with the console's files.
void serveConsole(httplib::Server& server);

// The headers every console answer carries: a policy that allows only this
// origin's scripts and styles (no inline ones), no framing, no sniffing,
// no referrer.
void setConsoleHeaders(httplib::Response& res);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_CONSOLE_H_
