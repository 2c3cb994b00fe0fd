// The property every state-record fuzz target checks: whatever a reader accepts, the writer
// writes back so that the reader gets the same record again. Header only, so a fuzz target needs
// nothing beyond its own module.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace kivo::fuzz {

template <class Decode, class Encode>
void check_record_round_trip(const std::uint8_t* data, std::size_t size, Decode decode, Encode encode) {
  auto record = decode(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!record.ok()) return;
  auto again = decode(encode(*record));
  if (!again.ok() || !(*again == *record)) std::abort();
}

}  // namespace kivo::fuzz
