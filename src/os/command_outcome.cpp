#include "os/command_outcome.h"

#include "base/text.h"

namespace kivo {

CommandResult command_output_to_result(std::string_view stdout_bytes, std::string_view stderr_bytes,
                                       ProcessExit exit) {
  std::string out = utf8_lossy(stdout_bytes);
  std::string err = utf8_lossy(stderr_bytes);
  bool has_err = !trim(err).empty();
  if (exit.exited_normally && exit.status == 0) {
    if (!has_err) return out;
    if (trim(out).empty()) return err;
    return out + "\n" + err;
  }
  return fail(has_err ? err : out);
}

std::string timed_out_message(std::string_view program, const TimeLimit& limit) {
  return std::string(program) + " timed out after " + std::to_string(limit.millis()) + " ms";
}

}  // namespace kivo
