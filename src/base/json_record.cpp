#include "base/json_record.h"

#include "base/text.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace kivo::json {

struct Out::Impl {
  Impl() { buffer.Reserve(128); }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer{buffer};
  void key(std::string_view k) { writer.Key(k.data(), static_cast<rapidjson::SizeType>(k.size())); }
  // Texts may carry tool output, which need not be UTF-8; readers reject invalid UTF-8.
  void string(std::string_view v) {
    std::string repaired;
    if (!is_valid_utf8(v)) v = repaired = utf8_lossy(v);
    writer.String(v.data(), static_cast<rapidjson::SizeType>(v.size()));
  }
};

Out::Out() : impl_(std::make_unique<Impl>()) {}
Out::~Out() = default;

Out& Out::begin_object() {
  impl_->writer.StartObject();
  return *this;
}
Out& Out::end_object() {
  impl_->writer.EndObject();
  return *this;
}
Out& Out::begin_object(std::string_view key) {
  impl_->key(key);
  impl_->writer.StartObject();
  return *this;
}
Out& Out::str(std::string_view key, std::string_view value) {
  impl_->key(key);
  impl_->string(value);
  return *this;
}
Out& Out::opt_str(std::string_view key, const std::optional<std::string>& value) {
  impl_->key(key);
  if (value) impl_->string(*value);
  else impl_->writer.Null();
  return *this;
}
Out& Out::boolean(std::string_view key, bool value) {
  impl_->key(key);
  impl_->writer.Bool(value);
  return *this;
}
Out& Out::u64(std::string_view key, std::uint64_t value) {
  impl_->key(key);
  impl_->writer.Uint64(value);
  return *this;
}
Out& Out::opt_u64(std::string_view key, const std::optional<std::uint64_t>& value) {
  impl_->key(key);
  if (value) impl_->writer.Uint64(*value);
  else impl_->writer.Null();
  return *this;
}
Out& Out::str_list(std::string_view key, const std::vector<std::string>& values) {
  impl_->key(key);
  impl_->writer.StartArray();
  for (const auto& v : values) impl_->string(v);
  impl_->writer.EndArray();
  return *this;
}
Out& Out::nullable_str_list(std::string_view key, const std::optional<std::vector<std::string>>& values) {
  if (values) return str_list(key, *values);
  impl_->key(key);
  impl_->writer.Null();
  return *this;
}
Out& Out::u64_map(std::string_view key, const std::map<std::string, std::uint64_t>& values) {
  impl_->key(key);
  impl_->writer.StartObject();
  for (const auto& [k, v] : values) {
    impl_->key(k);
    impl_->writer.Uint64(v);
  }
  impl_->writer.EndObject();
  return *this;
}
Out& Out::u32_list(std::string_view key, const std::vector<std::uint32_t>& values) {
  impl_->key(key);
  impl_->writer.StartArray();
  for (auto v : values) impl_->writer.Uint(v);
  impl_->writer.EndArray();
  return *this;
}
Out& Out::begin_array(std::string_view key) {
  impl_->key(key);
  impl_->writer.StartArray();
  return *this;
}
Out& Out::end_array() {
  impl_->writer.EndArray();
  return *this;
}
std::string Out::take() { return std::string(impl_->buffer.GetString(), impl_->buffer.GetSize()); }

// Nested objects share the parsed document of the record they belong to.
struct In::Impl {
  std::shared_ptr<rapidjson::Document> doc;
  const rapidjson::Value* object = nullptr;
  const rapidjson::Value* find(std::string_view key) const {
    auto it = object->FindMember(rapidjson::Value(rapidjson::StringRef(key.data(), key.size())));
    return it == object->MemberEnd() ? nullptr : &it->value;
  }
};

In::In(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
In::In(In&&) noexcept = default;
In::~In() = default;

namespace {
Error missing(std::string_view key) { return fail("missing field `" + std::string(key) + "`"); }
Error mistyped(std::string_view key, std::string_view expected) {
  return fail("invalid type for field `" + std::string(key) + "`, expected " + std::string(expected));
}
// RapidJSON decodes an escaped lone trailing surrogate into bytes that are not UTF-8: a text the
// helper never wrote and could not write back unchanged. Walked without recursion, as the
// document may be deep.
bool all_texts_utf8(const rapidjson::Value& root) {
  std::vector<const rapidjson::Value*> pending{&root};
  while (!pending.empty()) {
    const rapidjson::Value& v = *pending.back();
    pending.pop_back();
    if (v.IsString() && !is_valid_utf8({v.GetString(), v.GetStringLength()})) return false;
    if (v.IsArray())
      for (const auto& item : v.GetArray()) pending.push_back(&item);
    if (v.IsObject()) {
      for (const auto& member : v.GetObject()) {
        pending.push_back(&member.name);
        pending.push_back(&member.value);
      }
    }
  }
  return true;
}

}  // namespace

Result<In> In::parse(std::string_view text) {
  // The writer would hand invalid UTF-8 back as U+FFFD, so a record holding it is refused.
  if (!is_valid_utf8(text)) return fail("Invalid encoding in string.");
  auto impl = std::make_unique<Impl>();
  impl->doc = std::make_shared<rapidjson::Document>();
  // Iterative, so that a deeply nested file cannot exhaust the stack.
  impl->doc->Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(text.data(), text.size());
  if (impl->doc->HasParseError())
    return fail(std::string(rapidjson::GetParseError_En(impl->doc->GetParseError())) + " at offset " +
                std::to_string(impl->doc->GetErrorOffset()));
  if (!impl->doc->IsObject()) return fail("invalid type: expected a JSON object");
  if (!all_texts_utf8(*impl->doc)) return fail("invalid text: a string is not UTF-8");
  impl->object = impl->doc.get();
  return In(std::move(impl));
}

bool In::has(std::string_view key) const { return impl_->find(key) != nullptr; }

bool In::is_number(std::string_view key) const {
  const auto* v = impl_->find(key);
  return v && v->IsNumber();
}

Result<In> In::object(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsObject()) return mistyped(key, "a struct");
  auto nested = std::make_unique<Impl>(*impl_);
  nested->object = v;
  return In(std::move(nested));
}

Result<std::string> In::str(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsString()) return mistyped(key, "a string");
  return std::string(v->GetString(), v->GetStringLength());
}

Result<std::optional<std::string>> In::opt_str(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v || v->IsNull()) return std::optional<std::string>();
  if (!v->IsString()) return mistyped(key, "a string or null");
  return std::optional<std::string>(std::string(v->GetString(), v->GetStringLength()));
}

Result<bool> In::boolean(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsBool()) return mistyped(key, "a boolean");
  return v->GetBool();
}

Result<std::uint64_t> In::u64(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsUint64()) return mistyped(key, "u64");
  return static_cast<std::uint64_t>(v->GetUint64());
}

Result<std::uint32_t> In::u32(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsUint()) return mistyped(key, "u32");
  return static_cast<std::uint32_t>(v->GetUint());
}

Result<std::optional<std::uint64_t>> In::opt_u64(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v || v->IsNull()) return std::optional<std::uint64_t>();
  if (!v->IsUint64()) return mistyped(key, "u64 or null");
  return std::optional<std::uint64_t>(v->GetUint64());
}

Result<std::vector<std::string>> In::str_list(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsArray()) return mistyped(key, "a sequence");
  std::vector<std::string> out;
  for (const auto& item : v->GetArray()) {
    if (!item.IsString()) return mistyped(key, "a sequence of strings");
    out.emplace_back(item.GetString(), item.GetStringLength());
  }
  return out;
}

Result<std::optional<std::vector<std::string>>> In::nullable_str_list(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v || v->IsNull()) return std::optional<std::vector<std::string>>();
  KIVO_TRY(values, str_list(key));
  return std::optional<std::vector<std::string>>(std::move(values));
}

Result<std::vector<std::string>> In::opt_str_list(std::string_view key) const {
  if (!has(key)) return std::vector<std::string>();
  return str_list(key);
}

Result<std::vector<std::uint32_t>> In::u32_list(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsArray()) return mistyped(key, "a sequence");
  std::vector<std::uint32_t> out;
  for (const auto& item : v->GetArray()) {
    if (!item.IsUint()) return mistyped(key, "a sequence of u32");
    out.push_back(item.GetUint());
  }
  return out;
}

Result<std::map<std::string, std::uint64_t>> In::u64_map(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsObject()) return mistyped(key, "a map");
  std::map<std::string, std::uint64_t> out;
  for (const auto& member : v->GetObject()) {
    if (!member.value.IsUint64()) return mistyped(key, "a map of u64");
    out[std::string(member.name.GetString(), member.name.GetStringLength())] = member.value.GetUint64();
  }
  return out;
}

Result<std::vector<In>> In::object_list(std::string_view key) const {
  const auto* v = impl_->find(key);
  if (!v) return missing(key);
  if (!v->IsArray()) return mistyped(key, "a sequence");
  std::vector<In> out;
  for (const auto& item : v->GetArray()) {
    if (!item.IsObject()) return mistyped(key, "a sequence of objects");
    auto impl = std::make_unique<Impl>();
    impl->doc = impl_->doc;
    impl->object = &item;
    out.push_back(In(std::move(impl)));
  }
  return out;
}

}  // namespace kivo::json
