#include "platform/network_extension/preferences_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "os/process.h"
#include "os/real_env.h"

namespace kivo::nem::standin {
namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void write_string(Writer& w, std::string_view key, std::string_view value) {
  w.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
  w.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
}

void write_bool(Writer& w, const char* key, bool value) {
  w.Key(key);
  w.Bool(value);
}

void write_protocol(Writer& w, const TunnelProviderProtocol& p) {
  w.StartObject();
  write_string(w, "providerBundleIdentifier", p.provider_bundle_identifier);
  write_string(w, "serverAddress", p.server_address);
  write_bool(w, "disconnectOnSleep", p.disconnect_on_sleep);
  write_bool(w, "includeAllNetworks", p.include_all_networks);
  write_bool(w, "excludeLocalNetworks", p.exclude_local_networks);
  w.Key("providerConfiguration");
  w.StartObject();
  for (const auto& [key, value] : p.provider_configuration) {
    w.Key(key.c_str(), static_cast<rapidjson::SizeType>(key.size()));
    if (const auto* text = std::get_if<std::string>(&value)) w.String(text->c_str(), static_cast<rapidjson::SizeType>(text->size()));
    else w.Int64(std::get<std::int64_t>(value));
  }
  w.EndObject();
  w.EndObject();
}

using Object = rapidjson::Value::ConstObject;

std::string text_of(const Object& o, const char* key) {
  auto it = o.FindMember(key);
  return it != o.MemberEnd() && it->value.IsString() ? std::string(it->value.GetString(), it->value.GetStringLength()) : "";
}

bool bool_of(const Object& o, const char* key) {
  auto it = o.FindMember(key);
  return it != o.MemberEnd() && it->value.IsBool() && it->value.GetBool();
}

TunnelProviderProtocol read_protocol(const Object& o) {
  TunnelProviderProtocol p;
  p.provider_bundle_identifier = text_of(o, "providerBundleIdentifier");
  p.server_address = text_of(o, "serverAddress");
  p.disconnect_on_sleep = bool_of(o, "disconnectOnSleep");
  p.include_all_networks = bool_of(o, "includeAllNetworks");
  p.exclude_local_networks = bool_of(o, "excludeLocalNetworks");
  if (auto it = o.FindMember("providerConfiguration"); it != o.MemberEnd() && it->value.IsObject()) {
    for (const auto& m : it->value.GetObject()) {
      std::string key(m.name.GetString(), m.name.GetStringLength());
      if (m.value.IsString()) p.provider_configuration[key] = std::string(m.value.GetString(), m.value.GetStringLength());
      else if (m.value.IsInt64()) p.provider_configuration[key] = m.value.GetInt64();
    }
  }
  return p;
}

// The file lock is released when the descriptor closes, also when the process dies.
class FileLock {
 public:
  explicit FileLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0)
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

}  // namespace

StoredProfile* Preferences::find(const std::string& id) {
  for (auto& p : profiles)
    if (p.id == id) return &p;
  return nullptr;
}

std::string encode_preferences(const Preferences& prefs) {
  rapidjson::StringBuffer buffer;
  Writer w(buffer);
  w.StartObject();
  w.Key("profiles");
  w.StartArray();
  for (const auto& p : prefs.profiles) {
    w.StartObject();
    write_string(w, "id", p.id);
    write_bool(w, "perApp", p.per_app);
    write_string(w, "localizedDescription", p.localized_description);
    write_bool(w, "enabled", p.enabled);
    w.Key("protocol");
    if (p.protocol) write_protocol(w, *p.protocol);
    else w.Null();
    w.Key("appRules");
    w.StartArray();
    for (const auto& r : p.app_rules) {
      w.StartObject();
      write_string(w, "signingIdentifier", r.signing_identifier);
      write_string(w, "designatedRequirement", r.designated_requirement);
      write_string(w, "matchPath", r.match_path);
      w.EndObject();
    }
    w.EndArray();
    w.EndObject();
  }
  w.EndArray();
  w.Key("connections");
  w.StartObject();
  for (const auto& [id, c] : prefs.connections) {
    w.Key(id.c_str(), static_cast<rapidjson::SizeType>(id.size()));
    w.StartObject();
    w.Key("status");
    w.Int(c.status);
    w.Key("pid");
    w.Int64(c.pid);
    w.EndObject();
  }
  w.EndObject();
  w.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

Result<Preferences> decode_preferences(std::string_view json) {
  rapidjson::Document doc;
  doc.Parse(json.data(), json.size());
  if (doc.HasParseError() || !doc.IsObject()) return fail("The VPN preferences are damaged.");
  Preferences prefs;
  const auto root = std::as_const(doc).GetObject();
  if (auto it = root.FindMember("profiles"); it != root.MemberEnd() && it->value.IsArray()) {
    for (const auto& item : it->value.GetArray()) {
      if (!item.IsObject()) continue;
      const auto o = item.GetObject();
      StoredProfile p;
      p.id = text_of(o, "id");
      p.per_app = bool_of(o, "perApp");
      p.localized_description = text_of(o, "localizedDescription");
      p.enabled = bool_of(o, "enabled");
      if (auto proto = o.FindMember("protocol"); proto != o.MemberEnd() && proto->value.IsObject())
        p.protocol = read_protocol(proto->value.GetObject());
      if (auto rules = o.FindMember("appRules"); rules != o.MemberEnd() && rules->value.IsArray()) {
        for (const auto& r : rules->value.GetArray()) {
          if (!r.IsObject()) continue;
          const auto ro = r.GetObject();
          p.app_rules.push_back({text_of(ro, "signingIdentifier"), text_of(ro, "designatedRequirement"), text_of(ro, "matchPath")});
        }
      }
      prefs.profiles.push_back(std::move(p));
    }
  }
  if (auto it = root.FindMember("connections"); it != root.MemberEnd() && it->value.IsObject()) {
    for (const auto& m : it->value.GetObject()) {
      if (!m.value.IsObject()) continue;
      const auto o = m.value.GetObject();
      ConnectionRecord c;
      if (auto s = o.FindMember("status"); s != o.MemberEnd() && s->value.IsInt()) c.status = s->value.GetInt();
      if (auto pid = o.FindMember("pid"); pid != o.MemberEnd() && pid->value.IsInt64()) c.pid = static_cast<long>(pid->value.GetInt64());
      prefs.connections[std::string(m.name.GetString(), m.name.GetStringLength())] = c;
    }
  }
  return prefs;
}

Status PreferencesStore::update(const std::function<Result<bool>(Preferences&)>& change) {
  if (mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST)
    return fail("Failed to create " + dir_ + ": " + system_error_text(errno));
  FileLock lock(dir_ + "/preferences.lock");
  if (!lock.held()) return fail("Failed to lock the VPN preferences: " + system_error_text(errno));
  RealEnv env;
  const std::string path = dir_ + "/preferences.json";
  Preferences prefs;
  if (auto text = env.read_file(path)) {
    KIVO_TRY(decoded, decode_preferences(*text));
    prefs = std::move(decoded);
  }
  KIVO_TRY(changed, change(prefs));
  if (!changed) return {};
  return env.write_file_atomic(path, encode_preferences(prefs));
}

Result<Preferences> PreferencesStore::read() {
  Preferences snapshot;
  auto read = update([&](Preferences& prefs) -> Result<bool> {
    snapshot = prefs;
    return false;
  });
  if (!read) return fail(read.error());
  return snapshot;
}

namespace {

rapidjson::Document read_faults(const std::string& dir) {
  rapidjson::Document doc;
  if (auto text = RealEnv().read_file(dir + "/faults.json")) doc.Parse(text->data(), text->size());
  if (doc.HasParseError() || !doc.IsObject()) doc.SetObject();
  return doc;
}

}  // namespace

std::optional<std::string> PreferencesStore::fault(std::string_view call) const {
  const auto doc = read_faults(dir_);
  auto it = doc.FindMember(rapidjson::Value(rapidjson::StringRef(call.data(), call.size())));
  if (it == doc.MemberEnd() || !it->value.IsString()) return std::nullopt;
  return std::string(it->value.GetString(), it->value.GetStringLength());
}

bool PreferencesStore::hangs(std::string_view call) const {
  const auto doc = read_faults(dir_);
  auto it = doc.FindMember("hang");
  if (it == doc.MemberEnd() || !it->value.IsArray()) return false;
  for (const auto& name : it->value.GetArray())
    if (name.IsString() && std::string_view(name.GetString(), name.GetStringLength()) == call) return true;
  return false;
}

}  // namespace kivo::nem::standin
