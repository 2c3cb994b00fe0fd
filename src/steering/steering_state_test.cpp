#include "steering/steering_state.h"

#include <gtest/gtest.h>

#include "testing/fake_env.h"

namespace kivo {
namespace {

const std::vector<std::pair<std::string, std::string>> kRequiredFields = {
    {"app_paths", R"(["/Applications/Chat.app"])"},
    {"routes", R"(["1.2.3.0/24"])"},
    {"gateway", R"("192.168.1.1")"},
    {"allow_lan", "true"},
    {"pid_generation", "3"},
    {"tracked_apps", R"([{"name":"Chat","exe_path":"/x","active_pids":[12,13]}])"},
    {"updated_at", "5"},
};

// The required members, all but `skip`, without braces.
std::string required_members(const std::string& skip = "") {
  std::string text;
  for (const auto& [key, value] : kRequiredFields)
    if (key != skip) text += (text.empty() ? "" : ",") + ("\"" + key + "\":" + value);
  return text;
}
const std::string kRequired = required_members();

bool begins_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// A value of every kind of field: the empty record's text below pins the field names and order.
HelperPacketSteeringEngineState busy() {
  return {
      .app_paths = {"/Applications/Chat.app"}, .routes = {"1.2.3.0/24", "2001:db8::/32"}, .gateway = "192.168.1.1",
      .ipv6_gateway = "fe80::1%en0", .allow_lan = true, .pid_generation = 7,
      .tracked_apps = {{"Chat", "/Applications/Chat.app/Contents/MacOS/Chat", {4711, 4294967295u}},
                       {"Empty", "/e", {}}},
      .updated_at = 1700000000,
      .diagnostics = {.observation_source = "nettop", .tracked_processes = 2, .route_drift_routes_ipv6 = 1,
                      .stale_pid_snapshots = UINT64_MAX, .enforcement_plan_ready = true,
                      .enforcement_plan_summary = "Enforcement plan \"quoted\""},
      .observed_destination_last_seen_at_ipv4 = {{"9.9.9.9", 1}, {"10.0.0.2", 2}},
      .candidate_route_last_seen_at_ipv6 = {{"2606:4700::6810:85e5", 3}},
      .tunnel_flow_recycle_last_attempt_at_ipv4 = {{"17.1.2.3", 4}},
      .static_bypass_routes_ipv4 = {"1.2.3.0/24"}, .applied_bypass_routes_ipv4 = {"17.1.2.3"},
      .applied_bypass_routes_ipv6 = {"2606:4700::6810:85e5"}, .enforcement_plan_revision = 9,
      .enforcement_plan_signature = "ready=true::x", .enforcement_plan_last_updated_at = 1700000001,
      .engine_last_sync_at = 1700000002, .engine_last_error = "Failed adding packet steering route 17.1.2.3: busy",
      .last_tunnel_flow_recycle_count_ipv6 = 2};
}

TEST(SteeringState, WritesCompactlyInDeclarationOrderAndReadsBackWhole) {
  std::string text = encode_packet_steering_state(HelperPacketSteeringEngineState{});
  EXPECT_EQ(text,
            R"({"app_paths":[],"routes":[],"gateway":"","ipv6_gateway":null,"allow_lan":false,"pid_generation":0,)"
            R"("tracked_apps":[],"updated_at":0,"diagnostics":{"observation_source":null,"tracked_processes":0,)"
            R"("active_excluded_flows_ipv4":0,"active_excluded_flows_ipv6":0,"tunnel_excluded_flows_ipv4":0,)"
            R"("tunnel_excluded_flows_ipv6":0,"observed_public_destinations_ipv4":0,)"
            R"("observed_public_destinations_ipv6":0,"candidate_bypass_routes_ipv4":0,)"
            R"("candidate_bypass_routes_ipv6":0,"static_bypass_routes_ipv4":0,"static_bypass_routes_ipv6":0,)"
            R"("learned_bypass_routes_ipv4":0,"learned_bypass_routes_ipv6":0,"first_hit_gap_routes_ipv4":0,)"
            R"("first_hit_gap_routes_ipv6":0,"enforcement_ready_routes_ipv4":0,"enforcement_ready_routes_ipv6":0,)"
            R"("planned_bypass_routes_ipv4":0,"planned_bypass_routes_ipv6":0,"applied_bypass_routes_ipv4":0,)"
            R"("applied_bypass_routes_ipv6":0,"route_drift_routes_ipv4":0,"route_drift_routes_ipv6":0,)"
            R"("stale_pid_snapshots":0,"enforcement_plan_ready":false,"enforcement_plan_revision":0,)"
            R"("enforcement_plan_summary":null},"observed_destination_last_seen_at_ipv4":{},)"
            R"("observed_destination_last_seen_at_ipv6":{},"candidate_route_last_seen_at_ipv4":{},)"
            R"("candidate_route_last_seen_at_ipv6":{},"tunnel_destination_last_seen_at_ipv4":{},)"
            R"("tunnel_destination_last_seen_at_ipv6":{},"tunnel_flow_recycle_last_attempt_at_ipv4":{},)"
            R"("tunnel_flow_recycle_last_attempt_at_ipv6":{},"static_bypass_routes_ipv4":[],)"
            R"("static_bypass_routes_ipv6":[],"learned_bypass_routes_ipv4":[],"learned_bypass_routes_ipv6":[],)"
            R"("enforcement_ready_routes_ipv4":[],"enforcement_ready_routes_ipv6":[],"planned_bypass_routes_ipv4":[],)"
            R"("planned_bypass_routes_ipv6":[],"applied_bypass_routes_ipv4":[],"applied_bypass_routes_ipv6":[],)"
            R"("enforcement_plan_ready":false,"enforcement_plan_revision":0,"enforcement_plan_signature":"",)"
            R"("enforcement_plan_last_updated_at":null,"enforcement_plan_summary":null,"engine_last_sync_at":null,)"
            R"("engine_last_error":null,"last_tunnel_flow_recycle_count_ipv4":0,)"
            R"("last_tunnel_flow_recycle_count_ipv6":0})");
  std::string busy_text = encode_packet_steering_state(busy());
  EXPECT_NE(busy_text.find(R"("tracked_apps":[{"name":"Chat","exe_path":"/Applications/Chat.app/Contents/MacOS/Chat",)"
                           R"("active_pids":[4711,4294967295]},{"name":"Empty","exe_path":"/e","active_pids":[]}])"),
            std::string::npos);
  EXPECT_NE(busy_text.find(R"("observed_destination_last_seen_at_ipv4":{"10.0.0.2":2,"9.9.9.9":1})"),
            std::string::npos);
  EXPECT_EQ(*decode_packet_steering_state(busy_text), busy());
  EXPECT_EQ(*decode_packet_steering_state(text), HelperPacketSteeringEngineState{});
}

TEST(SteeringState, AbsentOptionalPartsReadAsEmptyButRequiredOnesDoNot) {
  auto minimal = decode_packet_steering_state("{" + kRequired + "}");
  ASSERT_TRUE(minimal.ok()) << minimal.error();
  EXPECT_EQ(*minimal, (HelperPacketSteeringEngineState{.app_paths = {"/Applications/Chat.app"},
                                                        .routes = {"1.2.3.0/24"}, .gateway = "192.168.1.1",
                                                        .allow_lan = true, .pid_generation = 3,
                                                        .tracked_apps = {{"Chat", "/x", {12, 13}}}, .updated_at = 5}));

  auto partial = decode_packet_steering_state("{" + kRequired + R"(,"diagnostics":{"tracked_processes":4}})");
  ASSERT_TRUE(partial.ok()) << partial.error();
  EXPECT_EQ(partial->diagnostics.tracked_processes, 4u);

  for (const auto& [key, value] : kRequiredFields)
    EXPECT_EQ(decode_packet_steering_state("{" + required_members(key) + "}").error(), "missing field `" + key + "`");
}

TEST(SteeringState, MistypedFieldsMakeTheRecordUnreadable) {
  struct {
    std::string extra, error;
  } cases[] = {
      {R"("applied_bypass_routes_ipv6":[1])", "invalid type for field `applied_bypass_routes_ipv6`, expected a sequence of strings"},
      {R"("diagnostics":{"tracked_processes":-1})", "invalid type for field `tracked_processes`, expected u64"},
      {R"("candidate_route_last_seen_at_ipv4":{"1.1.1.1":"now"})", "invalid type for field `candidate_route_last_seen_at_ipv4`, expected a map of u64"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decode_packet_steering_state("{" + kRequired + "," + c.extra + "}").error(), c.error) << c.extra;
  std::string big_pid = kRequired;
  big_pid.replace(big_pid.find("[12,13]"), 7, "[4294967296]");
  EXPECT_EQ(decode_packet_steering_state("{" + big_pid + "}").error(),
            "invalid type for field `active_pids`, expected a sequence of u32");
  // The writer would hand back U+FFFD for invalid UTF-8, so the reader does not take it in.
  EXPECT_FALSE(decode_packet_steering_state("{" + kRequired + ",\"engine_last_error\":\"\xff\"}").ok());
  EXPECT_FALSE(decode_packet_steering_state("[]").ok());
  EXPECT_FALSE(decode_packet_steering_state("{").ok());
}

TEST(SteeringState, FilesGoThroughTheSeamAndReportItsTexts) {
  testing::FakeEnv env;
  EXPECT_EQ(read_packet_steering_state(env).error(), "No such file or directory");
  EXPECT_EQ(read_packet_steering_cache(env).error(), "No such file or directory");
  ASSERT_TRUE(save_packet_steering_state(env, busy()).ok());
  EXPECT_EQ(*read_packet_steering_state(env), busy());
  env.failing_writes.insert(kPacketSteeringStatePath);
  EXPECT_EQ(save_packet_steering_state(env, HelperPacketSteeringEngineState{}).error(), "Read-only file system");
  EXPECT_EQ(*read_packet_steering_state(env), busy());

  PacketSteeringCacheState cache{{"/a"}, {"1.2.3.0/24"}, "192.168.1.1", std::nullopt, true, 1700000000,
                                 {{"9.9.9.9", 1}}, {}, {{"9.9.9.9", 1}}, {{"2001:db8::1", 2}}, {}, {{"::1", 3}}};
  ASSERT_TRUE(save_packet_steering_cache(env, cache).ok());
  EXPECT_PRED2(begins_with, env.files.at(kPacketSteeringCachePath),
            R"({"app_paths":["/a"],"routes":["1.2.3.0/24"],"gateway":"192.168.1.1","ipv6_gateway":null,"allow_lan":true,)"
            R"("saved_at":1700000000,)");
  EXPECT_EQ(*read_packet_steering_cache(env), cache);
  EXPECT_EQ(decode_packet_steering_cache(R"({"app_paths":[],"routes":[],"allow_lan":false})").error(),
            "missing field `gateway`");
}

TEST(SteeringState, OnlyAReadableRecordShieldsItsAppliedRoutes) {
  testing::FakeEnv env;
  EXPECT_TRUE(packet_steering_applied_route_set(env).empty());
  env.files[kPacketSteeringStatePath] = "{" + kRequired +
                                        R"(,"applied_bypass_routes_ipv4":["1.1.1.1","2.2.2.2"],)"
                                        R"("applied_bypass_routes_ipv6":["2001:db8::1"]})";
  EXPECT_EQ(packet_steering_applied_route_set(env), (std::set<std::string>{"1.1.1.1", "2.2.2.2", "2001:db8::1"}));
  // A mistyped field anywhere means the engine itself cannot read the record, so it owns nothing.
  env.files[kPacketSteeringStatePath] = "{" + kRequired +
                                        R"(,"applied_bypass_routes_ipv4":["1.1.1.1"],"engine_last_error":7})";
  EXPECT_TRUE(packet_steering_applied_route_set(env).empty());
}

}  // namespace
}  // namespace kivo
