#include "protocol/json_faults.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "base/text.h"

namespace kivo::protocol::json {
namespace {

bool is_digit(std::string_view text, std::size_t i) { return i < text.size() && text[i] >= '0' && text[i] <= '9'; }

Scan fault_at(std::string_view message, std::size_t index) { return Scan{Fault{std::string(message), index}, index}; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the four hex digits of a \u escape at `i`. A short escape runs into the end of input; bad
// digits are reported past all four, as serde_json consumes them before checking.
std::optional<Fault> read_hex4(std::string_view text, std::size_t& i, unsigned& out) {
  if (text.size() - i < 4) return Fault{std::string(kEofWhileParsingString), text.size()};
  out = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    int digit = hex_value(text[i + k]);
    if (digit < 0) return Fault{std::string(kInvalidEscape), i + 4};
    out = out * 16 + static_cast<unsigned>(digit);
  }
  i += 4;
  return std::nullopt;
}

bool is_surrogate(unsigned unit, unsigned lo, unsigned hi) { return unit >= lo && unit <= hi; }

}  // namespace

std::string describe(std::string_view text, const Fault& fault) {
  std::size_t index = fault.index < text.size() ? fault.index : text.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < index; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return fault.message + " at line " + std::to_string(line) + " column " + std::to_string(index - line_start);
}

std::size_t skip_whitespace(std::string_view text, std::size_t index) {
  while (index < text.size() &&
         (text[index] == ' ' || text[index] == '\t' || text[index] == '\n' || text[index] == '\r')) {
    ++index;
  }
  return index;
}

Scan scan_string(std::string_view text, std::size_t open, bool skipped) {
  const std::size_t n = text.size();
  std::size_t i = open + 1;
  while (true) {
    if (i == n) return fault_at(kEofWhileParsingString, n);
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '"') {
      ++i;
      // Raw bytes are checked once the string is complete, as serde_json does for byte input.
      if (!is_valid_utf8(text.substr(open + 1, i - open - 2))) return fault_at(kInvalidCodePoint, i);
      return Scan{std::nullopt, i};
    }
    if (c < 0x20) return fault_at(kControlCharacter, skipped ? i : i + 1);
    ++i;
    if (c != '\\') continue;

    if (i == n) return fault_at(kEofWhileParsingString, n);
    char escape = text[i++];
    if (std::string_view("\"\\/bfnrt").find(escape) != std::string_view::npos) continue;
    if (escape != 'u') return fault_at(kInvalidEscape, i);
    unsigned first = 0;
    if (auto fault = read_hex4(text, i, first)) return Scan{std::move(fault), fault->index};
    if (skipped) continue;
    // serde_json calls a trailing surrogate without its partner a lone leading one.
    if (is_surrogate(first, 0xDC00, 0xDFFF)) return fault_at(kLoneSurrogate, i);
    if (!is_surrogate(first, 0xD800, 0xDBFF)) continue;
    for (char expected : {'\\', 'u'}) {
      if (i == n) return fault_at(kEofWhileParsingString, n);
      if (text[i++] != expected) return fault_at(kUnexpectedEndOfHexEscape, i);
    }
    unsigned second = 0;
    if (auto fault = read_hex4(text, i, second)) return Scan{std::move(fault), fault->index};
    if (!is_surrogate(second, 0xDC00, 0xDFFF)) return fault_at(kLoneSurrogate, i);
  }
}

Scan scan_literal(std::string_view text, std::size_t start) {
  std::string_view word = text[start] == 't' ? "true" : text[start] == 'f' ? "false" : "null";
  std::size_t i = start + 1;
  for (std::size_t k = 1; k < word.size(); ++k) {
    if (i == text.size()) return fault_at(kEofWhileParsingValue, i);
    if (text[i++] != word[k]) return fault_at(kExpectedIdent, i);
  }
  return Scan{std::nullopt, i};
}

Scan scan_number(std::string_view text, std::size_t start, bool skipped) {
  const std::size_t n = text.size();
  const std::string_view at_end = skipped ? kInvalidNumber : kEofWhileParsingValue;
  std::size_t i = start;
  if (text[i] == '-') ++i;
  if (i == n) return fault_at(at_end, n);
  bool nonzero = false;
  char lead = text[i++];
  if (lead == '0') {
    if (is_digit(text, i)) return fault_at(kInvalidNumber, i + 1);
  } else if (lead >= '1' && lead <= '9') {
    nonzero = true;
    while (is_digit(text, i)) ++i;
  } else {
    return fault_at(kInvalidNumber, i);
  }

  if (i < n && text[i] == '.') {
    std::size_t digits = ++i;
    for (; is_digit(text, i); ++i) nonzero = nonzero || text[i] != '0';
    if (i == digits) return fault_at(i < n ? kInvalidNumber : at_end, peek_index(text, i));
  }

  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == n) return fault_at(at_end, n);
    if (!is_digit(text, i)) return fault_at(kInvalidNumber, i + 1);
    std::int64_t exponent = 0;
    while (is_digit(text, i)) {
      exponent = exponent * 10 + (text[i++] - '0');
      // A typed value gives up where its exponent leaves the 32-bit range.
      if (exponent > std::numeric_limits<std::int32_t>::max()) {
        if (!skipped && nonzero && !negative) return fault_at(kNumberOutOfRange, i);
        while (is_digit(text, i)) ++i;
        break;
      }
    }
  }
  return Scan{std::nullopt, i};
}

std::optional<Number> read_number(std::string_view token) {
  const bool negative = !token.empty() && token[0] == '-';
  std::string_view digits = token.substr(negative ? 1 : 0);
  if (digits.find_first_of(".eE") == std::string_view::npos) {
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (ec == std::errc() && end == digits.data() + digits.size()) {
      if (!negative) return Number{Number::Kind::kUnsigned, magnitude, 0, 0};
      // "-0" and magnitudes past the signed range become floating point, as in serde_json.
      auto value = static_cast<std::int64_t>(std::uint64_t{0} - magnitude);
      if (value < 0) return Number{Number::Kind::kSigned, 0, value, 0};
      return Number{Number::Kind::kFloat, 0, 0, -static_cast<double>(magnitude)};
    }
  }

  double value = 0;
  auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Too small rounds to zero; too large does not fit.
    std::size_t e = digits.find_first_of("eE");
    std::string_view mantissa = digits.substr(0, e);
    std::int64_t exponent = 0;
    if (e != std::string_view::npos) {
      std::string_view text = digits.substr(e + 1);
      bool minus = !text.empty() && text[0] == '-';
      if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
      for (char c : text) exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
      if (minus) exponent = -exponent;
    }
    std::size_t point = mantissa.find('.');
    std::size_t first = mantissa.find_first_not_of("0.");
    std::int64_t integer_digits = static_cast<std::int64_t>(point == std::string_view::npos ? mantissa.size() : point);
    std::int64_t order = first == std::string_view::npos ? 0
                         : first < static_cast<std::size_t>(integer_digits)
                             ? integer_digits - static_cast<std::int64_t>(first)
                             : integer_digits - static_cast<std::int64_t>(first) + 1;
    if (first != std::string_view::npos && order + exponent > 0) return std::nullopt;
    value = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return Number{Number::Kind::kFloat, 0, 0, value};
}

std::string format_float(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::string out;
  if (text[0] == '-') {
    out = "-";
    text.remove_prefix(1);
  }
  std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::string_view exponent_text = text.substr(e + 1);
  if (exponent_text[0] == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  // The layout of the shortest representation that serde_json prints (via ryu).
  const int length = static_cast<int>(digits.size());
  const int kk = exponent + 1;  // 10^(kk-1) <= |value| < 10^kk
  const int k = kk - length;
  if (k >= 0 && kk <= 16) {
    out += digits;
    out.append(static_cast<std::size_t>(k), '0');
    out += ".0";
  } else if (kk > 0 && kk <= 16) {
    out += digits.substr(0, static_cast<std::size_t>(kk));
    out += '.';
    out += digits.substr(static_cast<std::size_t>(kk));
  } else if (kk > -5 && kk <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-kk), '0');
    out += digits;
  } else {
    out += digits[0];
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(kk - 1);
  }
  return out;
}

std::string unexpected_string(std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "string \"";
  for (std::size_t i = 0; i < value.size(); ++i) {
    auto c = static_cast<unsigned char>(value[i]);
    unsigned control = 0x100;  // none
    switch (c) {
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\\': out += "\\\\"; continue;
      case '"': out += "\\\""; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7F) {
      control = c;
    } else if (c == 0xC2 && i + 1 < value.size() && static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(value[i + 1]) < 0xA0) {
      control = static_cast<unsigned char>(value[++i]);  // C1 control, U+0080..U+009F
    }
    if (control == 0x100) {
      out += static_cast<char>(c);
      continue;
    }
    out += "\\u{";
    if (control >= 0x10) out += kHex[control >> 4];
    out += kHex[control & 0xF];
    out += '}';
  }
  return out + "\"";
}

std::string unexpected_number(const Number& number) {
  switch (number.kind) {
    case Number::Kind::kUnsigned: return "integer `" + std::to_string(number.u) + "`";
    case Number::Kind::kSigned: return "integer `" + std::to_string(number.i) + "`";
    case Number::Kind::kFloat: break;
  }
  return "floating point `" + format_float(number.f) + "`";
}

std::string invalid_type(std::string_view unexpected, std::string_view expected) {
  return "invalid type: " + std::string(unexpected) + ", expected " + std::string(expected);
}

std::string invalid_value(std::string_view unexpected, std::string_view expected) {
  return "invalid value: " + std::string(unexpected) + ", expected " + std::string(expected);
}

}  // namespace kivo::protocol::json
