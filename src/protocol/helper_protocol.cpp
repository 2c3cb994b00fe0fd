#include "protocol/helper_protocol.h"

namespace kivo::protocol {

Result<HelperRequest> parse_request(std::string_view) { return fail("not implemented"); }
std::string encode_response(const HelperResponse&) { return "\"Ok\""; }

}  // namespace kivo::protocol
