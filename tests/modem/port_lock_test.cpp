// Port locking: UUCP lock files (live, stale, ours) and flock on the port.
#include "modem/port_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "reviri/modem.h"

namespace reviri::modem {
namespace {

namespace fs = std::filesystem;

class PortLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("reviri-portlock-" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  void writeLock(long pid) {
    std::ofstream(dir / "LCK..ttyUSB0") << "      " << pid << "\n";
  }
  std::string inUseMessage(const std::function<void()>& action) {
    try {
      action();
    } catch (const ModemError& e) {
      EXPECT_EQ(e.error().kind, Error::Kind::kPortInUse);
      return e.what();
    }
    return "not refused";
  }
  fs::path dir;
};

TEST_F(PortLockTest, NamesLockFilesTheUucpWay) {
  EXPECT_EQ(uucpLockName("/dev/ttyUSB0"), "LCK..ttyUSB0");
  EXPECT_EQ(uucpLockName("/dev/pts/3"), "LCK..pts_3");
  EXPECT_EQ(uucpLockName("/tmp/modem"), "LCK..modem");
}

TEST_F(PortLockTest, WritesItsPidAndRemovesTheFileOnRelease) {
  PortLock lock;
  lock.lockFile("/dev/ttyUSB0", dir.string());
  const fs::path file = dir / "LCK..ttyUSB0";
  ASSERT_TRUE(fs::exists(file));
  std::ifstream in(file);
  std::string content((std::istreambuf_iterator<char>(in)), {});
  char expected[16];
  std::snprintf(expected, sizeof expected, "%10d\n", static_cast<int>(::getpid()));
  EXPECT_EQ(content, expected);
  lock.release();
  EXPECT_FALSE(fs::exists(file));
}

TEST_F(PortLockTest, RefusesALiveOwnerAndNamesIt) {
  writeLock(::getppid());
  PortLock lock;
  const std::string message = inUseMessage([&] { lock.lockFile("/dev/ttyUSB0", dir.string()); });
  EXPECT_NE(message.find("port in use (by PID " + std::to_string(::getppid()) + ")"), std::string::npos) << message;
  lock.release();
  EXPECT_TRUE(fs::exists(dir / "LCK..ttyUSB0"));  // someone else's file stays
}

TEST_F(PortLockTest, TakesOverTheLockOfADeadProcess) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  writeLock(child);
  PortLock lock;
  lock.lockFile("/dev/ttyUSB0", dir.string());
  EXPECT_EQ(lockFileOwner((dir / "LCK..ttyUSB0").string()), ::getpid());
}

TEST_F(PortLockTest, FlockKeepsOutASecondDescriptor) {
  const std::string device = (dir / "tty").string();
  std::ofstream(device) << "";
  const int a = ::open(device.c_str(), O_RDWR);
  const int b = ::open(device.c_str(), O_RDWR);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  PortLock first, second;
  first.lockFile(device, dir.string());
  first.lockDescriptor(a, device, dir.string());
  const std::string message = inUseMessage([&] { second.lockDescriptor(b, device, dir.string()); });
  EXPECT_NE(message.find("by PID " + std::to_string(::getpid())), std::string::npos) << message;
  ::close(a);  // the kernel lets go with the descriptor
  second.lockDescriptor(b, device, dir.string());
  ::close(b);
}

}  // namespace
}  // namespace reviri::modem
