// Pure text helpers shared by the tool-output parsers; no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

bool is_valid_utf8(std::string_view bytes);
// Invalid UTF-8 sequences become U+FFFD, as tool output is shown to people.
std::string utf8_lossy(std::string_view bytes);

// Trims Unicode white space at both ends.
std::string_view trim(std::string_view text);
// Splits at runs of Unicode white space; no empty fields.
std::vector<std::string_view> split_whitespace(std::string_view text);
// Lines end at "\n"; a "\r" before it is dropped; no empty last line after a final "\n".
std::vector<std::string_view> split_lines(std::string_view text);

std::string to_lower_ascii(std::string_view text);
bool contains(std::string_view haystack, std::string_view needle);
bool starts_with(std::string_view text, std::string_view prefix);
std::string join(const std::vector<std::string>& parts, std::string_view separator);

// Decimal digits with an optional leading "+"; nothing else, no overflow.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max);
inline std::optional<std::uint64_t> parse_u64(std::string_view text) { return parse_unsigned(text, UINT64_MAX); }
inline std::optional<std::uint8_t> parse_u8(std::string_view text) {
  auto v = parse_unsigned(text, 255);
  if (!v) return std::nullopt;
  return static_cast<std::uint8_t>(*v);
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b);

}  // namespace kivo
