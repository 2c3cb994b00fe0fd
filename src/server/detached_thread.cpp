#include "server/detached_thread.h"

#include <system_error>
#include <thread>

namespace kivo {

bool start_detached_thread(std::function<void()> work) {
  try {
    std::thread(std::move(work)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace kivo
