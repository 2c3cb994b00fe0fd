#include "base/text.h"

#include <limits>

namespace kivo {
namespace {

// Decodes one UTF-8 scalar at text[i] and returns its length, or 0 when the bytes there are not
// well formed; then *prefix holds the length of their longest valid prefix (at least 1), the run
// that one U+FFFD replaces.
size_t decode_utf8(std::string_view text, size_t i, char32_t* out, size_t* prefix = nullptr) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(i);
  size_t len = b0 < 0x80 ? 1 : (b0 >= 0xC2 && b0 <= 0xDF) ? 2 : (b0 >= 0xE0 && b0 <= 0xEF) ? 3
             : (b0 >= 0xF0 && b0 <= 0xF4) ? 4 : 0;
  char32_t cp = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  size_t k = 1;
  for (; k < len && i + k < text.size(); ++k) {
    unsigned char b = byte(i + k);
    unsigned char lo = 0x80, hi = 0xBF;
    if (k == 1) {  // no overlong forms, surrogates or code points past U+10FFFF
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    }
    if (b < lo || b > hi) break;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (len != 0 && k == len) {
    *out = cp;
    return len;
  }
  if (prefix) *prefix = k;
  return 0;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  char32_t cp;
  for (size_t i = 0; i < bytes.size();) {
    size_t n = decode_utf8(bytes, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  char32_t cp;
  for (size_t i = 0; i < bytes.size();) {
    size_t invalid = 1;
    size_t n = decode_utf8(bytes, i, &cp, &invalid);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += invalid;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::vector<std::string_view> split_whitespace(std::string_view text) {
  std::vector<std::string_view> fields;
  size_t start = std::string_view::npos;
  char32_t cp;
  for (size_t i = 0; i < text.size();) {
    size_t n = decode_utf8(text, i, &cp);
    bool space = n != 0 && is_unicode_space(cp);
    if (n == 0) n = 1;
    if (space) {
      if (start != std::string_view::npos) fields.push_back(text.substr(start, i - start));
      start = std::string_view::npos;
    } else if (start == std::string_view::npos) {
      start = i;
    }
    i += n;
  }
  if (start != std::string_view::npos) fields.push_back(text.substr(start));
  return fields;
}

std::string_view trim(std::string_view text) {
  size_t begin = text.size(), end = 0;
  char32_t cp;
  for (size_t i = 0; i < text.size();) {
    size_t n = decode_utf8(text, i, &cp);
    bool space = n != 0 && is_unicode_space(cp);
    if (n == 0) n = 1;
    if (!space) {
      if (begin == text.size()) begin = i;
      end = i + n;
    }
    i += n;
  }
  if (begin == text.size()) return text.substr(0, 0);
  return text.substr(begin, end - begin);
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string_view line = nl == std::string_view::npos ? text.substr(start) : text.substr(start, nl - start);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    start = nl + 1;
  }
  return lines;
}

std::string to_lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace kivo
