#include "split/custom_split_state.h"

#include <utility>

namespace kivo {
namespace {

// Every field is named once, here; the writer and the reader both walk this list, so a field
// cannot be added to one direction only.
template <class Io, class State>
void visit_fields(Io& io, State& s) {
  io.field("app_paths", s.app_paths);
  io.field("routes", s.routes);
  io.field("gateway", s.gateway);
  io.field("allow_lan", s.allow_lan);
  io.field("pid_generation", s.pid_generation);
  io.field("tracked_apps", s.tracked_apps);
  io.field("updated_at", s.updated_at);
  io.field("dynamic_routes", s.dynamic_routes);
  io.field("dynamic_route_last_seen_at", s.dynamic_route_last_seen_at);
  io.field("engine_last_sync_at", s.engine_last_sync_at);
  io.field("engine_last_error", s.engine_last_error);
}

struct Writer {
  json::Out& out;
  void field(std::string_view k, const std::vector<std::string>& v) { out.str_list(k, v); }
  void field(std::string_view k, const std::string& v) { out.str(k, v); }
  void field(std::string_view k, bool v) { out.boolean(k, v); }
  void field(std::string_view k, std::uint64_t v) { out.u64(k, v); }
  void field(std::string_view k, const std::vector<HelperCustomSplitTrackedApp>& v) { write_tracked_apps(out, k, v); }
  void field(std::string_view k, const std::map<std::string, std::uint64_t>& v) { out.u64_map(k, v); }
  void field(std::string_view k, const std::optional<std::uint64_t>& v) { out.opt_u64(k, v); }
  void field(std::string_view k, const std::optional<std::string>& v) { out.opt_str(k, v); }
};

// Keeps the first failure and skips the fields after it.
struct Reader {
  const json::In& in;
  std::optional<std::string> error;

  template <class T>
  void take(Result<T> value, T& into) {
    if (error) return;
    if (!value) error = value.error();
    else into = std::move(*value);
  }
  void field(std::string_view k, std::vector<std::string>& v) { take(in.str_list(k), v); }
  void field(std::string_view k, std::string& v) { take(in.str(k), v); }
  void field(std::string_view k, bool& v) { take(in.boolean(k), v); }
  void field(std::string_view k, std::uint64_t& v) { take(in.u64(k), v); }
  void field(std::string_view k, std::vector<HelperCustomSplitTrackedApp>& v) { take(read_tracked_apps(in, k), v); }
  void field(std::string_view k, std::map<std::string, std::uint64_t>& v) { take(in.u64_map(k), v); }
  void field(std::string_view k, std::optional<std::uint64_t>& v) { take(in.opt_u64(k), v); }
  void field(std::string_view k, std::optional<std::string>& v) { take(in.opt_str(k), v); }
};

}  // namespace

void write_tracked_apps(json::Out& out, std::string_view key, const std::vector<HelperCustomSplitTrackedApp>& apps) {
  out.begin_array(key);
  for (const auto& app : apps)
    out.begin_object().str("name", app.name).str("exe_path", app.exe_path).u32_list("active_pids", app.active_pids)
        .end_object();
  out.end_array();
}

Result<std::vector<HelperCustomSplitTrackedApp>> read_tracked_apps(const json::In& in, std::string_view key) {
  KIVO_TRY(objects, in.object_list(key));
  std::vector<HelperCustomSplitTrackedApp> apps;
  for (const auto& object : objects) {
    KIVO_TRY(name, object.str("name"));
    KIVO_TRY(exe_path, object.str("exe_path"));
    KIVO_TRY(pids, object.u32_list("active_pids"));
    apps.push_back({std::move(name), std::move(exe_path), std::move(pids)});
  }
  return apps;
}

std::string encode_custom_split_engine_state(const HelperCustomSplitEngineState& state) {
  json::Out out;
  out.begin_object();
  Writer writer{out};
  visit_fields(writer, state);
  out.end_object();
  return out.take();
}

Result<HelperCustomSplitEngineState> decode_custom_split_engine_state(std::string_view text) {
  KIVO_TRY(in, json::In::parse(text));
  HelperCustomSplitEngineState state;
  Reader reader{in, std::nullopt};
  visit_fields(reader, state);
  if (reader.error) return fail(*reader.error);
  return state;
}

Result<HelperCustomSplitEngineState> read_custom_split_engine_state(Env& env) {
  auto text = env.read_file(kCustomSplitStatePath);
  if (!text) return fail(text.error());
  return decode_custom_split_engine_state(*text);
}

Status save_custom_split_engine_state(Env& env, const HelperCustomSplitEngineState& state) {
  return env.write_file_atomic(kCustomSplitStatePath, encode_custom_split_engine_state(state));
}

}  // namespace kivo
