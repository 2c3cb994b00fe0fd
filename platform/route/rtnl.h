// The routing table of the current network namespace, over rtnetlink (libmnl).
#pragma once

#include <string>
#include <vector>

#include "route_forms.h"

struct mnl_socket;
struct nlmsghdr;

namespace route {

struct Entry {
  Found found;
  unsigned char type = 0;
  unsigned table = 0;
  unsigned metric = 0;
};

// The kernel's refusal: its errno and the extended-ack text, if it gave one.
struct Refusal {
  int error = 0;
  std::string extack;
};

class Rtnl {
 public:
  Rtnl();
  ~Rtnl();
  Rtnl(const Rtnl&) = delete;
  Rtnl& operator=(const Rtnl&) = delete;

  bool ok() const { return socket_ != nullptr; }
  // As `ip route add` and `ip route del DEST` ask, in the main table.
  Refusal change(const Request& request, unsigned device_index);
  // `ip route get TARGET`: the route the kernel would take, any table.
  bool get(const Address& target, Entry& entry, Refusal& refusal);
  // Every route of the main table in FAMILY.
  std::vector<Entry> main_table(int family, Refusal& refusal);

 private:
  Refusal talk(nlmsghdr* request, std::vector<Entry>* answers);
  mnl_socket* socket_ = nullptr;
  unsigned port_ = 0;
  unsigned seq_ = 0;
};

}  // namespace route
