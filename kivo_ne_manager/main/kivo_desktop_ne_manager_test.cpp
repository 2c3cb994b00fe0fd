#include "kivo_ne_manager/main/kivo_desktop_ne_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/fake_network_extension.h"

namespace kivo::nem {

void PrintTo(const KivoDesktopNEManager::Answer& a, std::ostream* os) {
  *os << a.exit_status << " out=" << a.standard_output << " err=" << a.standard_error;
}

namespace {

using namespace std::chrono_literals;
using Answer = KivoDesktopNEManager::Answer;

// A connect payload whose excluded applications are left to close.
const std::string kConnectExcluding =
    R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p","peerEndpoint":"e:1","allowedIps":"0.0.0.0/0",)"
    R"("excludedApps":[)";

// Decoding and the operations have tests of their own: here, only what the front end adds. The
// answer is written after fifteen seconds, but a completion may still come: it must find its
// manager. Code signatures that outlast the wait cost no profile: nobody waits for the connect any more.
TEST(FrontEnd, AnswersOnItsStreamsWithinFifteenSecondsAndALateConnectFinishesButRemovesNothing) {
  testing::FakePlatform os;
  auto run = [&](std::vector<std::string> args) { return KivoDesktopNEManager::main(args, os, os); };
  auto failed = [](const std::string& error) { return Answer{1, "", R"({"error":")" + error + R"("})"}; };
  EXPECT_EQ(run({}), failed("Usage: kivo-ne-manager <connect|disconnect|status|update-app-rules>"));
  EXPECT_EQ(run({"Connect"}), failed("Unknown command: Connect"));
  os.standard_input = "";
  EXPECT_EQ(run({"connect"}), failed("Expected JSON payload on stdin."));
  EXPECT_EQ(run({"update-app-rules"}), failed("Expected JSON payload on stdin."));
  EXPECT_TRUE(os.calls.empty());
  // status and disconnect never read standard input: the fake fails a test that does.
  os.standard_input.reset();
  EXPECT_EQ(run({"status", "--verbose"}), (Answer{0, encode_status({}), ""}));
  EXPECT_EQ(run({"disconnect"}), (Answer{0, encode_status({}), ""}));

  const Answer timed_out = failed("Timed out waiting for Network Extension manager response.");
  KivoDesktopNEManager manager(os, os);
  StatusPayload late{true, true, false, false, "connected", false, 0};
  auto answer_after = [&](std::chrono::milliseconds delay) {
    return manager.await_result([&](Completion done) { os.dispatch_after(delay, [done, late] { done(late); }); });
  };
  auto began = os.elapsed();
  EXPECT_EQ(*answer_after(14900ms), late);
  EXPECT_LT(os.elapsed() - began, 14950ms);
  // The run loop is served in 50 ms slices; one that ends on the deadline still counts.
  EXPECT_EQ(*answer_after(15000ms), late);
  began = os.elapsed();
  EXPECT_EQ(answer_after(15001ms).error(), "Timed out waiting for Network Extension manager response.");
  EXPECT_EQ(os.elapsed() - began, 15000ms);

  os.calls.clear();
  os.completion_delay = 16s;
  os.add_profile(kVpnDisconnected);
  os.standard_input = kConnectExcluding + "]}";
  EXPECT_EQ(run({"connect"}), timed_out);
  os.advance(60s);
  EXPECT_THAT(os.calls, ::testing::ElementsAre("loadAll", "save p1", "load p1", "start p1"));

  os.calls.clear();
  os.completion_delay = 10ms;
  os.codesign_takes = 6s;
  for (auto app : {"A", "B", "C", "D"}) os.add_app(std::string("/Applications/") + app + ".app", std::string("com.") + app);
  os.standard_input = kConnectExcluding + R"("/Applications/A.app"]})";
  EXPECT_EQ(run({"connect"}), timed_out);
  EXPECT_THAT(os.calls, ::testing::ElementsAre("loadAll", "new per-app"));
}

}  // namespace
}  // namespace kivo::nem
