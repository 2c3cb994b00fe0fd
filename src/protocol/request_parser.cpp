// Reads one request with RapidJSON's iterative SAX reader and checks its shape as the events
// arrive, so that faults come out in input order, worded and placed as the desktop client's
// serde_json would report them. When RapidJSON itself stops at bad syntax, the reader looks again
// at the bytes after the last good event, with what it knows of the context, to name the fault.
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/allocators.h>
#include <rapidjson/reader.h>

#include "protocol/helper_protocol.h"
#include "protocol/json_faults.h"
#include "protocol/request_schema.h"

namespace kivo::protocol {
namespace {

using json::Fault;
using schema::Shape;
using schema::Type;
using schema::Value;

// The stream stops at its length, so a NUL byte is data. Numbers come as their text so that
// they can be classified exactly, and only where a field needs them.
constexpr unsigned kParseFlags = rapidjson::kParseIterativeFlag | rapidjson::kParseStopWhenDoneFlag |
                                 rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;

constexpr std::string_view kVariantIdentifier = "variant identifier";

enum class Phase { kFirst, kAfterKey, kAfterValue };

struct Frame {
  enum class Kind { kEnum, kStructMap, kStructSeq, kList, kSkipped };
  Kind kind;
  const Type* type = nullptr;  // kEnum: the chosen variant's; else the struct or list being read
  Phase phase = Phase::kFirst;
  std::size_t variant = 0;                   // kEnum
  std::optional<HelperRequest> request;      // kEnum
  int member = -1;                           // kStructMap: declared field read next, -1 if skipped
  std::vector<std::optional<Value>> members; // kStructMap
  std::vector<Value> items;                  // kStructSeq
  Value list;                                // kList
  std::string open;                          // kSkipped: '{' or '[' per open container, innermost last
};

struct Scalar {
  enum class Kind { kNull, kBool, kNumber, kString } kind;
  std::string_view text;  // decoded string, or the number as written
  bool flag = false;
  std::size_t start = 0;
  std::size_t end = 0;
};

using Outcome = std::variant<Value, Fault>;

std::string unexpected(const Scalar& scalar, const json::Number* number) {
  switch (scalar.kind) {
    case Scalar::Kind::kNull: return "null";
    case Scalar::Kind::kBool: return json::unexpected_bool(scalar.flag);
    case Scalar::Kind::kString: return json::unexpected_string(scalar.text);
    case Scalar::Kind::kNumber: break;
  }
  return json::unexpected_number(*number);
}

// Checks a complete scalar token against the type the position calls for.
Outcome read_scalar(std::string_view text, const Type& type, const Scalar& scalar) {
  const bool skipped = type.shape == Shape::kSkipped;
  if (scalar.kind == Scalar::Kind::kString) {
    if (auto scan = json::scan_string(text, scalar.start, skipped); scan.fault) return *scan.fault;
  }
  std::optional<json::Number> number;
  if (scalar.kind == Scalar::Kind::kNumber) {
    // RapidJSON ends a number at a second leading zero, which the scan refuses.
    if (auto scan = json::scan_number(text, scalar.start, skipped); scan.fault) return *scan.fault;
    if (skipped) return Value{};
    number = json::read_number(scalar.text);
    if (!number) return Fault{std::string(json::kNumberOutOfRange), scalar.end};
  }
  using Kind = json::Number::Kind;
  switch (type.shape) {
    case Shape::kSkipped: return Value{};
    case Shape::kUnit:
      if (scalar.kind == Scalar::Kind::kNull) return Value{};
      break;
    case Shape::kBool:
      if (scalar.kind == Scalar::Kind::kBool) return Value{scalar.flag};
      break;
    case Shape::kString:
      if (scalar.kind == Scalar::Kind::kString) return Value{std::string(scalar.text)};
      break;
    case Shape::kU64:
    case Shape::kU32: {
      if (!number || number->kind == Kind::kFloat) break;
      const std::uint64_t max = type.shape == Shape::kU64 ? UINT64_MAX : UINT32_MAX;
      if (number->kind == Kind::kUnsigned && number->u <= max) return Value{number->u};
      return Fault{json::invalid_value(json::unexpected_number(*number), schema::expecting(type)), scalar.end};
    }
    case Shape::kList:
    case Shape::kStruct: break;
  }
  return Fault{json::invalid_type(unexpected(scalar, number ? &*number : nullptr), schema::expecting(type)),
               scalar.end};
}

class RequestReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RequestReader> {
 public:
  RequestReader(std::string_view text, const rapidjson::MemoryStream& stream) : text_(text), stream_(stream) {}

  bool Null() { return on_scalar(Scalar{Scalar::Kind::kNull}); }
  bool Bool(bool value) { return on_scalar(Scalar{Scalar::Kind::kBool, {}, value}); }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool) {
    return on_scalar(Scalar{Scalar::Kind::kNumber, {text, length}});
  }
  bool String(const char* text, rapidjson::SizeType length, bool) {
    return on_scalar(Scalar{Scalar::Kind::kString, {text, length}});
  }
  bool StartObject() { return on_open('{'); }
  bool StartArray() { return on_open('['); }
  bool Key(const char* text, rapidjson::SizeType length, bool) { return on_key({text, length}); }
  bool EndObject(rapidjson::SizeType) { return on_close(); }
  bool EndArray(rapidjson::SizeType) { return on_close(); }

  const std::optional<Fault>& fault() const { return fault_; }
  std::optional<HelperRequest>& request() { return request_; }
  Fault syntax_fault(const rapidjson::ParseResult& result) const;

 private:
  bool fail(Fault fault) {
    fault_ = std::move(fault);
    return false;
  }
  bool fail(std::string message, std::size_t index) { return fail(Fault{std::move(message), index}); }
  std::size_t peek(std::size_t index) const { return json::peek_index(text_, index); }

  // Offset of the token after the last event: only white space, ',' and ':' lie between.
  std::size_t next_token() const {
    std::size_t i = last_end_;
    while (i < text_.size() && std::string_view(" \t\n\r,:").find(text_[i]) != std::string_view::npos) ++i;
    return i;
  }

  const Type* next_value_type(std::size_t start);
  bool deliver(Value value);
  bool on_scalar(Scalar scalar);
  bool on_root_string(const Scalar& scalar);
  bool on_open(char bracket);
  bool on_key(std::string_view name);
  bool on_close();

  Fault value_fault(std::size_t p, const Type* type, bool variant_name) const;
  Fault colon_fault(std::size_t p, const Type& type) const;
  Fault key_fault(std::size_t p, bool after_comma, bool typed) const;
  Fault object_fault(std::size_t p, const Frame& frame, const Type& member, bool typed) const;
  Fault array_fault(std::size_t p, const Frame& frame) const;

  std::string_view text_;
  const rapidjson::MemoryStream& stream_;
  std::size_t last_end_ = 0;  // offset just past the last token an event reported
  std::vector<Frame> frames_;
  std::optional<Fault> fault_;
  std::optional<HelperRequest> request_;
};

// The type of the value that starts at `start` in the innermost frame; null after failing.
const Type* RequestReader::next_value_type(std::size_t start) {
  Frame& top = frames_.back();
  switch (top.kind) {
    case Frame::Kind::kEnum: return top.type;
    case Frame::Kind::kStructMap:
      return top.member < 0 ? &schema::kSkippedType : top.type->layout->fields[static_cast<std::size_t>(top.member)].type;
    case Frame::Kind::kStructSeq: {
      auto fields = top.type->layout->fields;
      if (top.items.size() == fields.size()) {
        fail(std::string(json::kTrailingCharacters), peek(start));
        return nullptr;
      }
      return fields[top.items.size()].type;
    }
    case Frame::Kind::kList: return top.type->element;
    case Frame::Kind::kSkipped: break;
  }
  return &schema::kSkippedType;
}

bool RequestReader::deliver(Value value) {
  Frame& top = frames_.back();
  top.phase = Phase::kAfterValue;
  switch (top.kind) {
    case Frame::Kind::kEnum:
      top.request = top.type->shape == Shape::kUnit ? schema::unit_request(top.variant)
                                                    : std::get<HelperRequest>(std::move(value));
      break;
    case Frame::Kind::kStructMap:
      if (top.member >= 0) top.members[static_cast<std::size_t>(top.member)] = std::move(value);
      break;
    case Frame::Kind::kStructSeq: top.items.push_back(std::move(value)); break;
    case Frame::Kind::kList: schema::append(top.list, std::move(value)); break;
    case Frame::Kind::kSkipped: break;
  }
  return true;
}

bool RequestReader::on_scalar(Scalar scalar) {
  scalar.start = next_token();
  scalar.end = last_end_ = stream_.Tell();
  // RapidJSON saw a masked number (see mask_for_rapidjson); the request holds the real one.
  if (scalar.kind == Scalar::Kind::kNumber) scalar.text = text_.substr(scalar.start, scalar.end - scalar.start);
  if (frames_.empty()) {
    if (scalar.kind != Scalar::Kind::kString) return fail(std::string(json::kExpectedValue), peek(scalar.start));
    return on_root_string(scalar);
  }
  const Type* type = next_value_type(scalar.start);
  if (!type) return false;
  Outcome outcome = read_scalar(text_, *type, scalar);
  if (auto* fault = std::get_if<Fault>(&outcome)) return fail(std::move(*fault));
  return deliver(std::get<Value>(std::move(outcome)));
}

bool RequestReader::on_root_string(const Scalar& scalar) {
  if (auto scan = json::scan_string(text_, scalar.start); scan.fault) return fail(std::move(*scan.fault));
  std::size_t index = schema::find_variant(scalar.text);
  if (index == schema::variants().size()) {
    return fail("unknown variant `" + std::string(scalar.text) + "`, expected one of " + schema::variant_names(),
                scalar.end);
  }
  if (schema::variants()[index].type->shape != Shape::kUnit) {
    return fail(json::invalid_type("unit variant", "struct variant"), scalar.end);
  }
  request_ = schema::unit_request(index);
  return true;
}

// RapidJSON reports brackets before it takes them.
bool RequestReader::on_open(char bracket) {
  const std::size_t start = stream_.Tell();
  last_end_ = start + 1;
  if (frames_.empty()) {
    if (bracket == '[') return fail(std::string(json::kExpectedValue), peek(start));
    frames_.push_back(Frame{Frame::Kind::kEnum});
    return true;
  }
  const Type* type = next_value_type(start);
  if (!type) return false;
  if (type->shape == Shape::kSkipped) {
    if (frames_.back().kind != Frame::Kind::kSkipped) frames_.push_back(Frame{Frame::Kind::kSkipped});
    frames_.back().open.push_back(bracket);
    frames_.back().phase = Phase::kFirst;
    return true;
  }
  if (type->shape == Shape::kStruct) {
    Frame frame{bracket == '{' ? Frame::Kind::kStructMap : Frame::Kind::kStructSeq, type};
    frame.members.resize(type->layout->fields.size());
    frames_.push_back(std::move(frame));
    return true;
  }
  if (type->shape == Shape::kList && bracket == '[') {
    Frame frame{Frame::Kind::kList, type};
    frame.list = schema::empty_list(*type);
    frames_.push_back(std::move(frame));
    return true;
  }
  return fail(json::invalid_type(bracket == '{' ? "map" : "sequence", schema::expecting(*type)), start);
}

bool RequestReader::on_key(std::string_view name) {
  const std::size_t after_value = last_end_;
  const std::size_t start = next_token();
  const std::size_t end = last_end_ = stream_.Tell();
  Frame& top = frames_.back();
  // The variant's value must close the request object; the parser stops at the comma.
  if (top.kind == Frame::Kind::kEnum && top.phase == Phase::kAfterValue) {
    return fail(std::string(json::kExpectedValue), json::skip_whitespace(text_, after_value));
  }
  if (auto scan = json::scan_string(text_, start, top.kind == Frame::Kind::kSkipped); scan.fault)
    return fail(std::move(*scan.fault));
  top.phase = Phase::kAfterKey;
  if (top.kind == Frame::Kind::kEnum) {
    top.variant = schema::find_variant(name);
    if (top.variant == schema::variants().size()) {
      return fail("unknown variant `" + std::string(name) + "`, expected one of " + schema::variant_names(), end);
    }
    top.type = schema::variants()[top.variant].type;
    return true;
  }
  if (top.kind != Frame::Kind::kStructMap) return true;
  auto fields = top.type->layout->fields;
  top.member = -1;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name != name) continue;
    if (top.members[i]) {
      // Placed where the object's end is looked for: past white space and a closing brace.
      std::size_t at = json::skip_whitespace(text_, end);
      if (at < text_.size() && text_[at] == '}') ++at;
      return fail("duplicate field `" + std::string(name) + "`", at);
    }
    top.member = static_cast<int>(i);
  }
  return true;
}

bool RequestReader::on_close() {
  const std::size_t end = last_end_ = stream_.Tell() + 1;
  Frame& top = frames_.back();
  switch (top.kind) {
    case Frame::Kind::kEnum: {
      if (top.phase == Phase::kFirst) return fail(std::string(json::kExpectedValue), end);  // "{}" names no variant
      request_ = std::move(top.request);
      frames_.pop_back();
      return true;
    }
    case Frame::Kind::kStructMap: {
      const schema::StructLayout& layout = *top.type->layout;
      std::vector<Value> values;
      for (std::size_t i = 0; i < layout.fields.size(); ++i) {
        if (!top.members[i]) return fail("missing field `" + std::string(layout.fields[i].name) + "`", end);
        values.push_back(std::move(*top.members[i]));
      }
      Value value = layout.build(values);
      frames_.pop_back();
      return deliver(std::move(value));
    }
    case Frame::Kind::kStructSeq: {
      const schema::StructLayout& layout = *top.type->layout;
      const std::size_t wanted = layout.fields.size();
      if (top.items.size() < wanted) {
        return fail("invalid length " + std::to_string(top.items.size()) + ", expected " + std::string(layout.expecting) +
                        " with " + std::to_string(wanted) + (wanted == 1 ? " element" : " elements"),
                    end);
      }
      Value value = layout.build(top.items);
      frames_.pop_back();
      return deliver(std::move(value));
    }
    case Frame::Kind::kList: {
      Value value = std::move(top.list);
      frames_.pop_back();
      return deliver(std::move(value));
    }
    case Frame::Kind::kSkipped:
      top.open.pop_back();
      if (!top.open.empty()) {
        top.phase = Phase::kAfterValue;
        return true;
      }
      frames_.pop_back();
      return deliver(Value{});
  }
  return true;
}

// --- Naming the fault where RapidJSON stopped. Everything up to `last_end_` was sound. ---

Fault RequestReader::syntax_fault(const rapidjson::ParseResult& result) const {
  const std::size_t p = json::skip_whitespace(text_, last_end_);
  const bool at_end = p == text_.size();
  Fault fault;
  if (frames_.empty()) {
    fault = value_fault(p, nullptr, false);
  } else {
    const Frame& top = frames_.back();
    switch (top.kind) {
      case Frame::Kind::kEnum:
        if (top.phase == Phase::kFirst) {
          fault = value_fault(p, nullptr, true);
        } else if (top.phase == Phase::kAfterKey) {
          fault = colon_fault(p, *top.type);
        } else {
          fault = Fault{std::string(at_end ? json::kEofWhileParsingObject : json::kExpectedValue), p};
        }
        break;
      case Frame::Kind::kStructMap: {
        const Type* member = top.member < 0 ? &schema::kSkippedType
                                            : top.type->layout->fields[static_cast<std::size_t>(top.member)].type;
        fault = object_fault(p, top, *member, true);
        break;
      }
      case Frame::Kind::kSkipped:
        fault = top.open.back() == '{' ? object_fault(p, top, schema::kSkippedType, false) : array_fault(p, top);
        break;
      case Frame::Kind::kStructSeq:
      case Frame::Kind::kList: fault = array_fault(p, top); break;
    }
  }
  // Should RapidJSON refuse what the checks above accept, its own words are the best there is.
  if (fault.message.empty()) fault = Fault{rapidjson::GetParseError_En(result.Code()), result.Offset()};
  return fault;
}

// A value was due at `p`; `type` is null at the top of the request. Returns an empty message
// when the token there looks sound.
Fault RequestReader::value_fault(std::size_t p, const Type* type, bool variant_name) const {
  if (p == text_.size()) return Fault{std::string(json::kEofWhileParsingValue), p};
  const char c = text_[p];
  const bool skipped = type && type->shape == Shape::kSkipped;
  if (c == '"') return json::scan_string(text_, p, skipped).fault.value_or(Fault{});
  if (!type && !variant_name) return Fault{std::string(json::kExpectedValue), peek(p)};
  if (variant_name && (c == '{' || c == '[')) {
    return Fault{json::invalid_type(c == '{' ? "map" : "sequence", kVariantIdentifier), p};
  }

  Scalar scalar{Scalar::Kind::kNull};
  json::Scan scan;
  if (c == 't' || c == 'f' || c == 'n') {
    scan = json::scan_literal(text_, p);
    scalar = Scalar{c == 'n' ? Scalar::Kind::kNull : Scalar::Kind::kBool, {}, c == 't'};
  } else if (c == '-' || (c >= '0' && c <= '9')) {
    scan = json::scan_number(text_, p, skipped);
    scalar = Scalar{Scalar::Kind::kNumber, text_.substr(p, scan.end - p)};
  } else {
    return Fault{std::string(json::kExpectedValue), peek(p)};
  }
  if (scan.fault) return *scan.fault;
  scalar.start = p;
  scalar.end = scan.end;

  if (variant_name) {
    std::optional<json::Number> number;
    if (scalar.kind == Scalar::Kind::kNumber) {
      number = json::read_number(scalar.text);
      if (!number) return Fault{std::string(json::kNumberOutOfRange), scan.end};
    }
    return Fault{json::invalid_type(unexpected(scalar, number ? &*number : nullptr), kVariantIdentifier), scan.end};
  }
  Outcome outcome = read_scalar(text_, *type, scalar);
  if (auto* fault = std::get_if<Fault>(&outcome)) return *fault;
  return Fault{};
}

Fault RequestReader::colon_fault(std::size_t p, const Type& type) const {
  if (p == text_.size()) return Fault{std::string(json::kEofWhileParsingObject), p};
  if (text_[p] != ':') return Fault{std::string(json::kExpectedColon), peek(p)};
  return value_fault(json::skip_whitespace(text_, p + 1), &type, false);
}

// A member name was due at `p`. Typed objects reject "{...,}" as a trailing comma; skipped
// ones only ask for a name.
Fault RequestReader::key_fault(std::size_t p, bool after_comma, bool typed) const {
  if (p == text_.size()) {
    return Fault{std::string(typed && after_comma ? json::kEofWhileParsingValue : json::kEofWhileParsingObject), p};
  }
  if (text_[p] == '"') return json::scan_string(text_, p, !typed).fault.value_or(Fault{});
  if (text_[p] == '}' && typed && after_comma) return Fault{std::string(json::kTrailingComma), peek(p)};
  return Fault{std::string(json::kKeyMustBeAString), peek(p)};
}

Fault RequestReader::object_fault(std::size_t p, const Frame& frame, const Type& member, bool typed) const {
  switch (frame.phase) {
    case Phase::kFirst: return key_fault(p, false, typed);
    case Phase::kAfterKey: return colon_fault(p, member);
    case Phase::kAfterValue: break;
  }
  if (p == text_.size()) return Fault{std::string(json::kEofWhileParsingObject), p};
  if (text_[p] == ',') return key_fault(json::skip_whitespace(text_, p + 1), true, typed);
  return Fault{std::string(json::kExpectedObjectCommaOrEnd), peek(p)};
}

Fault RequestReader::array_fault(std::size_t p, const Frame& frame) const {
  const bool typed = frame.kind != Frame::Kind::kSkipped;
  const Type* element = &schema::kSkippedType;
  bool complete = false;  // a struct read as an array has all its fields
  if (frame.kind == Frame::Kind::kList) element = frame.type->element;
  if (frame.kind == Frame::Kind::kStructSeq) {
    auto fields = frame.type->layout->fields;
    complete = frame.items.size() == fields.size();
    if (!complete) element = fields[frame.items.size()].type;
  }
  const bool at_end = p == text_.size();
  if (frame.phase == Phase::kFirst) {
    return at_end ? Fault{std::string(json::kEofWhileParsingList), p} : value_fault(p, element, false);
  }
  if (at_end) return Fault{std::string(json::kEofWhileParsingList), p};
  if (complete) {
    // Anything but the closing bracket is one element too many.
    if (text_[p] != ',') return Fault{std::string(json::kTrailingCharacters), peek(p)};
    const std::size_t q = json::skip_whitespace(text_, p + 1);
    const bool bracket = q < text_.size() && text_[q] == ']';
    return Fault{std::string(bracket ? json::kTrailingComma : json::kTrailingCharacters), peek(q)};
  }
  if (text_[p] != ',') return Fault{std::string(json::kExpectedListCommaOrEnd), peek(p)};
  const std::size_t q = json::skip_whitespace(text_, p + 1);
  if (typed && q == text_.size()) return Fault{std::string(json::kEofWhileParsingValue), q};
  if (typed && text_[q] == ']') return Fault{std::string(json::kTrailingComma), peek(q)};
  return value_fault(q, element, false);
}

int hex4_at(std::string_view text, std::size_t i) {
  if (text.size() < 4 || i > text.size() - 4) return -1;
  int value = 0;
  for (std::size_t k = i; k < i + 4; ++k) {
    const char c = text[k];
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return value;
}

// What RapidJSON may see of the request. serde_json skips any grammatical number and any four
// hex digits of an escape in a member it ignores, where RapidJSON refuses numbers beyond the
// double range and unpaired surrogates. So every valid number becomes a zero of the same length
// and every unpaired surrogate escape "\u0000": offsets stay put, and the reader takes numbers,
// and checks strings before it uses them, from the request itself.
std::string mask_for_rapidjson(std::string_view text) {
  std::string masked(text);
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const char c = text[i];
    if (c == '"') {
      for (++i; i < n && text[i] != '"'; ++i) {
        if (text[i] != '\\') continue;
        if (++i == n || text[i] != 'u') continue;
        const int unit = hex4_at(text, i + 1);
        if (unit < 0xD800 || unit > 0xDFFF) {
          if (unit >= 0) i += 4;
          continue;
        }
        const bool paired = unit <= 0xDBFF && text.substr(i + 5, 2) == "\\u" && hex4_at(text, i + 7) >= 0xDC00 &&
                            hex4_at(text, i + 7) <= 0xDFFF;
        if (!paired) masked.replace(i + 1, 4, "0000");
        i += paired ? 10 : 4;
      }
      ++i;
      continue;
    }
    if (c != '-' && (c < '0' || c > '9')) {
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < n && std::string_view("0123456789+-.eE").find(text[end]) != std::string_view::npos) ++end;
    if (json::Scan scan = json::scan_number(text, i, true); !scan.fault && scan.end == end) {
      const std::size_t length = end - i;
      masked.replace(i, length, length == 1 ? "0" : length == 2 ? "-0" : "0e" + std::string(length - 2, '0'));
    }
    i = end;
  }
  return masked;
}

}  // namespace

Result<HelperRequest> parse_request(std::string_view text) {
  const std::string masked = mask_for_rapidjson(text);
  rapidjson::MemoryStream stream(masked.data(), masked.size());
  RequestReader reader(text, stream);
  // The reader's own stack lives here until a request outgrows it: no allocation for most.
  char stack_buffer[1024];
  rapidjson::MemoryPoolAllocator<> stack_memory(stack_buffer, sizeof stack_buffer);
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>> parser(&stack_memory);
  const rapidjson::ParseResult result = parser.Parse<kParseFlags>(stream, reader);

  std::optional<Fault> fault;
  if (result.IsError()) {
    fault = reader.fault() ? *reader.fault() : reader.syntax_fault(result);
  } else if (std::size_t rest = json::skip_whitespace(text, stream.Tell()); rest < text.size()) {
    fault = Fault{std::string(json::kTrailingCharacters), rest + 1};
  } else if (!reader.request()) {
    fault = Fault{std::string(json::kEofWhileParsingValue), text.size()};
  }
  if (fault) return fail(json::describe(text, *fault));
  return std::move(*reader.request());
}

}  // namespace kivo::protocol
