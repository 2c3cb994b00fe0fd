#include "tools/kivo_helperctl/answer_render.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "protocol/helper_protocol.h"

namespace kivo::helperctl {
namespace {

using Json = rapidjson::Value;

// A terminal's width, near enough: the overview is meant to fit one screen.
constexpr std::size_t kOverviewWidth = 100;

std::string label(std::string_view member) {
  std::string text(member);
  std::replace(text.begin(), text.end(), '_', ' ');
  return text;
}

// The feature report's flags: those present, then those missing.
std::string flags(const Json& object) {
  std::string present, missing;
  for (const auto& m : object.GetObject()) {
    std::string& list = m.value.IsBool() && m.value.GetBool() ? present : missing;
    list += (list.empty() ? "" : ", ") + std::string(m.name.GetString());
  }
  if (present.empty()) present = "none";
  return missing.empty() ? present : present + " (missing: " + missing + ")";
}

std::string value_text(const Json& v) {
  if (v.IsBool()) return v.GetBool() ? "yes" : "no";
  if (v.IsNull()) return "none";
  if (v.IsString()) return std::string(v.GetString(), v.GetStringLength());
  if (v.IsUint64()) return std::to_string(v.GetUint64());
  if (v.IsInt64()) return std::to_string(v.GetInt64());
  if (v.IsObject()) return flags(v);
  return "?";
}

// "name: value" lines whose values start in one column. With a width, a long value goes on
// over further lines at that column, broken between words.
std::vector<std::string> aligned(const std::vector<std::pair<std::string, std::string>>& rows,
                                 std::size_t max_width = 0) {
  std::size_t width = 0;
  for (const auto& [name, value] : rows) width = std::max(width, name.size());
  const std::size_t column = width + 2;
  std::vector<std::string> lines;
  for (const auto& [name, value] : rows) {
    std::string line = name + ":";
    if (!value.empty()) line += std::string(width - name.size() + 1, ' ');
    std::size_t start = 0;
    while (max_width > column && value.size() - start > max_width - column) {
      std::size_t cut = value.rfind(' ', start + (max_width - column));
      if (cut == std::string::npos || cut <= start) break;
      lines.push_back(line + value.substr(start, cut - start));
      line = std::string(column, ' ');
      start = cut + 1;
    }
    lines.push_back(line + value.substr(start));
  }
  return lines;
}

// The variant's members, when the answer is {"Variant":{members}}.
const Json* members(const rapidjson::Document& doc) {
  if (!doc.IsObject() || doc.MemberCount() != 1) return nullptr;
  const Json& body = doc.MemberBegin()->value;
  return body.IsObject() ? &body : nullptr;
}

// The steering engine answers its verify with the missing record's system text when nothing is
// staged: for a person that is an engine not staged, as the custom split engine says of itself.
bool unstaged_steering(const Json& err) {
  const auto is = [&](const char* key, std::string_view text) {
    return err.HasMember(key) && err[key].IsString() && err[key].GetString() == text;
  };
  return is("code", protocol::code::kPacketSteeringEngineVerifyFailed) && is("message", std::strerror(ENOENT));
}

std::string error_line(const Json& err) {
  auto text = [&](const char* key) {
    return err.HasMember(key) && err[key].IsString() ? std::string(err[key].GetString()) : std::string("?");
  };
  return "error (" + text("code") + "): " + text("message");
}

// Sentences the engines write for people go on lines of their own, under short names.
std::optional<std::string> note_label(std::string_view member) {
  if (member == "note") return "note";
  if (member.ends_with("_summary")) return "plan";
  return std::nullopt;
}

// The overview keeps a note's first sentence, which says the state (live, waiting, stale,
// degraded); the counters after it are in the answer's own members.
std::string first_sentence(std::string text) {
  if (auto end = text.find(". "); end != std::string::npos) text.resize(end + 1);
  return text;
}

}  // namespace

Rendered render_answer(std::string_view answer) {
  rapidjson::Document doc;
  doc.Parse(answer.data(), answer.size());
  if (doc.HasParseError()) return {{"unreadable answer: " + std::string(answer)}, true};
  if (doc.IsString()) return {{doc.GetString() == std::string_view("Ok") ? "ok" : doc.GetString()}, false};
  const Json* body = members(doc);
  if (!body) return {{std::string(answer)}, false};
  if (doc.MemberBegin()->name == "Err") return {{error_line(*body)}, true};
  // Counters kept per address family share one row: "learned bypass routes: 3 ipv4, 1 ipv6".
  std::vector<std::pair<std::string, std::string>> rows;
  for (auto m = body->MemberBegin(); m != body->MemberEnd(); ++m) {
    std::string_view name = m->name.GetString();
    auto next = m + 1;
    if (name.ends_with("_ipv4") && next != body->MemberEnd() &&
        std::string_view(next->name.GetString()) == std::string(name.substr(0, name.size() - 5)) + "_ipv6") {
      rows.emplace_back(label(name.substr(0, name.size() - 5)),
                        value_text(m->value) + " ipv4, " + value_text(next->value) + " ipv6");
      m = next;
      continue;
    }
    rows.emplace_back(label(name), value_text(m->value));
  }
  return {aligned(rows), false};
}

std::vector<std::string> render_overview(const std::vector<OverviewItem>& items) {
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& item : items) {
    if (!item.answer) {
      rows.emplace_back(item.title, item.answer.error());
      continue;
    }
    rapidjson::Document doc;
    doc.Parse(item.answer->data(), item.answer->size());
    const Json* body = doc.HasParseError() ? nullptr : members(doc);
    if (!body) {
      rows.emplace_back(item.title, doc.IsString() ? doc.GetString() : *item.answer);
      continue;
    }
    if (doc.MemberBegin()->name == "Err") {
      rows.emplace_back(item.title, unstaged_steering(*body) ? "staged no, active no" : error_line(*body));
      continue;
    }
    std::string summary;
    std::vector<std::pair<std::string, std::string>> notes;
    for (const auto& m : body->GetObject()) {
      const Json& v = m.value;
      std::string name = m.name.GetString();
      if ((v.IsUint64() && v.GetUint64() == 0) || v.IsNull() || (v.IsString() && v.GetStringLength() == 0)) continue;
      if (v.IsObject()) {
        notes.emplace_back("  features", flags(v));
      } else if (auto note = note_label(name)) {
        notes.emplace_back("  " + *note, first_sentence(value_text(v)));
      } else {
        summary += (summary.empty() ? "" : ", ") + label(name) + " " + value_text(v);
      }
    }
    rows.emplace_back(item.title, summary);
    rows.insert(rows.end(), notes.begin(), notes.end());
  }
  return aligned(rows, kOverviewWidth);
}

}  // namespace kivo::helperctl
