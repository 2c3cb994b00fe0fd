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

void* run_work(void* arg) {
  std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(arg));
  (*work)();
  return nullptr;
}

}  // namespace

bool start_detached_thread(ThreadEntry entry, void* argument) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kStackBytes);
  pthread_t thread;
  bool started = pthread_create(&thread, &attr, entry, argument) == 0;
  pthread_attr_destroy(&attr);
  return started;
}

bool start_detached_work(std::function<void()> work) {
  auto owned = std::make_unique<std::function<void()>>(std::move(work));
  if (!start_detached_thread(run_work, owned.get())) return false;
  owned.release();
  return true;
}

}  // namespace kivo
