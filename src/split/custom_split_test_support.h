// What the custom split engine's tests share: process 41 of Chat talking to a peer, and the
// route lines the engine runs through gateway 192.0.2.1.
#pragma once

#include <cstdint>
#include <string>

namespace kivo::split_testing {

inline constexpr std::uint64_t kNow = 1700000000;

inline std::string connection(const std::string& peer) {
  return "Chat 41 user 5u IPv4 0x1 0t0 TCP 192.0.2.2:50000->" + peer + ":443 (ESTABLISHED)\n";
}
inline std::string add(const std::string& route) { return "route -n add -net " + route + " 192.0.2.1"; }
inline std::string del(const std::string& route) { return "route -n delete -net " + route + " 192.0.2.1"; }

}  // namespace kivo::split_testing
