// The shape of every request as the reader walks it: which variants exist, which fields each
// one declares and of what type, and how the values read become the request structs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/helper_protocol.h"

namespace kivo::protocol::schema {

enum class Shape {
  kUnit,     // a variant without fields: null
  kString,
  kBool,
  kU64,
  kU32,
  kList,     // JSON array of `element`
  kStruct,   // object, or array of the field values in declared order
  kSkipped,  // a member the request does not declare: checked, then dropped
};

struct StructLayout;

struct Type {
  Shape shape;
  const Type* element = nullptr;     // kList
  const StructLayout* layout = nullptr;  // kStruct
};

struct FieldSpec {
  std::string_view name;
  const Type* type;
};

// A value read for one field or list element.
using Value = std::variant<std::monostate, std::string, bool, std::uint64_t, std::vector<std::string>,
                           std::vector<std::uint32_t>, HelperCustomSplitTrackedApp,
                           std::vector<HelperCustomSplitTrackedApp>, HelperRequest>;

struct StructLayout {
  std::string_view expecting;  // how the desktop client's parser names it: "struct HelperCustomSplitTrackedApp"
  std::span<const FieldSpec> fields;
  Value (*build)(std::vector<Value>& fields);  // every field present, in declared order
};

struct VariantSpec {
  std::string_view name;
  const Type* type;  // kUnit or kStruct
};

extern const Type kSkippedType;

// All variants in declaration order; the position is the HelperRequest index.
std::span<const VariantSpec> variants();
// The index of the variant called `name`, or variants().size().
std::size_t find_variant(std::string_view name);
// "`GetStatus`, `StartTunnel`, …" for the unknown-variant message.
const std::string& variant_names();
HelperRequest unit_request(std::size_t index);

// What a type is called in "invalid type: …, expected {expecting}".
std::string_view expecting(const Type& type);

Value empty_list(const Type& list);
void append(Value& list, Value&& element);

}  // namespace kivo::protocol::schema
