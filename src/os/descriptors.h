// Descriptors the helper creates are close-on-exec from birth: a child spawned by another
// thread in between (wireguard-go, which outlives the request) would otherwise inherit a
// client's connection or a pipe end and keep the other side from ever seeing end of file.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace kivo {

// accept(2), the connection close-on-exec and non-blocking. -1 with errno on failure.
int accept_connection(int listen_fd);
// socket(2) for a stream socket of the domain (AF_UNIX, AF_INET), close-on-exec. -1 with errno.
int stream_socket(int domain);
// pipe(2), both ends close-on-exec. false with errno on failure.
bool cloexec_pipe(int fds[2]);
// mkstemp(3) on the template (trailing XXXXXX), mode 0600, close-on-exec. -1 with errno.
int cloexec_temp_file(std::string& path_template);

// strerror(3) is not thread-safe on every libc; this is.
std::string system_error_text(int error_number);

struct BoundedRead {
  enum class End { kComplete, kTooLarge, kTimedOut, kFailed };
  End end = End::kComplete;
  std::string data;   // what arrived (at most the cap)
  std::string error;  // kFailed: the system's text
};

// Reads a non-blocking descriptor to end of stream, but never holds more than max_bytes and
// never waits past the deadline: a client cannot make the helper buffer or wait without bound.
BoundedRead read_to_end_bounded(int fd, std::size_t max_bytes, std::chrono::steady_clock::time_point deadline);

// Reads and drops whatever the peer still sends, until it ends or the deadline passes: a Unix
// socket closed with unread data resets the connection, and the peer loses the answer.
void discard_until_end(int fd, std::chrono::steady_clock::time_point deadline);

// Writes all of data to a non-blocking socket unless it fails or the deadline passes (a peer
// that never reads). Never raises SIGPIPE.
bool send_all_by(int fd, std::string_view data, std::chrono::steady_clock::time_point deadline);

}  // namespace kivo
