// gateway/console.cpp - serving the console's embedded files.
#include "gateway/console.h"

#include <httplib.h>

namespace reviri::gateway {
namespace {

const ConsoleAsset* findAsset(const std::string& path) {
  for (const auto& asset : consoleAssets()) {
    if (path == asset.path) return &asset;
  }
  return nullptr;
}

}  // namespace

bool isConsolePath(const std::string& path) { return path == "/" || path.rfind("/assets/", 0) == 0; }

void setConsoleHeaders(httplib::Response& res) {
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
                 "base-uri 'none'; form-action 'none'; frame-ancestors 'none'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("X-Frame-Options", "DENY");
}

void serveConsole(httplib::Server& server) {
  const auto handler = [](const httplib::Request& req, httplib::Response& res) {
    setConsoleHeaders(res);
    const ConsoleAsset* asset = findAsset(req.path);
    if (!asset) {
      res.status = 404;
      res.set_content(R"({"error":"no such console file"})", "application/json");
      return;
    }
    // index.html names the current assets, so it is asked for again every
    // time; the assets' names change with their content.
    res.set_header("Cache-Control", asset->immutable ? "public, max-age=31536000, immutable" : "no-cache");
    res.set_content(reinterpret_cast<const char*>(asset->data), asset->size, asset->contentType);
  };
  server.Get("/", handler);
  server.Get(R"(/assets/[A-Za-z0-9._-]+)", handler);
}

}  // namespace reviri::gateway
