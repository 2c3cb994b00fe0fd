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

const std::string kControl = "control character (\\u0000-\\u001F) found while parsing a string at line ";

// Nesting far deeper than any request, in a member that is skipped: neither a crash nor a refusal.
const std::string kDeep = R"({"SetQuicMitigation":{"deep":)" + std::string(200000, '[');

HelperRequest parsed(std::string_view text) {
  auto request = parse_request(text);
  EXPECT_TRUE(request.ok()) << text.substr(0, 200) << " -> " << (request.ok() ? "" : request.error());
  return request.ok() ? *request : HelperRequest{};
}

std::string error_of(std::string_view text) {
  auto request = parse_request(text);
  return request.ok() ? "accepted" : request.error();
}

TEST(ParseRequest, AcceptedForms) {
  const std::string zeros(400, '0');
  const std::pair<std::string, HelperRequest> cases[] = {
      {" \t{ \"Recover\" :\r\n null }\n\n", Recover{}},
      // A struct variant as a list; its values are read as in the object form.
      {R"({"SetQuicMitigation":[true]})", SetQuicMitigation{true}},
      {R"({"SetQuicMitigation":{"enabled":false}})", SetQuicMitigation{false}},
      {R"({"StartTunnel":{"config_path":"/etc/wg.conf","client_ip":"10.0.0.2","server_ip":"1.2.3.4",)"
       R"("gateway":"192.168.1.1"}})", StartTunnel{"/etc/wg.conf", "10.0.0.2", "1.2.3.4", "192.168.1.1"}},
      // Members in any order.
      {R"({"ApplySplitBypass":{"gateway":"192.168.1.1","routes":["10.0.0.0/8","1.1.1.1"]}})",
       ApplySplitBypass{{"10.0.0.0/8", "1.1.1.1"}, "192.168.1.1"}},
      // Nested records in both forms, at the limits of their number types.
      {R"({"UpdateCustomSplitEnginePids":{"generation":18446744073709551615,"apps":[
      {"name":"Safari","exe_path":"/S","active_pids":[1,4294967295]},["Mail","/M",[]]]}})",
       UpdateCustomSplitEnginePids{UINT64_MAX, {{"Safari", "/S", {1, 4294967295u}}, {"Mail", "/M", {}}}}},
      // Undeclared members are checked for syntax, then ignored, at any depth.
      {R"({"SetQuicMitigation":{"x":{"a":[1,-2.5e-3,{"b":[[],{}]}],"c":"\u00e9\n"},"enabled":true,)"
       R"("y":[true,false,null,-0.0,1e300]}})", SetQuicMitigation{true}},
      {R"({"UpdatePacketSteeringPids":{"extra":{"generation":"no"},"generation":3,"apps":[)"
       R"({"name":"n","bundle":"b","exe_path":"/x","active_pids":[]}]}})",
       UpdatePacketSteeringPids{3, {{"n", "/x", {}}}}},
      // Of an ignored member serde_json checks only the grammar: any number, any four hex digits.
      {R"({"SetQuicMitigation":{"x":1e400,"y":[-1e99999999999,0e309,1)" + zeros + ",1" + zeros +
           R"(e-400],"z":{"a":-1E+400},"enabled":true}})", SetQuicMitigation{true}},
      {R"({"SetQuicMitigation":{"x":"\ud800","y":{"\udc00":"\ud800\u0041"},"enabled":false}})", SetQuicMitigation{false}},
      {R"({"ApplyDnsProxy":{"dns_ip":"a\"b\\c\/d\b\f\n\r\t\u00e9\ud83d\ude00"}})",
       ApplyDnsProxy{"a\"b\\c/d\b\f\n\r\t\u00e9\U0001F600"}},
      {R"({"ApplyDnsProxy":{"dns_ip":"a\u0000b"}})", ApplyDnsProxy{"a\0b"s}},
      {kDeep + std::string(200000, ']') + R"(,"enabled":true}})", SetQuicMitigation{true}},
  };
  for (const auto& [text, request] : cases) EXPECT_EQ(parsed(text), request) << text.substr(0, 200);
}

// The texts and positions the desktop client relies on: shape and type faults, then syntax.
TEST(ParseRequest, RefusalsNameTheFaultAndItsPosition) {
  std::string objects = R"({"SetQuicMitigation":{"deep":)";
  for (int i = 0; i < 200000; ++i) objects += "{\"a\":";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"StartTunnel":{"config_path":"/a","client_ip":"1","server_ip":"2"}})",
       "missing field `gateway` at line 1 column 67"},
      {R"({"SetQuicMitigation":{"enabled":true,"enabled":false}})", "duplicate field `enabled` at line 1 column 46"},
      {R"({"Foo":null})", "unknown variant `Foo`, expected one of " + kVariantList + " at line 1 column 6"},
      {R"("ping")", "unknown variant `ping`, expected one of " + kVariantList + " at line 1 column 6"},
      // The name of a struct variant alone; the protocol reference proves every name's alternative.
      {R"("StartTunnel")", "invalid type: unit variant, expected struct variant at line 1 column 13"},
      {R"({"Ping":{}})", "invalid type: map, expected unit at line 1 column 8"},
      {R"({"Ping":"a\"\n\u001b"})", R"(invalid type: string "a\"\n\u{1b}", expected unit at line 1 column 21)"},
      // Rust's debug escapes: a printable character stays, an unprintable one is a code point.
      {R"({"Ping":"\\\t\r\u0000\u007f\u0085\u00e9'"})",
       R"(invalid type: string "\\\t\r\0\u{7f}\u{85}é'", expected unit at line 1 column 41)"},
      {R"({"SetQuicMitigation":{"enabled":"yes"}})",
       "invalid type: string \"yes\", expected a boolean at line 1 column 37"},
      {R"({"SetQuicMitigation":null})",
       "invalid type: null, expected struct variant HelperRequest::SetQuicMitigation at line 1 column 25"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":1e2,"apps":[]}})",
       "invalid type: floating point `100.0`, expected u64 at line 1 column 48"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":18446744073709551616,"apps":[]}})",
       "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 65"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":-1,"apps":[]}})",
       "invalid value: integer `-1`, expected u64 at line 1 column 47"},
      {R"({"UpdatePacketSteeringPids":{"generation":1,"apps":[["a","/b",[4294967296]]]}})",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 73"},
      {R"({"UpdatePacketSteeringPids":{"generation":1,"apps":["a"]}})",
       "invalid type: string \"a\", expected struct HelperCustomSplitTrackedApp at line 1 column 55"},
      {R"({"SetQuicMitigation":[]})",
       "invalid length 0, expected struct variant HelperRequest::SetQuicMitigation with 1 element at line 1 column 23"},
      {R"({"StartTunnel":["a","b"]})",
       "invalid length 2, expected struct variant HelperRequest::StartTunnel with 4 elements at line 1 column 24"},
      {R"({"SetQuicMitigation":[true,false]})", "trailing characters at line 1 column 28"},
      {R"({"SetQuicMitigation":[true,]})", "trailing comma at line 1 column 28"},
      {R"({"Ping":null,"Status":null})", "expected value at line 1 column 12"},
      {R"({})", "expected value at line 1 column 2"},
      {R"({"Ping":null x})", "expected value at line 1 column 13"},
      {"null", "expected value at line 1 column 1"},  // a request is a string or an object
      {R"(["Ping"])", "expected value at line 1 column 1"},
      {R"({5:null})", "invalid type: integer `5`, expected variant identifier at line 1 column 2"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {R"("Ping" x)", "trailing characters at line 1 column 8"},
      {"\"Ping\"\0"s, "trailing characters at line 1 column 7"},
      {"\"Ping\"\f", "trailing characters at line 1 column 7"},  // form feed is not JSON white space
      {"\xef\xbb\xbf\"Ping\"", "expected value at line 1 column 1"},
      {"tru", "expected value at line 1 column 1"},
      {R"({"Ping" null})", "expected `:` at line 1 column 9"},
      {R"({"Ping":null)", "EOF while parsing an object at line 1 column 12"},
      {R"({"Ping":nul})", "expected ident at line 1 column 12"},
      {R"({"SetQuicMitigation":{"enabled":true "x":1}})", "expected `,` or `}` at line 1 column 38"},
      {R"({"SetQuicMitigation":{"enabled":true,}})", "trailing comma at line 1 column 38"},
      {R"({"SetQuicMitigation":{1:true}})", "key must be a string at line 1 column 23"},
      {R"({"ApplySplitBypass":{"routes":["a")", "EOF while parsing a list at line 1 column 34"},
      {R"({"ApplySplitBypass":{"routes":["a",]}})", "trailing comma at line 1 column 36"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":1e400,"apps":[]}})", "number out of range at line 1 column 50"},
      // A member that is read still takes the number's value, unlike a skipped one.
      {R"({"UpdateCustomSplitEnginePids":{"generation":1e99999999999,"apps":[]}})",
       "number out of range at line 1 column 57"},
      {R"({"UpdateCustomSplitEnginePids":{"generation":0e309,"apps":[]}})",
       "invalid type: floating point `0.0`, expected u64 at line 1 column 50"},
      {R"({"ApplyDnsProxy":{"\udc00":"a"}})", "lone leading surrogate in hex escape at line 1 column 25"},
      {R"({"SetQuicMitigation":{"x":1e,"enabled":true}})", "invalid number at line 1 column 29"},
      // Skipped members follow the same grammar, with serde_json's words for skipped values.
      {R"({"SetQuicMitigation":{"x":[1,],"enabled":true}})", "expected value at line 1 column 30"},
      {R"({"SetQuicMitigation":{"x":{"a":1,},"enabled":true}})", "key must be a string at line 1 column 34"},
      // Strings.
      {R"({"Ping)", "EOF while parsing a string at line 1 column 6"},
      // A control character is placed one byte past itself in a string that is read, and on
      // itself in one that is skipped.
      {"{\"ApplyDnsProxy\":{\"dns_ip\":\"a\0\"}}"s, kControl + "1 column 30"},
      {"{\"ApplyDnsProxy\":{\"dns_ip\":\"a\nb\"}}", kControl + "2 column 0"},
      {"{\"SetQuicMitigation\":{\"x\":\"a\x01b\",\"enabled\":true}}", kControl + "1 column 28"},
      {"{\"SetQuicMitigation\":{\"x\":{\"k\x1f\":1},\"enabled\":true}}", kControl + "1 column 29"},
      {"{\"SetQuicMitigation\":{\"x\":[\"a\nb\"]}}", kControl + "1 column 29"},
      {"{\"SetQuicMitigation\":{\"x\x02\":1,\"enabled\":true}}", kControl + "1 column 25"},  // a name is read
      {R"({"ApplyDnsProxy":{"dns_ip":"\q"}})", "invalid escape at line 1 column 30"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\udc00"}})", "lone leading surrogate in hex escape at line 1 column 34"},
      {R"({"ApplyDnsProxy":{"dns_ip":"\ud800"}})", "unexpected end of hex escape at line 1 column 35"},
      {"{\"ApplyDnsProxy\":{\"dns_ip\":\"\xff\"}}", "invalid unicode code point at line 1 column 30"},
      // Lines count from one; columns count bytes, not characters.
      {"{\"ApplyDnsProxy\":\n{\"dns_ip\":\"\xc3\xa9\\q\"}}", "invalid escape at line 2 column 15"},
      {kDeep, "EOF while parsing a list at line 1 column " + std::to_string(kDeep.size())},
      {objects, "EOF while parsing a value at line 1 column " + std::to_string(objects.size())},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(error_of(text), message) << "input: " << text.substr(0, 200);
}

}  // namespace
}  // namespace kivo::protocol
