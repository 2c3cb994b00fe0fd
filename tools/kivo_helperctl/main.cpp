// kivo-helperctl: sends one request to the helper and prints its answer, for people and tests.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

namespace {

// A bare variant name such as Ping is sent as its JSON string; anything else is sent as given.
std::string request_text(const std::string& arg) {
  bool bare = !arg.empty();
  for (char c : arg) bare = bare && std::isalnum(static_cast<unsigned char>(c));
  return bare ? "\"" + arg + "\"" : arg;
}

int exchange(const std::string& socket_path, const std::string& request, std::string& response) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) {
    std::cerr << "kivo-helperctl: socket path too long\n";
    return 2;
  }
  std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::cerr << "kivo-helperctl: cannot connect to " << socket_path << ": " << std::strerror(errno) << "\n";
    return 2;
  }
  for (size_t off = 0; off < request.size();) {
    ssize_t n = write(fd, request.data() + off, request.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the helper may answer and close early (a rejected client)
    off += static_cast<size_t>(n);
  }
  shutdown(fd, SHUT_WR);
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    response.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Send one request to the Kivo helper daemon and print its response.\n"
               "Exits 0 on an answer, 1 when the answer is an Err, 2 when the helper cannot be reached\n"
               "or gives no answer."};
  std::string socket_path = "/var/run/com.kivovpn.helper.sock";
  std::string request;
  app.add_option("--socket", socket_path, "Path of the helper's socket")->capture_default_str();
  app.add_option("request", request, "A JSON request such as '{\"SetQuicMitigation\":{\"enabled\":true}}', or a bare name such as Ping")
      ->required();
  CLI11_PARSE(app, argc, argv);

  // A rejected client is answered without being read; writing on must not kill us before we
  // read that answer.
  signal(SIGPIPE, SIG_IGN);
  std::string response;
  if (int rc = exchange(socket_path, request_text(request), response); rc != 0) return rc;
  if (response.empty()) {
    std::cerr << "kivo-helperctl: no response\n";
    return 2;
  }
  std::cout << response << "\n";
  return response.rfind("{\"Err\":", 0) == 0 ? 1 : 0;
}
