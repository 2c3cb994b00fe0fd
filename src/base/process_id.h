// Process ids as records and requests carry them: unsigned 32-bit, while kill(2) takes a
// signed one in which 0 and negative values mean groups of processes.
#pragma once

#include <climits>
#include <cstdint>

namespace kivo {

// Whether pid names one process. 0 would reach the helper's own process group, and a value
// above INT_MAX turns negative in a kill that reads it into an int: 4294967295 becomes -1,
// every process.
inline bool is_single_process_id(std::uint64_t pid) { return pid >= 1 && pid <= static_cast<std::uint64_t>(INT_MAX); }

}  // namespace kivo
