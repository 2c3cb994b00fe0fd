#include "server/detached_thread.h"

#include <pthread.h>

#include <cstddef>
#include <memory>

namespace kivo {
namespace {

// macOS's own size for a secondary thread, here too. The deepest path (a request running a tool
// and reading its output into a 64 KiB buffer) stays far inside it, and at the connection cap
// the stacks fit the C library's cache of freed stacks, so a new connection reuses one instead
// of mapping 8 MiB afresh.
constexpr std::size_t kStackBytes = 512 * 1024;

void* run(void* arg) {
  std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(arg));
  (*work)();
  return nullptr;
}

}  // namespace

bool start_detached_thread(std::function<void()> work) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kStackBytes);
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  pthread_t thread;
  bool started = pthread_create(&thread, &attr, run, owned.get()) == 0;
  pthread_attr_destroy(&attr);
  if (started) owned.release();
  return started;
}

}  // namespace kivo
