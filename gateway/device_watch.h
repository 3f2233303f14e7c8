// gateway/device_watch.h - waits, without polling, for a device path to
// appear again (a re-plugged USB modem, a simulated modem back after a
// power-cycle).
//
// An inotify descriptor watches the nearest directory of the path that
// exists, since /dev/serial/by-id/ itself goes with the last device; when
// something is made there the watch moves down towards the path. A symbolic
// link counts once it leads to something (a dangling link waits for its
// target's directory as well). The caller sleeps on fd() together with its
// own descriptors and calls changed() when it is readable.
//
// Threading: one thread (the worker's) owns a DeviceWatch.
#ifndef REVIRI_GATEWAY_DEVICE_WATCH_H_
#define REVIRI_GATEWAY_DEVICE_WATCH_H_

#include <string>
#include <vector>

namespace reviri::gateway {

class DeviceWatch {
 public:
  // Throws std::system_error when inotify cannot be had.
  explicit DeviceWatch(std::string path);
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // Whether the path leads to something now.
  bool present() const;
  // Reads what the kernel reported and moves the watches where the path
  // needs them; true when the path is present. Never blocks.
  bool changed();
  // Readable when something changed in a watched directory.
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  void rearm();
  void watchNearest(const std::string& path);

  std::string path_;
  int fd_;
  std::vector<int> watches_;
};

// Whether `path` leads to something (a symbolic link: its target).
bool devicePresent(const std::string& path);

}  // namespace reviri::gateway

#endif  // REVIRI_GATEWAY_DEVICE_WATCH_H_
