// gateway/device_watch.cpp - inotify on the nearest existing directory of a
// device path.
#include "gateway/device_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace reviri::gateway {
namespace {

namespace fs = std::filesystem;

// Whatever may make the path: a node or link made or moved in, a directory
// on the way made; and the watched directory itself going away.
constexpr std::uint32_t kMask = IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

bool devicePresent(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;  // follows links: a dangling one is absent
}

DeviceWatch::DeviceWatch(std::string path) : path_(std::move(path)), fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "inotify_init1 for " + path_);
  rearm();
}

DeviceWatch::~DeviceWatch() { ::close(fd_); }

bool DeviceWatch::present() const { return devicePresent(path_); }

bool DeviceWatch::changed() {
  alignas(inotify_event) char buffer[4096];
  while (::read(fd_, buffer, sizeof buffer) > 0) {
  }
  // Armed again before the look, so nothing made after it goes unseen.
  rearm();
  return present();
}

void DeviceWatch::rearm() {
  for (int wd : watches_) ::inotify_rm_watch(fd_, wd);
  watches_.clear();
  watchNearest(path_);
  // A link that leads nowhere yet: its target's directory matters too.
  std::error_code error;
  if (fs::is_symlink(fs::symlink_status(path_, error)) && !devicePresent(path_)) {
    fs::path target = fs::read_symlink(path_, error);
    if (!error) watchNearest((target.is_absolute() ? target : fs::path(path_).parent_path() / target).string());
  }
}

// Watches the nearest existing directory above `path`.
void DeviceWatch::watchNearest(const std::string& path) {
  fs::path dir = fs::absolute(fs::path(path)).parent_path();
  while (true) {
    const int wd = ::inotify_add_watch(fd_, dir.c_str(), kMask);
    if (wd >= 0) {
      watches_.push_back(wd);
      return;
    }
    if (!dir.has_parent_path() || dir == dir.parent_path()) return;
    dir = dir.parent_path();
  }
}

}  // namespace reviri::gateway
