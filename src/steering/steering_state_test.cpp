#include "steering/steering_state.h"

#include <gtest/gtest.h>

#include <regex>

#include "testing/fake_env.h"

namespace kivo {
namespace {

const std::vector<std::pair<std::string, std::string>> kRequiredFields = {
    {"app_paths", R"(["/Applications/Chat.app"])"}, {"routes", R"(["1.2.3.0/24"])"}, {"gateway", R"("192.168.1.1")"},
    {"allow_lan", "true"}, {"pid_generation", "3"},
    {"tracked_apps", R"([{"name":"Chat","exe_path":"/x","active_pids":[12,13]}])"}, {"updated_at", "5"},
};

// The required members, all but `skip`, in braces, followed by `extra` members.
std::string record_text(const std::string& extra = "", const std::string& skip = "") {
  std::string text;
  for (const auto& [key, value] : kRequiredFields)
    if (key != skip) text += (text.empty() ? "" : ",") + ("\"" + key + "\":" + value);
  return "{" + text + (extra.empty() ? "" : "," + extra) + "}";
}

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
  // Each "name~" stands for name_ipv4 then name_ipv6, with the same value.
  const std::string pairs =
      R"({"app_paths":[],"routes":[],"gateway":"","ipv6_gateway":null,"allow_lan":false,"pid_generation":0,)"
      R"("tracked_apps":[],"updated_at":0,"diagnostics":{"observation_source":null,"tracked_processes":0,)"
      R"("active_excluded_flows~":0,"tunnel_excluded_flows~":0,"observed_public_destinations~":0,)"
      R"("candidate_bypass_routes~":0,"static_bypass_routes~":0,"learned_bypass_routes~":0,)"
      R"("first_hit_gap_routes~":0,"enforcement_ready_routes~":0,"planned_bypass_routes~":0,)"
      R"("applied_bypass_routes~":0,"route_drift_routes~":0,"stale_pid_snapshots":0,"enforcement_plan_ready":false,)"
      R"("enforcement_plan_revision":0,"enforcement_plan_summary":null},"observed_destination_last_seen_at~":{},)"
      R"("candidate_route_last_seen_at~":{},"tunnel_destination_last_seen_at~":{},)"
      R"("tunnel_flow_recycle_last_attempt_at~":{},"static_bypass_routes~":[],"learned_bypass_routes~":[],)"
      R"("enforcement_ready_routes~":[],"planned_bypass_routes~":[],"applied_bypass_routes~":[],)"
      R"("enforcement_plan_ready":false,"enforcement_plan_revision":0,"enforcement_plan_signature":"",)"
      R"("enforcement_plan_last_updated_at":null,"enforcement_plan_summary":null,"engine_last_sync_at":null,)"
      R"("engine_last_error":null,"last_tunnel_flow_recycle_count~":0})";
  std::string text = encode_packet_steering_state(HelperPacketSteeringEngineState{});
  EXPECT_EQ(text, std::regex_replace(pairs, std::regex(R"("(\w+)~":(0|\{\}|\[\]))"), R"("$1_ipv4":$2,"$1_ipv6":$2)"));
  // The nested members' names are pinned by the reader's test below; each kind reads back what it
  // wrote (a null time too: every engine test reads a staged record that has no sync yet).
  EXPECT_EQ(*decode_packet_steering_state(encode_packet_steering_state(busy())), busy());
}

TEST(SteeringState, AbsentPartsReadAsEmptyFaultsAreNamedTheCacheReadsBackAndOnlyAReadableRecordOwnsRoutes) {
  EXPECT_EQ(*decode_packet_steering_state(record_text()),
            (HelperPacketSteeringEngineState{.app_paths = {"/Applications/Chat.app"}, .routes = {"1.2.3.0/24"},
                                             .gateway = "192.168.1.1", .allow_lan = true, .pid_generation = 3,
                                             .tracked_apps = {{"Chat", "/x", {12, 13}}}, .updated_at = 5}));
  EXPECT_EQ(decode_packet_steering_state(record_text(R"("diagnostics":{"tracked_processes":4})"))
                ->diagnostics.tracked_processes, 4u);
  for (const auto& [key, value] : kRequiredFields)
    EXPECT_EQ(decode_packet_steering_state(record_text("", key)).error(), "missing field `" + key + "`");

  // A PID past u32 is CustomSplitState's: the tracked apps are read alike.
  const std::pair<std::string, std::string> cases[] = {
      {record_text(R"("applied_bypass_routes_ipv6":[1])"),
       "invalid type for field `applied_bypass_routes_ipv6`, expected a sequence of strings"},
      {record_text(R"("diagnostics":{"tracked_processes":-1})"),
       "invalid type for field `tracked_processes`, expected u64"},
      {record_text(R"("candidate_route_last_seen_at_ipv4":{"1.1.1.1":"now"})"),
       "invalid type for field `candidate_route_last_seen_at_ipv4`, expected a map of u64"},
      // The writer would hand back U+FFFD for invalid UTF-8, so the reader does not take it in.
      {record_text("\"engine_last_error\":\"\xff\""), ""}, {"[]", ""}, {"{", ""},
  };
  for (const auto& [text, error] : cases) {
    auto decoded = decode_packet_steering_state(text);
    ASSERT_FALSE(decoded.ok()) << text;
    if (!error.empty()) { EXPECT_EQ(decoded.error(), error) << text; }
  }

  // The record's own file is read and written by every engine test; here the cache's, and what the
  // record shields from the other features.
  testing::FakeEnv env;
  PacketSteeringCacheState cache{{"/a"}, {"1.2.3.0/24"}, "192.168.1.1", std::nullopt, true, 1700000000,
                                 {{"9.9.9.9", 1}}, {}, {{"9.9.9.9", 1}}, {{"2001:db8::1", 2}}, {}, {{"::1", 3}}};
  ASSERT_TRUE(save_packet_steering_cache(env, cache).ok());
  EXPECT_EQ(env.files.at(kPacketSteeringCachePath).rfind(
                R"({"app_paths":["/a"],"routes":["1.2.3.0/24"],"gateway":"192.168.1.1","ipv6_gateway":null,)"
                R"("allow_lan":true,"saved_at":1700000000,)", 0), 0u);
  // Its configuration fields are the record's, required alike: the missing-field loop above.
  EXPECT_EQ(*read_packet_steering_cache(env), cache);

  // Only a readable record shields its applied routes from the other features.
  EXPECT_TRUE(packet_steering_applied_route_set(env).empty());
  env.files[kPacketSteeringStatePath] =
      record_text(R"("applied_bypass_routes_ipv4":["1.1.1.1","2.2.2.2"],"applied_bypass_routes_ipv6":["2001:db8::1"])");
  EXPECT_EQ(packet_steering_applied_route_set(env), (std::set<std::string>{"1.1.1.1", "2.2.2.2", "2001:db8::1"}));
  // A mistyped field anywhere means the engine itself cannot read the record, so it owns nothing.
  env.files[kPacketSteeringStatePath] =
      record_text(R"("applied_bypass_routes_ipv4":["1.1.1.1"],"engine_last_error":7)");
  EXPECT_TRUE(packet_steering_applied_route_set(env).empty());
}

}  // namespace
}  // namespace kivo
