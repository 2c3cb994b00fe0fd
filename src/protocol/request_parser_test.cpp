#include <gtest/gtest.h>

#include <string>

#include "protocol/helper_protocol.h"

namespace kivo::protocol {
namespace {

using namespace std::string_literals;

const std::string kVariantList =
    "`GetStatus`, `StartTunnel`, `ApplyDnsProxy`, `RestoreDnsProxy`, `VerifyDnsProxy`, `SetQuicMitigation`, "
    "`VerifyQuicMitigation`, `ApplyKillSwitch`, `RemoveKillSwitch`, `VerifyKillSwitch`, `ApplySplitBypass`, "
    "`RestoreSplitBypass`, `VerifySplitBypass`, `StageCustomSplitEngine`, `UpdateCustomSplitEnginePids`, "
    "`RestoreCustomSplitEngine`, `VerifyCustomSplitEngine`, `StagePacketSteeringEngine`, `UpdatePacketSteeringPids`, "
    "`RestorePacketSteeringEngine`, `VerifyPacketSteeringEngine`, `VerifyTunnelDataPlane`, `StopTunnel`, `Recover`, "
    "`Status`, `Ping`";

HelperRequest parsed(std::string_view text) {
  auto request = parse_request(text);
  EXPECT_TRUE(request.ok()) << text << " -> " << (request.ok() ? "" : request.error());
  return request.ok() ? *request : HelperRequest{};
}

std::string error_of(std::string_view text) {
  auto request = parse_request(text);
  if (request.ok()) return "accepted (variant " + std::to_string(request->index()) + ")";
  return request.error();
}

struct Refusal {
  std::string text;
  std::string message;
};

void expect_refusals(const std::vector<Refusal>& cases) {
  for (const Refusal& c : cases) EXPECT_EQ(error_of(c.text), c.message) << "input: " << c.text;
}

TEST(ParseRequest, UnitVariantsByNameOrWithNull) {
  EXPECT_TRUE(std::holds_alternative<Ping>(parsed("\"Ping\"")));
  EXPECT_TRUE(std::holds_alternative<Ping>(parsed("{\"Ping\":null}")));
  EXPECT_TRUE(std::holds_alternative<GetStatus>(parsed("{\"GetStatus\":null}")));
  EXPECT_TRUE(std::holds_alternative<Recover>(parsed(" \t{ \"Recover\" :\r\n null }\n\n")));
  EXPECT_TRUE(std::holds_alternative<Status>(parsed("\"Status\"\n")));
}

TEST(ParseRequest, EveryVariantNameSelectsItsAlternative) {
  // The names in declaration order; struct variants refuse the bare name, which still proves it is known.
  std::vector<std::string> names;
  std::string list = kVariantList;
  for (std::size_t at = list.find('`'); at != std::string::npos; at = list.find('`', list.find('`', at + 1) + 1)) {
    names.push_back(list.substr(at + 1, list.find('`', at + 1) - at - 1));
  }
  ASSERT_EQ(names.size(), std::variant_size_v<HelperRequest>);
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto request = parse_request("\"" + names[i] + "\"");
    if (request.ok()) {
      EXPECT_EQ(request->index(), i) << names[i];
    } else {
      EXPECT_EQ(request.error(), "invalid type: unit variant, expected struct variant at line 1 column " +
                                     std::to_string(names[i].size() + 2));
    }
  }
}

TEST(ParseRequest, StructVariantsAsObjectsOrArrays) {
  EXPECT_EQ(parsed(R"({"SetQuicMitigation":[true]})"), parsed(R"({"SetQuicMitigation":{"enabled":true}})"));
  EXPECT_EQ(std::get<SetQuicMitigation>(parsed(R"({"SetQuicMitigation":{"enabled":true}})")).enabled, true);

  EXPECT_EQ(parsed(R"({"StartTunnel":{"config_path":"/etc/wg.conf","client_ip":"10.0.0.2","server_ip":"1.2.3.4",)"
                   R"("gateway":"192.168.1.1"}})"),
            HelperRequest(StartTunnel{"/etc/wg.conf", "10.0.0.2", "1.2.3.4", "192.168.1.1"}));
  // Members may come in any order.
  EXPECT_EQ(parsed(R"({"ApplySplitBypass":{"gateway":"192.168.1.1","routes":["10.0.0.0/8","1.1.1.1"]}})"),
            HelperRequest(ApplySplitBypass{{"10.0.0.0/8", "1.1.1.1"}, "192.168.1.1"}));
  EXPECT_EQ(parsed(R"({"StagePacketSteeringEngine":[["/Applications/A.app"],[],"192.168.1.1",true]})"),
            HelperRequest(StagePacketSteeringEngine{{"/Applications/A.app"}, {}, "192.168.1.1", true}));
}

TEST(ParseRequest, PidSnapshotsWithTrackedApps) {
  const char* text = R"({"UpdateCustomSplitEnginePids":{"generation":18446744073709551615,"apps":[
      {"name":"Safari","exe_path":"/Applications/Safari.app/Contents/MacOS/Safari","active_pids":[1,4294967295]},
      ["Mail","/Applications/Mail.app/Contents/MacOS/Mail",[]]]}})";
  EXPECT_EQ(parsed(text),
            HelperRequest(UpdateCustomSplitEnginePids{
                UINT64_MAX,
                {{"Safari", "/Applications/Safari.app/Contents/MacOS/Safari", {1, 4294967295u}},
                 {"Mail", "/Applications/Mail.app/Contents/MacOS/Mail", {}}}}));
  EXPECT_EQ(parsed(R"({"UpdatePacketSteeringPids":[7,[]]})"), HelperRequest(UpdatePacketSteeringPids{7, {}}));
}

TEST(ParseRequest, UndeclaredMembersAreCheckedThenIgnored) {
  EXPECT_EQ(parsed(R"({"SetQuicMitigation":{"enabled":false,"note":null}})"),
            HelperRequest(SetQuicMitigation{false}));
  EXPECT_EQ(parsed(R"({"SetQuicMitigation":{"x":{"a":[1,-2.5e-3,{"b":[[],{}]}],"c":"\u00e9\n"},"enabled":true,)"
                   R"("y":[true,false,null,-0.0,1e300]}})"),
            HelperRequest(SetQuicMitigation{true}));
  // Even in the app records, and with a declared name nested inside an undeclared member.
  EXPECT_EQ(parsed(R"({"UpdatePacketSteeringPids":{"extra":{"generation":"no"},"generation":3,"apps":[)"
                   R"({"name":"n","bundle":"b","exe_path":"/x","active_pids":[]}]}})"),
            HelperRequest(UpdatePacketSteeringPids{3, {{"n", "/x", {}}}}));
}

TEST(ParseRequest, StringsDecodeEscapesAndKeepNul) {
  auto dns = [](std::string_view text) { return std::get<ApplyDnsProxy>(parsed(text)).dns_ip; };
  EXPECT_EQ(dns(R"({"ApplyDnsProxy":{"dns_ip":"a\"b\\c\/d\b\f\n\r\t"}})"), "a\"b\\c/d\b\f\n\r\t");
  EXPECT_EQ(dns(R"({"ApplyDnsProxy":{"dns_ip":"\u00e9\ud83d\ude00"}})"), "\u00e9\U0001F600");
  EXPECT_EQ(dns(R"({"ApplyDnsProxy":{"dns_ip":"a\u0000b"}})"), "a\0b"s);
  EXPECT_EQ(dns("{\"ApplyDnsProxy\":{\"dns_ip\":\"h\xc3\xa9\"}}"), "h\u00e9");
}

// The positions and texts the desktop client relies on.
TEST(ParseRequest, ShapeFaultsNameTheFieldAndPlace) {
  expect_refusals({
      {R"({"StartTunnel":{"config_path":"/a","client_ip":"1","server_ip":"2"}})",
       "missing field `gateway` at line 1 column 67"},
      {R"({"SetQuicMitigation":{"enabled":true,"enabled":false}})", "duplicate field `enabled` at line 1 column 46"},
      {R"({"SetQuicMitigation":{"enabled":true,"enabled"  })", "duplicate field `enabled` at line 1 column 49"},
      {R"({"Foo":null})", "unknown variant `Foo`, expected one of " + kVariantList + " at line 1 column 6"},
      {R"("ping")", "unknown variant `ping`, expected one of " + kVariantList + " at line 1 column 6"},
      {"{\n  \"Foo\": 1,", "unknown variant `Foo`, expected one of " + kVariantList + " at line 2 column 7"},
      {R"({"UpdatePacketSteeringPids":{"generation":1,"apps":[{"name":"a","exe_path":"/b"}]}})",
       "missing field `active_pids` at line 1 column 80"},
      {R"({"UpdatePacketSteeringPids":{"apps":[],"apps":[]}})", "duplicate field `apps` at line 1 column 45"},
  });
}

TEST(ParseRequest, TypeFaults) {
  expect_refusals({
      {R"({"Ping":{}})", "invalid type: map, expected unit at line 1 column 8"},
      {R"({"Ping":[]})", "invalid type: sequence, expected unit at line 1 column 8"},
      {R"({"Ping":"x"})", "invalid type: string \"x\", expected unit at line 1 column 11"},
      {R"({"SetQuicMitigation":{"enabled":"yes"}})",
       "invalid type: string \"yes\", expected a boolean at line 1 column 37"},
      {R"({"SetQuicMitigation":{"enabled":[]}})", "invalid type: sequence, expected a boolean at line 1 column 32"},
      {R"({"SetQuicMitigation":{"enabled":1.5}})",
       "invalid type: floating point `1.5`, expected a boolean at line 1 column 35"},
      {R"({"SetQuicMitigation":null})",
       "invalid type: null, expected struct variant HelperRequest::SetQuicMitigation at line 1 column 25"},
      {R"({"ApplyDnsProxy":{"dns_ip":null}})", "invalid type: null, expected a string at line 1 column 31"},
      {R"({"ApplyDnsProxy":{"dns_ip":5}})", "invalid type: integer `5`, expected a string at line 1 column 28"},
      {R"({"ApplyDnsProxy":{"dns_ip":-5}})", "invalid type: integer `-5`, expected a string at line 1 column 29"},
      {R"({"ApplyDnsProxy":{"dns_ip":true}})", "invalid type: boolean `true`, expected a string at line 1 column 31"},
      {R"({"ApplyDnsProxy":{"dns_ip":{}}})", "invalid type: map, expected a string at line 1 column 27"},
      {R"({"ApplySplitBypass":{"routes":"10.0.0.0/8","gateway":"g"}})",
       "invalid type: string \"10.0.0.0/8\", expected a sequence at line 1 column 42"},
      {R"({"ApplySplitBypass":{"routes":[1]}})", "invalid type: integer `1`, expected a string at line 1 column 32"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":"1","apps":[]}})",
       "invalid type: string \"1\", expected u64 at line 1 column 48"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":1.5,"apps":[]}})",
       "invalid type: floating point `1.5`, expected u64 at line 1 column 48"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":1e2,"apps":[]}})",
       "invalid type: floating point `100.0`, expected u64 at line 1 column 48"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":18446744073709551616,"apps":[]}})",
       "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 65"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":-0,"apps":[]}})",
       "invalid type: floating point `-0.0`, expected u64 at line 1 column 47"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":-1,"apps":[]}})",
       "invalid value: integer `-1`, expected u64 at line 1 column 47"},
      {R"({"UpdatePacketSteeringPids":{"generation":-1,"apps":[]}})",
       "invalid value: integer `-1`, expected u64 at line 1 column 44"},
      {R"({"UpdatePacketSteeringPids":{"generation":1,"apps":[["a","/b",[4294967296]]]}})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 73"},
      {R"({"UpdatePacketSteeringPids":{"generation":1,"apps":[["a","/b",[-1]]]}})",
       "invalid value: integer `-1`, expected u32 at line 1 column 65"},
      {R"({"UpdatePacketSteeringPids":{"generation":1,"apps":["a"]}})",
       "invalid type: string \"a\", expected struct HelperCustomSplitTrackedApp at line 1 column 55"},
      {R"({"Ping":"a\"\n\u001b"})", R"(invalid type: string "a\"\n\u{1b}", expected unit at line 1 column 21)"},
  });
  // The quoted text keeps printable non-ASCII as it is.
  EXPECT_EQ(error_of("{\"Ping\":\"\xc3\xa9\"}"), "invalid type: string \"\xc3\xa9\", expected unit at line 1 column 12");
}

TEST(ParseRequest, ArrayFormLengths) {
  expect_refusals({
      {R"({"SetQuicMitigation":[]})",
       "invalid length 0, expected struct variant HelperRequest::SetQuicMitigation with 1 element at line 1 column 23"},
      {R"({"StartTunnel":["a","b"]})",
       "invalid length 2, expected struct variant HelperRequest::StartTunnel with 4 elements at line 1 column 24"},
      {R"({"SetQuicMitigation":[true,false]})", "trailing characters at line 1 column 28"},
      {R"({"SetQuicMitigation":[true, tru]})", "trailing characters at line 1 column 29"},
      {R"({"SetQuicMitigation":[true,]})", "trailing comma at line 1 column 28"},
      {R"({"SetQuicMitigation":[true}})", "trailing characters at line 1 column 27"},
      {R"({"UpdatePacketSteeringPids":[1,[["a","/b"]]]})",
       "invalid length 2, expected struct HelperCustomSplitTrackedApp with 3 elements at line 1 column 42"},
  });
}

TEST(ParseRequest, RequestObjectHoldsExactlyOneVariant) {
  expect_refusals({
      {R"({"Ping":null,"Status":null})", "expected value at line 1 column 12"},
      {R"({"Ping":null  ,"Status)", "expected value at line 1 column 14"},
      {R"({"Ping":null)", "EOF while parsing an object at line 1 column 12"},
      {R"({})", "expected value at line 1 column 2"},
      {R"({)", "EOF while parsing a value at line 1 column 1"},
      {R"({"Ping")", "EOF while parsing an object at line 1 column 7"},
      {R"({"Ping" null})", "expected `:` at line 1 column 9"},
      {R"({5:null})", "invalid type: integer `5`, expected variant identifier at line 1 column 2"},
      {R"({null:null})", "invalid type: null, expected variant identifier at line 1 column 5"},
      {R"({[]:null})", "invalid type: sequence, expected variant identifier at line 1 column 1"},
  });
}

TEST(ParseRequest, DocumentLevelFaults) {
  expect_refusals({
      {"", "EOF while parsing a value at line 1 column 0"},
      {" \n ", "EOF while parsing a value at line 2 column 1"},
      {R"("Ping" x)", "trailing characters at line 1 column 8"},
      {"\"Ping\"\n\n{}", "trailing characters at line 3 column 1"},
      {R"({"Ping":null}})", "trailing characters at line 1 column 14"},
      {"\"Ping\"\0"s, "trailing characters at line 1 column 7"},
      {"\"Ping\"\f", "trailing characters at line 1 column 7"},  // form feed is not JSON white space
      {"\0\"Ping\""s, "expected value at line 1 column 1"},
      {"[]", "expected value at line 1 column 1"},
      {"5", "expected value at line 1 column 1"},
      {"null", "expected value at line 1 column 1"},
      {"tru", "expected value at line 1 column 1"},
      {"\xef\xbb\xbf\"Ping\"", "expected value at line 1 column 1"},
  });
}

TEST(ParseRequest, SyntaxFaults) {
  expect_refusals({
      {R"({"Ping":nul})", "expected ident at line 1 column 12"},
      {R"({"Ping":nul)", "EOF while parsing a value at line 1 column 11"},
      {R"({"SetQuicMitigation":{"enabled":true "x":1}})", "expected `,` or `}` at line 1 column 38"},
      {R"({"SetQuicMitigation":{"enabled":true,}})", "trailing comma at line 1 column 38"},
      {R"({"SetQuicMitigation":{"enabled":true,)", "EOF while parsing a value at line 1 column 37"},
      {R"({"SetQuicMitigation":{1:true}})", "key must be a string at line 1 column 23"},
      {R"({"SetQuicMitigation":{"enabled")", "EOF while parsing an object at line 1 column 31"},
      {R"({"SetQuicMitigation":{"enabled":)", "EOF while parsing a value at line 1 column 32"},
      {R"({"SetQuicMitigation":{"enabled":true)", "EOF while parsing an object at line 1 column 36"},
      {R"({"SetQuicMitigation":{"enabled":})", "expected value at line 1 column 33"},
      {R"({"ApplySplitBypass":{"routes":["a")", "EOF while parsing a list at line 1 column 34"},
      {R"({"ApplySplitBypass":{"routes":["a" "b"]}})", "expected `,` or `]` at line 1 column 36"},
      {R"({"ApplySplitBypass":{"routes":["a",]}})", "trailing comma at line 1 column 36"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":01,"apps":[]}})", "invalid number at line 1 column 47"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":-x,"apps":[]}})", "invalid number at line 1 column 47"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":1.,"apps":[]}})", "invalid number at line 1 column 48"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":1e,"apps":[]}})", "invalid number at line 1 column 48"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":1e400,"apps":[]}})", "number out of range at line 1 column 50"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":NaN,"apps":[]}})", "expected value at line 1 column 46"},
      // Skipped members follow the same grammar, with serde_json's words for skipped values.
      {R"({"SetQuicMitigation":{"x":[1,],"enabled":true}})", "expected value at line 1 column 30"},
      {R"({"SetQuicMitigation":{"x":{"a":1,},"enabled":true}})", "key must be a string at line 1 column 34"},
      {R"({"SetQuicMitigation":{"x":{"a" 1}}})", "expected `:` at line 1 column 32"},
      {R"({"SetQuicMitigation":{"x":[1 2]}})", "expected `,` or `]` at line 1 column 30"},
      {R"({"SetQuicMitigation":{"x":-})", "invalid number at line 1 column 28"},
      {R"({"SetQuicMitigation":{"x":[)", "EOF while parsing a list at line 1 column 27"},
      // RapidJSON refuses numbers beyond the double range even where they would be skipped.
      {R"({"SetQuicMitigation":{"y":1e400,"enabled":true}})", "number out of range at line 1 column 31"},
  });
}

TEST(ParseRequest, StringFaults) {
  expect_refusals({
      {R"({"Ping)", "EOF while parsing a string at line 1 column 6"},
      {"{\"ApplyDnsProxy\":{\"dns_ip\":\"a\tb\"}}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 30"},
      {"{\"ApplyDnsProxy\":{\"dns_ip\":\"a\nb\"}}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"{\"ApplyDnsProxy\":{\"dns_ip\":\"a\0\"}}"s,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 30"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\q"}})", "invalid escape at line 1 column 30"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\u12x4"}})", "invalid escape at line 1 column 34"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\u12)", "EOF while parsing a string at line 1 column 32"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\udc00"}})", "lone leading surrogate in hex escape at line 1 column 34"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\ud800"}})", "unexpected end of hex escape at line 1 column 35"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\ud800\n"}})", "unexpected end of hex escape at line 1 column 36"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\ud800\u0041"}})", "lone leading surrogate in hex escape at line 1 column 40"},
      {R"({"SetQuicMitigation":{"x":"\udc00","enabled":true}})",
       "lone leading surrogate in hex escape at line 1 column 33"},
      {"{\"ApplyDnsProxy\":{\"dns_ip\":\"\xff\"}}", "invalid unicode code point at line 1 column 30"},
      {"{\"ApplyDnsProxy\":{\"dns_ip\":\"\xed\xa0\x80\"}}", "invalid unicode code point at line 1 column 32"},
  });
}

TEST(ParseRequest, DeepNestingInASkippedMemberIsFine) {
  const std::size_t depth = 200000;
  std::string nested = std::string(depth, '[') + std::string(depth, ']');
  EXPECT_EQ(parsed(R"({"SetQuicMitigation":{"deep":)" + nested + R"(,"enabled":true}})"),
            HelperRequest(SetQuicMitigation{true}));
  std::string open = R"({"SetQuicMitigation":{"deep":)" + std::string(depth, '[');
  EXPECT_EQ(error_of(open), "EOF while parsing a list at line 1 column " + std::to_string(open.size()));
  std::string objects = R"({"SetQuicMitigation":{"deep":)";
  for (std::size_t i = 0; i < depth; ++i) objects += "{\"a\":";
  EXPECT_EQ(error_of(objects), "EOF while parsing a value at line 1 column " + std::to_string(objects.size()));
}

}  // namespace
}  // namespace kivo::protocol
