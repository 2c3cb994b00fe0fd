// Starting the helper's detached threads, with the failure to create one reported rather than
// thrown, so that each caller decides what it costs.
#pragma once

#include <functional>

namespace kivo {

// Starts `work` on a detached thread; false when no thread could be created.
using ThreadStarter = std::function<bool(std::function<void()>)>;
bool start_detached_thread(std::function<void()> work);

}  // namespace kivo
