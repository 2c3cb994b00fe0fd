// kivo-ne-manager <connect|disconnect|status|update-app-rules>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "kivo_ne_manager/main/kivo_desktop_ne_manager.h"
#include "kivo_ne_manager/posix_system.h"

namespace {

void write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // Never destroyed: a completion that comes after the time-out may still be running on a
  // framework thread when the answer is written, and must find everything in place.
  static auto* ne = kivo::nem::make_system_network_extension().release();
  static auto* system = new kivo::nem::PosixSystem();
  auto answer = kivo::nem::KivoDesktopNEManager::main(args, *ne, *system);
  write_all(STDOUT_FILENO, answer.standard_output);
  write_all(STDERR_FILENO, answer.standard_error);
  // The answer is out; whatever is still running has nothing left to say.
  _exit(answer.exit_status);
}
