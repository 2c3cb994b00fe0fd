// The life of one connection, decided apart from the socket: who may talk to the helper, and
// what a request's bytes are answered with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "server/features.h"

namespace kivo {

inline constexpr const char* kConsolePath = "/dev/console";

// The rejection reason for a peer, or none when it is root or the console's owner.
std::optional<std::string> reject_reason(Env& env, const Result<std::uint32_t>& peer_uid);

// The encoded Err for a rejected peer; the rejection line goes to standard error.
std::string rejection_response(Env& env, const std::string& reason);

// The encoded response to a request's bytes, or none when the bytes are not a readable request
// (invalid UTF-8), in which case the client gets no answer at all.
std::optional<std::string> answer_request(Features& features, std::string_view request_bytes,
                                          const ClientIdentity& client = {});

}  // namespace kivo
