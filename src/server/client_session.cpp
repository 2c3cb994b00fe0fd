#include "server/client_session.h"

#include "base/text.h"
#include "server/dispatcher.h"

namespace kivo {

std::optional<std::string> reject_reason(Env& env, const Result<std::uint32_t>& peer_uid) {
  if (!peer_uid) return peer_uid.error();
  if (*peer_uid == 0) return std::nullopt;
  auto console = env.file_owner(kConsolePath);
  if (console && console->uid == *peer_uid) return std::nullopt;
  return "client uid " + std::to_string(*peer_uid) + " is not authorized";
}

std::string rejection_response(Env& env, const std::string& reason) {
  env.print_error_line("Rejected helper client: " + reason);
  return protocol::encode_response(protocol::response::Err{std::string(protocol::code::kUnauthorizedClient), reason});
}

std::optional<std::string> answer_request(Features& features, std::string_view request_bytes,
                                          const ClientIdentity& client) {
  if (!is_valid_utf8(request_bytes)) {
    features.env.print_error_line("Read error: stream did not contain valid UTF-8");
    return std::nullopt;
  }
  auto request = protocol::parse_request(request_bytes);
  if (!request)
    return protocol::encode_response(
        protocol::response::Err{std::string(protocol::code::kParseError), request.error()});
  return protocol::encode_response(dispatch(features, *request, client));
}

}  // namespace kivo
