// Compact JSON for the helper's state records: written in declaration order, read with typed
// required and optional fields.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace kivo::json {

class Out {
 public:
  Out();
  ~Out();
  Out& begin_object();
  Out& end_object();
  Out& begin_object(std::string_view key);
  Out& str(std::string_view key, std::string_view value);
  Out& opt_str(std::string_view key, const std::optional<std::string>& value);
  Out& boolean(std::string_view key, bool value);
  Out& u64(std::string_view key, std::uint64_t value);
  Out& opt_u64(std::string_view key, const std::optional<std::uint64_t>& value);
  Out& str_list(std::string_view key, const std::vector<std::string>& values);
  Out& nullable_str_list(std::string_view key, const std::optional<std::vector<std::string>>& values);
  Out& u64_map(std::string_view key, const std::map<std::string, std::uint64_t>& values);
  Out& u32_list(std::string_view key, const std::vector<std::uint32_t>& values);
  // An array of objects: begin_array(key), then begin_object() / end_object() per element.
  Out& begin_array(std::string_view key);
  Out& end_array();
  std::string take();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// One parsed JSON object; readers name the field that is missing or mistyped.
class In {
 public:
  static Result<In> parse(std::string_view text);
  In(In&&) noexcept;
  ~In();

  Result<std::string> str(std::string_view key) const;
  Result<std::optional<std::string>> opt_str(std::string_view key) const;  // absent or null: none
  Result<bool> boolean(std::string_view key) const;
  Result<std::uint64_t> u64(std::string_view key) const;
  Result<std::uint32_t> u32(std::string_view key) const;
  Result<std::optional<std::uint64_t>> opt_u64(std::string_view key) const;
  Result<std::vector<std::string>> str_list(std::string_view key) const;
  Result<std::optional<std::vector<std::string>>> nullable_str_list(std::string_view key) const;  // absent or null: none
  Result<std::vector<std::string>> opt_str_list(std::string_view key) const;  // absent: empty
  Result<std::vector<std::uint32_t>> u32_list(std::string_view key) const;
  Result<std::map<std::string, std::uint64_t>> u64_map(std::string_view key) const;
  // The elements of an array of objects, each readable like the record itself.
  Result<std::vector<In>> object_list(std::string_view key) const;
  bool has(std::string_view key) const;
  // Whether the field holds a number of any kind: whole or not, signed or not.
  bool is_number(std::string_view key) const;
  // A nested object, readable like the record itself.
  Result<In> object(std::string_view key) const;

 private:
  struct Impl;
  explicit In(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace kivo::json
