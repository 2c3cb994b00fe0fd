// Load program for the helper's socket (or the baseline server): one Ping per connection,
// written, half-closed, answered, as the desktop client does it.
//   ping_load SOCKET latency N             one client, N requests in a row: p50 and p90
//   ping_load SOCKET throughput CLIENTS N  CLIENTS threads share N requests: requests per second
// Prints one JSON object. Bounded by N and by a two-minute deadline.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::minutes(2);

// The first failure of a run, told on standard error: which step failed and why.
std::atomic_flag failure_told = ATOMIC_FLAG_INIT;
bool failed(const char* step, const std::string& why) {
  if (!failure_told.test_and_set()) std::fprintf(stderr, "first failure: %s: %s\n", step, why.c_str());
  return false;
}

bool ping(const char* path) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return failed("socket", std::strerror(errno));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
  static const char request[] = "\"Ping\"";
  const char* step = nullptr;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) step = "connect";
  else if (write(fd, request, sizeof request - 1) != sizeof request - 1) step = "write";
  else if (shutdown(fd, SHUT_WR) != 0) step = "shutdown";
  std::string answer;
  char buffer[256];
  ssize_t n = 0;
  while (!step && (n = read(fd, buffer, sizeof buffer)) > 0) answer.append(buffer, static_cast<std::size_t>(n));
  if (!step && n < 0) step = "read";
  std::string why = step ? std::strerror(errno) : "answered '" + answer + "'";
  close(fd);
  if (step) return failed(step, why);
  return answer == "\"Ok\"" || failed("answer", why);
}

int latency(const char* path, long count) {
  std::vector<double> micros;
  long failures = 0;
  const auto stop = Clock::now() + kDeadline;
  for (long i = 0; i < count && Clock::now() < stop; ++i) {
    auto start = Clock::now();
    if (!ping(path)) ++failures;
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros.empty() ? 0.0 : micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
  std::printf("{\"requests\":%zu,\"failures\":%ld,\"p50_us\":%.2f,\"p90_us\":%.2f}\n", micros.size(), failures, at(0.5),
              at(0.9));
  return failures ? 1 : 0;
}

int throughput(const char* path, int clients, long count) {
  std::atomic<long> next{0}, done{0}, failures{0};
  const auto start = Clock::now();
  const auto stop = start + kDeadline;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      while (next.fetch_add(1) < count && Clock::now() < stop) {
        if (!ping(path)) failures.fetch_add(1);
        done.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("{\"requests\":%ld,\"failures\":%ld,\"seconds\":%.3f,\"requests_per_s\":%.1f}\n", done.load(),
              failures.load(), seconds, done.load() / seconds);
  return failures.load() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);  // a server that closes early is a failed request, not the end
  if (argc == 4 && std::strcmp(argv[2], "latency") == 0) return latency(argv[1], std::atol(argv[3]));
  if (argc == 5 && std::strcmp(argv[2], "throughput") == 0)
    return throughput(argv[1], std::atoi(argv[3]), std::atol(argv[4]));
  std::fprintf(stderr, "usage: ping_load SOCKET latency N | ping_load SOCKET throughput CLIENTS N\n");
  return 2;
}
