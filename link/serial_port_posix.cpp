// link/serial_port_posix.cpp - SerialPort over a POSIX terminal device.
//
// Opens the device non-blocking in raw mode (no echo, no line editing, no
// CR/LF translation, no flow control, modem control lines ignored) so that
// it works alike on real ports, USB modems and pseudo-terminals. A hang-up
// or read error (an unplugged USB modem, a closed pseudo-terminal master) is
// reported as SerialError; the descriptor stays open until close().
//
// Threading: single-threaded, like every SerialPort.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>

#include "reviri/serial_port.h"

namespace reviri {
namespace {

// The speeds termios names; 0 for any other.
speed_t speedFor(long baud) {
  static constexpr std::pair<long, speed_t> kSpeeds[] = {
      {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
      {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
      {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
      {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
      {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
      {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000}};
  const auto* it =
      std::find_if(std::begin(kSpeeds), std::end(kSpeeds), [baud](const auto& s) { return s.first == baud; });
  return it == std::end(kSpeeds) ? 0 : it->second;
}

class PosixSerialPort final : public SerialPort {
 public:
  ~PosixSerialPort() override { close(); }

  void open(const std::string& device, const LineSettings& settings) override {
    const speed_t speed = speedFor(settings.baud);
    if (speed == 0)
      throw SerialError(device + ": baud rate " + std::to_string(settings.baud) +
                        " is not supported on this system");
    // An open port takes the new settings; a different device replaces it.
    if (fd_ >= 0 && device != device_) close();
    if (fd_ < 0) {
      fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd_ < 0) fail("cannot open", device);
      device_ = device;
    }
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) {
      const int err = errno;
      close();
      failWith("not a serial device", device, err);
    }
    ::cfmakeraw(&tio);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[settings.dataBits - 5];
    // In the order of LineSettings::Parity: none, even, odd, mark, space.
    static constexpr tcflag_t kParities[] = {0, PARENB, PARENB | PARODD, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
    tio.c_cflag |= kParities[static_cast<int>(settings.parity)];
    // termios has no 1.5 stop bits; like most UARTs, take it as 2.
    if (settings.stopBits != LineSettings::StopBits::kOne) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    if (::tcsetattr(fd_, TCSANOW, &tio) != 0) {
      const int err = errno;
      close();
      failWith("cannot apply line settings", device, err);
    }
  }

  bool isOpen() const override { return fd_ >= 0; }

  void close() noexcept override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    hungUp_ = false;
  }

  void discardInput() override {
    if (fd_ < 0) return;
    ::tcflush(fd_, TCIFLUSH);
  }

  std::size_t waitingBytes() override {
    if (fd_ < 0) return 0;
    int n = 0;
    if (::ioctl(fd_, FIONREAD, &n) != 0) fail("cannot query received bytes on", device_);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }

  void write(std::string_view bytes) override {
    requireOpen();
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        // The output queue is full: sleep until the line drains.
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, 5000) <= 0 || (p.revents & (POLLHUP | POLLERR)))
          throw SerialError(device_ + ": write stalled or line hung up");
        continue;
      }
      fail("write failed on", device_);
    }
  }

  std::string readAll() override {
    requireOpen();
    std::string out;
    char buf[4096];
    while (true) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) < 0) {
        if (errno == EINTR) continue;
        fail("poll failed on", device_);
      }
      if (p.revents & POLLIN) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
          out.append(buf, static_cast<std::size_t>(n));
          continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        if (n < 0 && !out.empty()) break;  // report the failure on the next call
        if (n < 0) fail("read failed on", device_);
      }
      if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
        if (!out.empty()) break;
        throw SerialError(device_ + ": the line hung up (device gone?)");
      }
      break;
    }
    return out;
  }

  std::string readSome(std::size_t maxBytes) override {
    requireOpen();
    // One read() after the kernel wait said readable: no second poll around
    // it. A tty set to VMIN=0 reads 0 bytes both when nothing waits and when
    // the line hung up; the last wait tells the two apart.
    const std::size_t size = std::min(maxBytes, sizeof readBuffer_);
    while (true) {
      const ssize_t n = ::read(fd_, readBuffer_, size);
      if (n > 0) return std::string(readBuffer_, static_cast<std::size_t>(n));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return {};
      if ((n == 0 && hungUp_) || (n < 0 && errno == EIO))
        throw SerialError(device_ + ": the line hung up (device gone?)");
      if (n == 0) return {};
      fail("read failed on", device_);
    }
  }

  bool waitReadable(std::chrono::microseconds timeout) override {
    if (fd_ < 0) return false;
    const auto us = timeout.count() < 0 ? 0 : timeout.count();
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
    pollfd p{fd_, POLLIN, 0};
    const int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r < 0) return errno == EINTR ? false : (fail("poll failed on", device_), false);
    hungUp_ = r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    return r > 0;
  }

  NativeHandle nativeHandle() const override { return fd_; }

 private:
  void requireOpen() const {
    if (fd_ < 0) throw SerialError("serial port is not open");
  }
  [[noreturn]] static void failWith(const char* what, const std::string& device, int err) {
    throw SerialError(std::string(what) + " " + device + ": " + std::strerror(err));
  }
  [[noreturn]] static void fail(const char* what, const std::string& device) {
    failWith(what, device, errno);
  }

  int fd_ = -1;
  std::string device_;
  bool hungUp_ = false;  // the last wait saw a hang-up or error
  char readBuffer_[4096];
};

}  // namespace

bool canSetLineSpeed(long baud) { return speedFor(baud) != 0; }

std::unique_ptr<SerialPort> makeSystemSerialPort() { return std::make_unique<PosixSerialPort>(); }

std::string devicePathForPort(int portNumber) {
  if (portNumber < 1) return {};
  return "/dev/ttyS" + std::to_string(portNumber - 1);
}

}  // namespace reviri
