// How JSON faults are worded and placed. The desktop client was written against serde_json, so
// parse errors use its texts and its positions: the byte offset at which the fault is raised,
// shown as " at line {line} column {column}". Pure functions over the request text; no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivo::protocol::json {

inline constexpr std::string_view kEofWhileParsingList = "EOF while parsing a list";
inline constexpr std::string_view kEofWhileParsingObject = "EOF while parsing an object";
inline constexpr std::string_view kEofWhileParsingString = "EOF while parsing a string";
inline constexpr std::string_view kEofWhileParsingValue = "EOF while parsing a value";
inline constexpr std::string_view kExpectedColon = "expected `:`";
inline constexpr std::string_view kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr std::string_view kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr std::string_view kExpectedIdent = "expected ident";
inline constexpr std::string_view kExpectedValue = "expected value";
inline constexpr std::string_view kInvalidEscape = "invalid escape";
inline constexpr std::string_view kInvalidNumber = "invalid number";
inline constexpr std::string_view kNumberOutOfRange = "number out of range";
inline constexpr std::string_view kInvalidCodePoint = "invalid unicode code point";
inline constexpr std::string_view kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view kKeyMustBeAString = "key must be a string";
inline constexpr std::string_view kLoneSurrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view kTrailingComma = "trailing comma";
inline constexpr std::string_view kTrailingCharacters = "trailing characters";
inline constexpr std::string_view kUnexpectedEndOfHexEscape = "unexpected end of hex escape";

struct Fault {
  std::string message;
  std::size_t index = 0;  // byte offset at which the fault is raised
};

// "{message} at line {line} column {column}"; lines count from 1, the column is the number of
// bytes consumed on the line.
std::string describe(std::string_view text, const Fault& fault);

// JSON white space is exactly space, tab, line feed and carriage return.
std::size_t skip_whitespace(std::string_view text, std::size_t index);
// Faults found while looking at the byte at `index` are placed one byte further.
inline std::size_t peek_index(std::string_view text, std::size_t index) {
  return index < text.size() ? index + 1 : text.size();
}

// A token scan: the first fault, else the offset just past the token.
struct Scan {
  std::optional<Fault> fault;
  std::size_t end = 0;
};

// The string whose opening quote is at `open`. Escapes of a string that is read must decode to
// Unicode scalar values, so unpaired surrogates are faults. A skipped string only needs four hex
// digits after "\u", and its control characters are placed on themselves, not one byte further,
// as serde_json does when it ignores a value.
Scan scan_string(std::string_view text, std::size_t open, bool skipped = false);
// "true", "false" or "null", chosen by the byte at `start`.
Scan scan_literal(std::string_view text, std::size_t start);
// The number starting at `start` ('-' or a digit). Members that are skipped report a few faults
// differently from typed values, as serde_json does.
Scan scan_number(std::string_view text, std::size_t start, bool skipped);

// A syntactically valid number token as serde_json classifies it: plain non-negative integers
// that fit are unsigned, negative ones that fit are signed, everything else is floating point.
struct Number {
  enum class Kind { kUnsigned, kSigned, kFloat } kind = Kind::kUnsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0;
};
// Nothing when the value does not fit a finite double.
std::optional<Number> read_number(std::string_view token);

// Shortest text that reads back as `value`, always with a "." or an exponent ("1.0", "1e300").
std::string format_float(double value);

// The "unexpected" half of an invalid type or value message.
std::string unexpected_string(std::string_view value);  // string "a\"b"
std::string unexpected_number(const Number& number);    // integer `5`, floating point `1.5`
inline std::string unexpected_bool(bool value) { return value ? "boolean `true`" : "boolean `false`"; }

std::string invalid_type(std::string_view unexpected, std::string_view expected);
std::string invalid_value(std::string_view unexpected, std::string_view expected);

}  // namespace kivo::protocol::json
