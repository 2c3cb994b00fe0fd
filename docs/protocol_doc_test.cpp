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

using ::testing::UnorderedElementsAreArray;

std::string read_file(const std::string& relative) {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/" + relative);
  return {std::istreambuf_iterator<char>(in), {}};
}

struct Reference {
  std::vector<std::string> request_headings;
  std::vector<std::pair<std::string, std::string>> requests;  // the heading each sits under, the text
  std::vector<std::string> answers;
  std::set<std::string> error_codes;  // the rows of the error table
};

Reference read_reference() {
  Reference ref;
  std::istringstream doc(read_file("docs/protocol.md"));
  std::string line, section, heading, text;
  const std::regex request_heading("^### `(\\w+)`$"), code_row("^\\| `(\\w+)` \\|.*");
  std::smatch m;
  while (std::getline(doc, line)) {
    if (line.starts_with("## ")) {
      section = line.substr(3);
      heading.clear();
    } else if (section == "Requests" && std::regex_match(line, m, request_heading)) {
      ref.request_headings.push_back(heading = m[1]);
    } else if (section == "Error codes" && std::regex_match(line, m, code_row)) {
      ref.error_codes.insert(m[1]);
    } else if (line == "```json request" || line == "```json answer") {
      const bool request = line.ends_with("request");
      for (text.clear(); std::getline(doc, line) && line != "```";) text += line;
      if (request) ref.requests.emplace_back(heading, text);
      else ref.answers.push_back(text);
    }
  }
  return ref;
}

// The error codes the helper's code declares.
std::set<std::string> codes_in_code() {
  const std::string header = read_file("src/protocol/helper_protocol.h");
  const std::regex declared("std::string_view k\\w+ = \"(\\w+)\";");
  return {std::sregex_token_iterator(header.begin(), header.end(), declared, 1), {}};
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

std::string answer_name(const rapidjson::Document& d) {
  if (d.IsString()) return d.GetString();
  return d.IsObject() && d.MemberCount() == 1 ? d.MemberBegin()->name.GetString() : "";
}

// For every answer variant: its name and shape as the encoder writes it.
std::map<std::string, std::string> encoder_shapes() {
  std::map<std::string, std::string> shapes;
  auto add = [&]<std::size_t... I>(std::index_sequence<I...>) {
    rapidjson::Document d;
    ((d.Parse(encode_response(HelperResponse(std::in_place_index<I>)).c_str()), shapes[answer_name(d)] = shape(d)),
     ...);
  };
  add(std::make_index_sequence<std::variant_size_v<HelperResponse>>());
  return shapes;
}

TEST(ProtocolReference, DescribesEveryRequestAnswerAndErrorCodeWithExamplesTheCodeAccepts) {
  const Reference ref = read_reference();
  std::vector<std::string> in_code;
  for (const auto& v : schema::variants()) in_code.emplace_back(v.name);
  EXPECT_THAT(ref.request_headings, UnorderedElementsAreArray(in_code));
  std::set<std::string> with_example;
  for (const auto& [heading, text] : ref.requests) {
    auto parsed = parse_request(text);
    ASSERT_TRUE(parsed.ok()) << text << ": " << parsed.error();
    EXPECT_EQ(schema::variants()[parsed->index()].name, heading) << text;
    with_example.insert(heading);
  }
  EXPECT_THAT(with_example, UnorderedElementsAreArray(in_code));

  const std::set<std::string> codes = codes_in_code();
  EXPECT_EQ(ref.error_codes, codes);
  auto shapes = encoder_shapes();
  std::set<std::string> shown;
  for (const auto& text : ref.answers) {
    rapidjson::Document d;
    ASSERT_FALSE(d.Parse(text.c_str()).HasParseError()) << "not JSON: " << text;
    std::string name = answer_name(d);
    ASSERT_TRUE(shapes.count(name)) << "no such answer: " << text;
    EXPECT_EQ(shape(d), shapes[name]) << text;
    EXPECT_TRUE(name != "Err" || codes.count(d["Err"]["code"].GetString())) << text;
    shown.insert(name);
  }
  EXPECT_EQ(shown.size(), shapes.size()) << "every answer has an example";  // each one shown is among them
}

}  // namespace
}  // namespace kivo::protocol
