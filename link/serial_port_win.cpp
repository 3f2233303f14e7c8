// link/serial_port_win.cpp - SerialPort over a Win32 communications device.
//
// The port is opened overlapped on \\.\COMn with the caller's line settings
// (SetCommState), no flow control and no read timeouts. To sleep until data
// arrive without WaitCommEvent (which some drivers, Wine's pseudo-terminal
// ports among them, do not support) the port keeps one overlapped one-byte
// "look-ahead" read pending while it is idle. Its completion event is the
// port's native handle: it is signalled exactly while received data are
// waiting, so a host can wait on it (RegisterWaitForSingleObject, or
// MsgWaitForMultipleObjects) and then deliver the receive event on its own
// thread. The byte the look-ahead took is kept in front of the rest.
//
// At most one read is ever in flight: a new look-ahead is started only once
// the previous one has completed and its byte has been delivered. (Starting
// a second read on the same buffer and OVERLAPPED while one is pending is
// undefined, and loses the first byte of an answer when a host pumps
// messages between calls and so often reads while nothing has arrived.)
//
// Threading: single-threaded, like every SerialPort; the only thing another
// thread may do is wait on nativeHandle().
#include <windows.h>

#include <algorithm>
#include <limits>
#include <string>

#include "base/text.h"
#include "reviri/serial_port.h"

namespace reviri {
namespace {

std::string systemMessage(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text;
  if (n && buffer) text.assign(reinterpret_cast<const char16_t*>(buffer), n);
  if (buffer) LocalFree(buffer);
  std::string out = text::trimSpaces(text::removeCrLf(text::utf16ToUtf8(text)));
  return out.empty() ? "error " + std::to_string(code) : out;
}

// The DCB values in the order of LineSettings::Parity and LineSettings::StopBits.
constexpr BYTE kParities[] = {NOPARITY, EVENPARITY, ODDPARITY, MARKPARITY, SPACEPARITY};
constexpr BYTE kStopBits[] = {ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS};

class WinSerialPort final : public SerialPort {
 public:
  WinSerialPort() : lookaheadDone_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (!lookaheadDone_) throw SerialError("cannot create an event: " + systemMessage(GetLastError()));
  }
  ~WinSerialPort() override {
    close();
    CloseHandle(lookaheadDone_);
  }

  void open(const std::string& device, const LineSettings& settings) override {
    // An open port takes the new settings; a different device replaces it.
    if (handle_ != INVALID_HANDLE_VALUE && device != device_) close();
    if (handle_ == INVALID_HANDLE_VALUE) {
      const std::u16string wide = text::utf8ToUtf16(device);
      handle_ = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()),
                            GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
      if (handle_ == INVALID_HANDLE_VALUE) fail("cannot open", device);
      device_ = device;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) failAndClose("not a serial device", device);
    dcb.BaudRate = static_cast<DWORD>(settings.baud);
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits);
    dcb.Parity = kParities[static_cast<int>(settings.parity)];
    dcb.StopBits = kStopBits[static_cast<int>(settings.stopBits)];
    dcb.fBinary = TRUE;
    dcb.fParity = settings.parity != LineSettings::Parity::kNone;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(handle_, &dcb)) failAndClose("cannot apply line settings to", device);
    // Reads wait until their byte count is met (the look-ahead asks for one
    // byte; the drain asks only for what is waiting). Writes give up after a
    // generous bound instead of hanging on a stalled line.
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!SetCommTimeouts(handle_, &timeouts)) failAndClose("cannot set timeouts on", device);
    rearmLookahead();
  }

  bool isOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

  void close() noexcept override {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    if (lookaheadPending_) {
      CancelIo(handle_);
      DWORD ignored = 0;
      GetOverlappedResult(handle_, &lookahead_, &ignored, TRUE);
      lookaheadPending_ = false;
    }
    hasLookahead_ = false;
    ResetEvent(lookaheadDone_);
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  void discardInput() override {
    if (!isOpen()) return;
    collectLookahead(false);
    hasLookahead_ = false;
    PurgeComm(handle_, PURGE_RXCLEAR);
    rearmLookahead();
  }

  std::size_t waitingBytes() override {
    if (!isOpen()) return 0;
    collectLookahead(false);
    return (hasLookahead_ ? 1 : 0) + queued();
  }

  void write(std::string_view bytes) override {
    requireOpen();
    const DWORD written = transfer("cannot write to", "write failed on", [&](OVERLAPPED& ov) {
      return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov);
    });
    if (written != bytes.size()) throw SerialError(device_ + ": write stalled");
  }

  std::string readAll() override { return take(std::numeric_limits<std::size_t>::max()); }

  std::string readSome(std::size_t maxBytes) override { return take(maxBytes); }

  bool waitReadable(std::chrono::microseconds timeout) override {
    if (!isOpen()) return false;
    if (waitingBytes() > 0) return true;
    const auto ms = (timeout.count() + 999) / 1000;
    const DWORD waitMs = ms <= 0 ? 0 : ms > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(ms);
    if (WaitForSingleObject(lookaheadDone_, waitMs) != WAIT_OBJECT_0) return false;
    return waitingBytes() > 0;
  }

  NativeHandle nativeHandle() const override { return isOpen() ? lookaheadDone_ : nullptr; }

 private:
  // Takes up to `limit` waiting bytes: the look-ahead's byte first, then
  // what the driver holds, in order.
  std::string take(std::size_t limit) {
    requireOpen();
    std::string out;
    // Data waiting means the look-ahead has its byte, or is about to: take
    // it first so that the drain below never queues behind it.
    collectLookahead(queued() > 0);
    if (hasLookahead_ && limit > 0) {
      out.push_back(lookaheadByte_);
      hasLookahead_ = false;
    }
    // A look-ahead still pending means nothing had arrived when we looked:
    // it stays in flight, and no second read may start beside it. A byte
    // still held (limit 0) must come out before anything behind it.
    if (!lookaheadPending_ && !hasLookahead_) {
      for (std::size_t n = std::min(queued(), limit - out.size()); n > 0;
           n = std::min(queued(), limit - out.size())) {
        const std::size_t start = out.size();
        out.resize(start + n);
        out.resize(start + readExactly(out.data() + start, n));
      }
    }
    rearmLookahead();
    return out;
  }

  // Bytes the driver holds beyond the look-ahead.
  std::size_t queued() {
    COMSTAT stat{};
    DWORD errors = 0;
    if (!ClearCommError(handle_, &errors, &stat)) fail("cannot query received bytes on", device_);
    return stat.cbInQue;
  }

  // Starts the look-ahead unless one is in flight or its byte is still held.
  void rearmLookahead() {
    if (!lookaheadPending_ && !hasLookahead_) armLookahead();
  }

  // Starts the one-byte read that signals lookaheadDone_ when data arrive.
  void armLookahead() {
    lookahead_ = OVERLAPPED{};
    lookahead_.hEvent = lookaheadDone_;
    DWORD got = 0;
    if (ReadFile(handle_, &lookaheadByte_, 1, &got, &lookahead_)) {
      hasLookahead_ = got == 1;
      if (!hasLookahead_) ResetEvent(lookaheadDone_);
      return;
    }
    if (GetLastError() != ERROR_IO_PENDING) fail("read failed on", device_);
    lookaheadPending_ = true;
  }

  // Takes the look-ahead's byte if its read has completed (or, with `wait`,
  // once it completes).
  void collectLookahead(bool wait) {
    if (!lookaheadPending_) return;
    DWORD got = 0;
    if (!GetOverlappedResult(handle_, &lookahead_, &got, wait ? TRUE : FALSE)) {
      if (GetLastError() == ERROR_IO_INCOMPLETE) return;
      lookaheadPending_ = false;
      fail("read failed on", device_);
    }
    lookaheadPending_ = false;
    hasLookahead_ = got == 1;
    if (!hasLookahead_) ResetEvent(lookaheadDone_);
  }

  std::size_t readExactly(char* into, std::size_t n) {
    return transfer("cannot read from", "read failed on", [&](OVERLAPPED& ov) {
      return ReadFile(handle_, into, static_cast<DWORD>(n), nullptr, &ov);
    });
  }

  // Runs one overlapped read or write that `start` begins to its end; the
  // bytes it moved. `noEvent` and `failed` name the two ways it can fail.
  template <typename Start>
  DWORD transfer(const char* noEvent, const char* failed, Start start) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) fail(noEvent, device_);
    DWORD moved = 0;
    BOOL ok = start(ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = TRUE;
    if (ok) ok = GetOverlappedResult(handle_, &ov, &moved, TRUE);
    const DWORD err = GetLastError();
    CloseHandle(ov.hEvent);
    if (!ok) throw SerialError(std::string(failed) + " " + device_ + ": " + systemMessage(err));
    return moved;
  }

  void requireOpen() const {
    if (!isOpen()) throw SerialError("serial port is not open");
  }
  [[noreturn]] void fail(const char* what, const std::string& device) const {
    throw SerialError(std::string(what) + " " + device + ": " + systemMessage(GetLastError()));
  }
  [[noreturn]] void failAndClose(const char* what, const std::string& device) {
    const DWORD err = GetLastError();
    close();
    throw SerialError(std::string(what) + " " + device + ": " + systemMessage(err));
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE lookaheadDone_;
  OVERLAPPED lookahead_{};
  bool lookaheadPending_ = false;
  bool hasLookahead_ = false;
  char lookaheadByte_ = 0;
  std::string device_;
};

}  // namespace

bool canSetLineSpeed(long baud) { return baud > 0; }

std::unique_ptr<SerialPort> makeSystemSerialPort() { return std::make_unique<WinSerialPort>(); }

std::string devicePathForPort(int portNumber) {
  if (portNumber < 1) return {};
  return "\\\\.\\COM" + std::to_string(portNumber);
}

}  // namespace reviri
