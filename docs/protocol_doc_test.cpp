// The protocol reference against the code: every example request is read by the helper's own
// parser, every example answer has exactly the members the encoder writes, and the requests
// and error codes described are those the code has.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/helper_protocol.h"
#include "protocol/request_schema.h"

namespace kivo::protocol {
namespace {

std::string read_file(const std::string& relative) {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/" + relative);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Example {
  std::string heading;  // the request section it sits in, "" outside
  std::string kind;     // "request" or "answer"
  std::string text;
};

struct Reference {
  std::vector<Example> examples;
  std::vector<std::string> request_headings;
  std::set<std::string> error_codes;  // the rows of the error table
};

Reference read_reference() {
  Reference ref;
  std::istringstream doc(read_file("docs/protocol.md"));
  std::string line, section, heading;
  const std::regex request_heading("^### `(\\w+)`$"), code_row("^\\| `(\\w+)` \\|.*");
  std::smatch m;
  while (std::getline(doc, line)) {
    if (line.starts_with("## ")) {
      section = line.substr(3);
      heading.clear();
    } else if (section == "Requests" && std::regex_match(line, m, request_heading)) {
      heading = m[1];
      ref.request_headings.push_back(heading);
    } else if (section == "Error codes" && std::regex_match(line, m, code_row)) {
      ref.error_codes.insert(m[1]);
    } else if (line == "```json request" || line == "```json answer") {
      Example e{heading, line.substr(8), ""};
      while (std::getline(doc, line) && line != "```") e.text += line;
      ref.examples.push_back(e);
    }
  }
  return ref;
}

// The error codes the helper's code declares.
std::set<std::string> codes_in_code() {
  std::string header = read_file("src/protocol/helper_protocol.h");
  std::set<std::string> codes;
  const std::regex declared("std::string_view k\\w+ = \"(\\w+)\";");
  for (std::sregex_iterator it(header.begin(), header.end(), declared), end; it != end; ++it) codes.insert((*it)[1]);
  return codes;
}

// Member names and kinds, nested objects spelled out: what an answer must match.
std::string shape(const rapidjson::Value& v) {
  if (v.IsObject()) {
    std::string s = "{";
    for (const auto& m : v.GetObject()) s += std::string(m.name.GetString()) + ":" + shape(m.value) + ",";
    return s + "}";
  }
  if (v.IsBool()) return "bool";
  if (v.IsUint64()) return "uint";
  if (v.IsString() || v.IsNull()) return "text";  // optional texts are null or a string
  return "other";
}

// For every answer variant: its name and shape as the encoder writes it.
std::map<std::string, std::string> encoder_shapes() {
  std::map<std::string, std::string> shapes;
  auto add = [&]<std::size_t... I>(std::index_sequence<I...>) {
    (([&] {
       rapidjson::Document d;
       d.Parse(encode_response(HelperResponse(std::in_place_index<I>)).c_str());
       shapes[d.IsString() ? d.GetString() : d.MemberBegin()->name.GetString()] = shape(d);
     }()),
     ...);
  };
  add(std::make_index_sequence<std::variant_size_v<HelperResponse>>());
  return shapes;
}

TEST(ProtocolReference, DescribesEveryRequestOnceWithAnExampleTheParserAccepts) {
  Reference ref = read_reference();
  std::vector<std::string> in_code;
  for (const auto& v : schema::variants()) in_code.emplace_back(v.name);
  EXPECT_THAT(ref.request_headings, ::testing::UnorderedElementsAreArray(in_code));

  std::set<std::string> with_example;
  for (const auto& e : ref.examples) {
    if (e.kind != "request") continue;
    auto parsed = parse_request(e.text);
    ASSERT_TRUE(parsed.ok()) << e.text << ": " << parsed.error();
    EXPECT_EQ(schema::variants()[parsed->index()].name, e.heading) << e.text;
    with_example.insert(e.heading);
  }
  EXPECT_THAT(with_example, ::testing::UnorderedElementsAreArray(in_code));
}

TEST(ProtocolReference, ExampleAnswersCarryTheEncodersMembers) {
  Reference ref = read_reference();
  auto shapes = encoder_shapes();
  std::set<std::string> shown;
  for (const auto& e : ref.examples) {
    if (e.kind != "answer") continue;
    rapidjson::Document d;
    d.Parse(e.text.c_str());
    ASSERT_FALSE(d.HasParseError()) << "not JSON: " << e.text;
    std::string name = d.IsString()                           ? d.GetString()
                       : d.IsObject() && d.MemberCount() == 1 ? d.MemberBegin()->name.GetString()
                                                              : "";
    ASSERT_TRUE(shapes.count(name)) << "no such answer: " << e.text;
    EXPECT_EQ(shape(d), shapes[name]) << e.text;
    if (name == "Err") {
      EXPECT_TRUE(codes_in_code().count(d["Err"]["code"].GetString())) << e.text;
    }
    shown.insert(name);
  }
  std::vector<std::string> all;
  for (const auto& [name, _] : shapes) all.push_back(name);
  EXPECT_THAT(shown, ::testing::UnorderedElementsAreArray(all)) << "every answer has an example";
}

TEST(ProtocolReference, ListsEveryErrorCodeOfTheCode) {
  std::set<std::string> in_code = codes_in_code();
  ASSERT_TRUE(in_code.count("ParseError")) << "the declarations are no longer found in helper_protocol.h";
  EXPECT_EQ(read_reference().error_codes, in_code);
}

}  // namespace
}  // namespace kivo::protocol
