#include "rtnl.h"

#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <string>

namespace route {
namespace {

struct Answer {
  std::vector<Entry>* entries;
  Refusal refusal;
};

int on_attr(const nlattr* attr, void* data) {
  auto** table = static_cast<const nlattr**>(data);
  int type = mnl_attr_get_type(attr);
  if (mnl_attr_type_valid(attr, RTA_MAX) > 0) table[type] = attr;
  return MNL_CB_OK;
}

Address address_of(int family, const nlattr* attr) {
  Address a;
  a.family = family;
  size_t size = family == AF_INET ? 4 : 16;
  if (mnl_attr_get_payload_len(attr) >= size) std::memcpy(&a.bytes, mnl_attr_get_payload(attr), size);
  return a;
}

// A table of a few hundred routes names the same few interfaces over and over, and each name
// is a system call: ask once per interface.
const std::string& interface_name(unsigned index) {
  static std::map<unsigned, std::string> names;
  auto [it, added] = names.try_emplace(index);
  if (added) {
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(index, name)) it->second = name;
  }
  return it->second;
}

int on_route(const nlmsghdr* nlh, void* data) {
  auto* answer = static_cast<Answer*>(data);
  if (nlh->nlmsg_type != RTM_NEWROUTE || !answer->entries) return MNL_CB_OK;
  auto* rtm = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(nlh));
  const nlattr* attrs[RTA_MAX + 1] = {};
  mnl_attr_parse(nlh, sizeof(*rtm), on_attr, attrs);
  Entry e;
  e.type = rtm->rtm_type;
  e.table = attrs[RTA_TABLE] ? mnl_attr_get_u32(attrs[RTA_TABLE]) : rtm->rtm_table;
  e.metric = attrs[RTA_PRIORITY] ? mnl_attr_get_u32(attrs[RTA_PRIORITY]) : 0;
  e.found.prefix = rtm->rtm_dst_len;
  if (rtm->rtm_dst_len) {
    Address dst;
    dst.family = rtm->rtm_family;
    if (attrs[RTA_DST]) dst = address_of(rtm->rtm_family, attrs[RTA_DST]);
    e.found.dest = dst;
  }
  if (attrs[RTA_GATEWAY]) e.found.gateway = address_of(rtm->rtm_family, attrs[RTA_GATEWAY]);
  if (attrs[RTA_OIF]) {
    if (const std::string& name = interface_name(mnl_attr_get_u32(attrs[RTA_OIF])); !name.empty()) e.found.device = name;
  }
  answer->entries->push_back(std::move(e));
  return MNL_CB_OK;
}

int on_extack_attr(const nlattr* attr, void* data) {
  if (mnl_attr_get_type(attr) == NLMSGERR_ATTR_MSG && mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) == 0)
    *static_cast<std::string*>(data) = mnl_attr_get_str(attr);
  return MNL_CB_OK;
}

// An error (or, with error 0, the acknowledgement) ends the exchange.
int on_error(const nlmsghdr* nlh, void* data) {
  auto* answer = static_cast<Answer*>(data);
  auto* err = static_cast<const nlmsgerr*>(mnl_nlmsg_get_payload(nlh));
  if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(*err))) return MNL_CB_ERROR;
  answer->refusal.error = -err->error;
  if (err->error && (nlh->nlmsg_flags & NLM_F_ACK_TLVS)) {
    unsigned offset = sizeof(*err);
    if (!(nlh->nlmsg_flags & NLM_F_CAPPED)) offset += err->msg.nlmsg_len - sizeof(nlmsghdr);
    mnl_attr_parse(nlh, offset, on_extack_attr, &answer->refusal.extack);
  }
  return MNL_CB_STOP;
}

int on_done(const nlmsghdr*, void*) { return MNL_CB_STOP; }

nlmsghdr* start(char* buf, uint16_t type, uint16_t flags, int family, rtmsg** rtm) {
  nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = type;
  nlh->nlmsg_flags = NLM_F_REQUEST | flags;
  *rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
  (*rtm)->rtm_family = static_cast<unsigned char>(family);
  return nlh;
}

void put_address(nlmsghdr* nlh, uint16_t type, const Address& a) {
  mnl_attr_put(nlh, type, a.family == AF_INET ? 4 : 16, &a.bytes);
}

}  // namespace

Rtnl::Rtnl() {
  socket_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (!socket_) return;
  int on = 1;
  mnl_socket_setsockopt(socket_, NETLINK_EXT_ACK, &on, sizeof on);
  if (mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) {
    mnl_socket_close(socket_);
    socket_ = nullptr;
    return;
  }
  port_ = mnl_socket_get_portid(socket_);
  seq_ = static_cast<unsigned>(time(nullptr));
}

Rtnl::~Rtnl() {
  if (socket_) mnl_socket_close(socket_);
}

Refusal Rtnl::talk(nlmsghdr* request, std::vector<Entry>* entries) {
  request->nlmsg_seq = ++seq_;
  if (mnl_socket_sendto(socket_, request, request->nlmsg_len) < 0) return {errno, ""};
  Answer answer{entries, {}};
  mnl_cb_t control[NLMSG_MIN_TYPE] = {};
  control[NLMSG_ERROR] = on_error;
  control[NLMSG_DONE] = on_done;
  // Big enough for the largest message a dump puts in one read.
  static char buf[32768];
  for (;;) {
    ssize_t n = mnl_socket_recvfrom(socket_, buf, sizeof buf);
    if (n < 0) return {errno, ""};
    int ret = mnl_cb_run2(buf, static_cast<size_t>(n), request->nlmsg_seq, port_, on_route, &answer, control,
                          NLMSG_MIN_TYPE);
    if (ret == MNL_CB_ERROR) return answer.refusal.error ? answer.refusal : Refusal{errno, ""};
    if (ret == MNL_CB_STOP) return answer.refusal;
  }
}

Refusal Rtnl::change(const Request& r, unsigned device_index) {
  char buf[MNL_SOCKET_BUFFER_SIZE];
  rtmsg* rtm;
  nlmsghdr* nlh;
  if (r.verb == Verb::kAdd) {
    nlh = start(buf, RTM_NEWROUTE, NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, r.family, &rtm);
    rtm->rtm_protocol = RTPROT_BOOT;
    rtm->rtm_type = RTN_UNICAST;
    // Without a next hop the destination is on the link, as `ip route add DEST dev IFACE` has it.
    rtm->rtm_scope = r.gateway ? RT_SCOPE_UNIVERSE : RT_SCOPE_LINK;
  } else {
    // BSD deletes by destination and prefix alone.
    nlh = start(buf, RTM_DELROUTE, NLM_F_ACK, r.family, &rtm);
    rtm->rtm_scope = RT_SCOPE_NOWHERE;
  }
  rtm->rtm_table = RT_TABLE_MAIN;
  rtm->rtm_dst_len = static_cast<unsigned char>(r.prefix);
  put_address(nlh, RTA_DST, *r.dest);
  if (r.verb == Verb::kAdd) {
    if (r.gateway) put_address(nlh, RTA_GATEWAY, *r.gateway);
    if (device_index) mnl_attr_put_u32(nlh, RTA_OIF, device_index);
  }
  return talk(nlh, nullptr);
}

bool Rtnl::get(const Address& target, Entry& entry, Refusal& refusal) {
  char buf[MNL_SOCKET_BUFFER_SIZE];
  rtmsg* rtm;
  nlmsghdr* nlh = start(buf, RTM_GETROUTE, NLM_F_ACK, target.family, &rtm);
  rtm->rtm_dst_len = static_cast<unsigned char>(target.bits());
  put_address(nlh, RTA_DST, target);
  std::vector<Entry> entries;
  refusal = talk(nlh, &entries);
  if (refusal.error || entries.empty()) return false;
  entry = entries.front();
  return true;
}

std::vector<Entry> Rtnl::main_table(int family, Refusal& refusal) {
  char buf[MNL_SOCKET_BUFFER_SIZE];
  rtmsg* rtm;
  nlmsghdr* nlh = start(buf, RTM_GETROUTE, NLM_F_DUMP, family, &rtm);
  std::vector<Entry> entries;
  refusal = talk(nlh, &entries);
  std::erase_if(entries, [](const Entry& e) { return e.table != RT_TABLE_MAIN; });
  return entries;
}

}  // namespace route
