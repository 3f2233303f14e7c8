// Modem names: the --modem options after the line settings, and a name held
// by one live gateway refused to another sharing its database until the
// holder stops (or its heartbeat does).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "gateway/modem_names.h"
#include "gateway/store/sqlite_store.h"
#include "gateway/typed_modem_port.h"

namespace reviri::gateway {
namespace {

using std::chrono::milliseconds;

TEST(ModemTargetTest, NameAndPinFollowTheSettingsInAnyOrder) {
  struct Case {
    std::string text, device, settings, name, pin, error;  // error: a part of the message
    std::string tags = "";                                  // joined with '+'
    bool rejectCalls = false;
  };
  const std::string kDefault = "115200,n,8,1";
  const Case cases[] = {
      {"/dev/ttyUSB0", "/dev/ttyUSB0", kDefault, "", "", ""},
      {"/dev/ttyUSB0@9600,e,7,2,name=left,pin=1234", "/dev/ttyUSB0", "9600,e,7,2", "left", "1234", ""},
      {"/dev/ttyUSB0@9600,e,7,2,pin=1234,name=left", "/dev/ttyUSB0", "9600,e,7,2", "left", "1234", ""},
      {"/dev/ttyUSB0,name=rack1:left", "/dev/ttyUSB0", kDefault, "rack1:left", "", ""},
      {"/dev/ttyUSB0,pin=0000", "/dev/ttyUSB0", kDefault, "", "0000", ""},
      {"/dev/ttyUSB0,name=a,name=b", "", "", "", "", "name= is given twice"},
      {"/dev/ttyUSB0,colour=red", "", "", "", "", "unknown option \"colour\""},
      {"/dev/ttyUSB0,name=", "", "", "", "", "after name= is empty"},
      {"/dev/ttyUSB0,name=a b", "", "", "", "", "blanks"},
      {"/dev/ttyUSB0@9600,e,7,2,name=left,odd", "", "", "", "", "\"odd\" after the options"},
      {"/dev/ttyUSB0,9600", "", "", "", "", "expected name=, pin= or tags="},
      {"/dev/ttyUSB0@9600,e,7,name=left", "", "", "", "", "four fields"},
      {",name=left", "", "", "", "", "no device"},
      {"/dev/ttyUSB0@9600,e,7,2,tags=de+otp,name=left", "/dev/ttyUSB0", "9600,e,7,2", "left", "", "", "de+otp"},
      {"/dev/ttyUSB0,tags=de+", "", "", "", "", "tag \"\" must be letters"},
      {"/dev/ttyUSB0,tags=d e", "", "", "", "", "tag \"d e\" must be letters"},
      {"/dev/ttyUSB0,reset=none,reset=cfun", "", "", "", "", "reset= is given twice"},
      {"/dev/ttyUSB0,reject_calls=1,name=left", "/dev/ttyUSB0", kDefault, "left", "", "", "", true},
      {"/dev/ttyUSB0,reject_calls=0", "/dev/ttyUSB0", kDefault, "", "", "", "", false},
      {"/dev/ttyUSB0,reject_calls=yes", "", "", "", "", "reject_calls= takes 1"},
  };
  for (const auto& c : cases) {
    try {
      const ModemTarget target = parseModemTarget(c.text);
      EXPECT_TRUE(c.error.empty()) << c.text << " was accepted";
      EXPECT_EQ(target.device, c.device) << c.text;
      EXPECT_EQ(target.settings, c.settings) << c.text;
      EXPECT_EQ(target.name, c.name) << c.text;
      EXPECT_EQ(target.pin, c.pin) << c.text;
      std::string tags;
      for (const auto& tag : target.tags) tags += (tags.empty() ? "" : "+") + tag;
      EXPECT_EQ(tags, c.tags) << c.text;
      EXPECT_EQ(target.rejectCalls, c.rejectCalls) << c.text;
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << c.text << ": " << e.what();
      EXPECT_FALSE(c.error.empty()) << c.text << ": " << e.what();
    }
  }
  EXPECT_EQ(parseModemTarget("/dev/ttyUSB0").reset.how, "cfun");
  EXPECT_EQ(parseModemTarget("/dev/ttyUSB0,reset=uhubctl -l 1-1 -p 2 -a cycle").reset.how, "uhubctl -l 1-1 -p 2 -a cycle");
}

// Two gateways' stores on one SQLite file.
TEST(ModemNamesTest, ANameHeldByALiveGatewayIsRefusedToAnotherUntilItStopsOrGoesSilent) {
  const auto dir = std::filesystem::temp_directory_path() / ("reviri-names-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string db = (dir / "gateway.db").string();
  auto a = openSqliteStore({db});
  auto b = openSqliteStore({db});
  EventLog log;
  const milliseconds beat(50);  // stale after 150 ms
  const auto stale = beat * ModemNames::kStaleBeats;
  const auto claimedAt = systemNowMs();
  auto held = std::make_unique<ModemNames>(*a, log, std::vector<std::string>{"hostA:ttyUSB0", "hostA:ttyUSB1"},
                                           "hostA:100", beat);
  try {
    ModemNames refused(*b, log, {"hostB:ttyUSB9", "hostA:ttyUSB1"}, "hostB:200", beat);
    ADD_FAILURE() << "a name in use was claimed again";
  } catch (const ModemNameTaken& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("\"hostA:ttyUSB1\" is in use by the gateway hostA:100"), std::string::npos) << what;
  }
  EXPECT_FALSE(b->claimModemNames({"hostB:ttyUSB9"}, "hostC:300", stale))
      << "a refused claim keeps none of its names";
  b->releaseModemNames("hostC:300");

  // Long past the first heartbeat's staleness the names are still A's: it renews them.
  std::optional<Store::ModemNameHolder> holder;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    holder = b->claimModemNames({"hostA:ttyUSB0"}, "hostB:200", stale);
    ASSERT_TRUE(holder) << "taken while its gateway lives";
    std::this_thread::sleep_for(milliseconds(10));
  } while (holder->heartbeatMs < claimedAt + 4 * beat.count() && std::chrono::steady_clock::now() < end);
  EXPECT_EQ(holder->owner, "hostA:100");
  EXPECT_GE(holder->heartbeatMs, claimedAt + 4 * beat.count()) << "no heartbeat";

  // A gateway that died without releasing: free once its heartbeat is stale.
  ASSERT_FALSE(a->claimModemNames({"hostD:ttyS0"}, "hostD:400", stale));
  EXPECT_TRUE(b->claimModemNames({"hostD:ttyS0"}, "hostB:200", stale)) << "fresh";
  bool taken = false;
  while (!taken && std::chrono::steady_clock::now() < end) {
    taken = !b->claimModemNames({"hostD:ttyS0"}, "hostB:200", stale);
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_TRUE(taken) << "a silent gateway's name never became free";

  held.reset();  // A stops: its names are free at once
  EXPECT_FALSE(b->claimModemNames({"hostA:ttyUSB0", "hostA:ttyUSB1"}, "hostB:200", stale));
  a.reset();
  b.reset();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace reviri::gateway
