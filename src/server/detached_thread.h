// Starting the helper's detached threads, with the failure to create one reported rather than
// thrown, so that each caller decides what it costs.
#pragma once

#include <functional>

namespace kivo {

// Starts entry(argument) on a detached thread; false when no thread could be created. Nothing
// is allocated for the new thread to free: a thread's first free builds the C library's malloc
// cache for that thread, and its end tears it down, which a connection's thread would pay each
// time.
using ThreadEntry = void* (*)(void*);
using ThreadStarter = std::function<bool(ThreadEntry, void*)>;
bool start_detached_thread(ThreadEntry entry, void* argument);

// The same for work of any shape, for threads started once (the monitors').
using WorkStarter = std::function<bool(std::function<void()>)>;
bool start_detached_work(std::function<void()> work);

}  // namespace kivo
