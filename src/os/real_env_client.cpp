// RealEnv acting for a client: file access with the client's identity on the calling thread
// only (the other threads keep serving as root), and what a process is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <vector>

#ifdef __APPLE__
#include <libproc.h>
#include <pthread.h>
#include <sys/kauth.h>
#else
#include <sys/fsuid.h>
#include <sys/syscall.h>
#endif

#include "base/process_id.h"
#include "base/text.h"
#include "os/descriptors.h"
#include "os/real_env.h"

#ifdef __APPLE__
extern "C" int pthread_setugid_np(uid_t uid, gid_t gid);
#endif

namespace kivo {
namespace {

bool holds_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// The calling thread's file-system identity becomes the client's for the scope. Supplementary
// groups are reduced to the client's primary group: root's own groups must not lend access.
class ActingAs {
 public:
  explicit ActingAs(const ClientIdentity& client) {
    if (client.uid == geteuid() && client.gid == getegid()) return;
    switched_ = true;
#ifdef __APPLE__
    ok_ = pthread_setugid_np(client.uid, client.gid) == 0;
#else
    int count = getgroups(0, nullptr);
    if (count >= 0) {
      saved_groups_.resize(static_cast<size_t>(count));
      count = getgroups(count, saved_groups_.data());
    }
    if (count < 0) return;
    saved_groups_.resize(static_cast<size_t>(count));
    gid_t primary = client.gid;
    // The raw call changes this thread only; the C library's setgroups changes every thread.
    if (syscall(SYS_setgroups, 1, &primary) != 0) return;
    groups_set_ = true;
    saved_gid_ = static_cast<gid_t>(setfsgid(client.gid));
    saved_uid_ = static_cast<uid_t>(setfsuid(client.uid));
    // Asking with an invalid id changes nothing and answers the current one.
    ok_ = static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1))) == client.uid &&
          static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1))) == client.gid;
#endif
  }
  ~ActingAs() {
    if (!switched_) return;
#ifdef __APPLE__
    pthread_setugid_np(KAUTH_UID_NONE, KAUTH_GID_NONE);
#else
    if (!groups_set_) return;
    setfsuid(saved_uid_);
    setfsgid(saved_gid_);
    syscall(SYS_setgroups, saved_groups_.size(), saved_groups_.data());
#endif
  }
  ActingAs(const ActingAs&) = delete;
  ActingAs& operator=(const ActingAs&) = delete;
  bool ok() const { return !switched_ || ok_; }

 private:
  bool switched_ = false;
  bool ok_ = false;
#ifndef __APPLE__
  bool groups_set_ = false;
  std::vector<gid_t> saved_groups_;
  uid_t saved_uid_ = 0;
  gid_t saved_gid_ = 0;
#endif
};

// What the client may not see looks like what is not there.
int as_seen_by_client(int error) { return error == EACCES || error == EPERM ? ENOENT : error; }

}  // namespace

Result<std::string> RealEnv::read_file_as(const ClientIdentity& client, const std::string& path,
                                          std::size_t max_bytes) {
  if (holds_nul(path)) return fail(system_error_text(ENOENT));
  int fd = -1;
  {
    ActingAs acting(client);
    if (!acting.ok()) return fail(system_error_text(EPERM));
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fail(system_error_text(as_seen_by_client(errno)));
  }
  struct stat st {};
  std::string data;
  std::string error;
  if (fstat(fd, &st) != 0) {
    error = system_error_text(errno);
  } else if (!S_ISREG(st.st_mode)) {
    error = "not a regular file";
  } else if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
    error = "larger than " + std::to_string(max_bytes) + " bytes";
  } else {
    char buf[16384];
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = system_error_text(errno);
        break;
      }
      if (n == 0) break;
      data.append(buf, static_cast<size_t>(n));
      // A file that grows while it is read is held to the same bound.
      if (data.size() > max_bytes) {
        error = "larger than " + std::to_string(max_bytes) + " bytes";
        break;
      }
    }
  }
  close(fd);
  if (!error.empty()) return fail(error);
  return data;
}

bool RealEnv::path_exists_as(const ClientIdentity& client, const std::string& path) {
  if (holds_nul(path)) return false;
  ActingAs acting(client);
  struct stat st {};
  return acting.ok() && stat(path.c_str(), &st) == 0;
}

std::optional<std::uint32_t> RealEnv::process_owner(std::uint32_t pid) {
  if (!is_single_process_id(pid)) return std::nullopt;
#ifdef __APPLE__
  proc_bsdinfo info{};
  if (proc_pidinfo(static_cast<int>(pid), PROC_PIDTBSDINFO, 0, &info, sizeof info) != sizeof info) return std::nullopt;
  return static_cast<std::uint32_t>(info.pbi_ruid);
#else
  // Through read_file, whose descriptor is close-on-exec: a tool spawned meanwhile must not inherit it.
  auto status = read_file("/proc/" + std::to_string(pid) + "/status");
  if (!status) return std::nullopt;
  for (std::string_view line : split_lines(*status)) {
    if (!starts_with(line, "Uid:")) continue;
    auto fields = split_whitespace(line.substr(4));
    if (fields.empty()) return std::nullopt;
    if (auto uid = parse_unsigned(fields[0], UINT32_MAX)) return static_cast<std::uint32_t>(*uid);
    return std::nullopt;
  }
  return std::nullopt;
#endif
}

std::optional<std::string> RealEnv::process_executable(std::uint32_t pid) {
  if (!is_single_process_id(pid)) return std::nullopt;
#ifdef __APPLE__
  std::array<char, PROC_PIDPATHINFO_MAXSIZE> buf{};
  if (proc_pidpath(static_cast<int>(pid), buf.data(), static_cast<std::uint32_t>(buf.size())) <= 0) return std::nullopt;
  return std::string(buf.data());
#else
  std::array<char, PATH_MAX> buf{};
  std::string link = "/proc/" + std::to_string(pid) + "/exe";
  ssize_t n = readlink(link.c_str(), buf.data(), buf.size() - 1);
  if (n <= 0) return std::nullopt;
  return std::string(buf.data(), static_cast<size_t>(n));
#endif
}

}  // namespace kivo
