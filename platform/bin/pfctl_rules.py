"""Rule text of the pfctl stand-in: parses the pf rule shapes the helper writes, prints them back
in pf's own wording and translates them to nftables statements. Pure: no I/O.

A parsed rule is a plain dict so that it can be stored as JSON between invocations:
  filter: {"kind": "filter", "action": "pass"|"block", "dir": "out"|None, "iface", "af",
           "proto", "to", "port"}
  nat:    {"kind": "rdr", "pass": bool, "iface", "af", "proto", "to", "port", "rdr_to", "rdr_port"}
"iface", "af" ("inet"|"inet6"), "proto" ("tcp"|"udp"), "to" (an address) and "port" are None
when the rule does not restrict them.
"""

import ipaddress
import re

# Set on a connection's conntrack mark when a pass rule creates a pf state for it; packets of a
# marked connection pass before any rule is evaluated, as packets matching a pf state do.
PF_STATE_MARK = 0x00800000

_TOKEN_RE = re.compile(r"->|[{}]|[^\s{},]+")
_IFACE_RE = re.compile(r"^[A-Za-z0-9_.-]{1,15}$")
_PROTOS = ("tcp", "udp")


class RuleSyntaxError(Exception):
    def __init__(self, line_number):
        super().__init__(line_number)
        self.line_number = line_number


class _Cursor:
    def __init__(self, words):
        self.words = words
        self.pos = 0

    def peek(self):
        return self.words[self.pos] if self.pos < len(self.words) else None

    def take(self, *accepted):
        word = self.peek()
        if word is None or (accepted and word not in accepted):
            raise ValueError(word)
        self.pos += 1
        return word

    def take_if(self, word):
        if self.peek() == word:
            self.pos += 1
            return True
        return False

    def done(self):
        return self.pos == len(self.words)


def _family_of(address):
    return "inet6" if ipaddress.ip_address(address).version == 6 else "inet"


def _take_address(cur, allow_any):
    word = cur.take()
    if word == "any" and allow_any:
        return None
    return str(ipaddress.ip_address(word))  # ValueError for anything but an address


def _take_port(cur):
    cur.take_if("=")
    word = cur.take()
    if not word.isdigit() or not 0 < int(word) < 65536:
        raise ValueError(word)
    return int(word)


def _take_protos(cur):
    if cur.take_if("{"):
        protos = []
        while not cur.take_if("}"):
            protos.append(cur.take(*_PROTOS))
        if not protos:
            raise ValueError("{}")
        return list(dict.fromkeys(protos))
    return [cur.take(*_PROTOS)]


def _take_iface(cur):
    word = cur.take()
    if not _IFACE_RE.match(word):
        raise ValueError(word)
    return word


def _settle_family(af, *addresses):
    for address in addresses:
        if address is None:
            continue
        family = _family_of(address)
        if af is not None and af != family:
            raise ValueError(address)
        af = family
    return af


def _parse_filter(cur):
    action = cur.take("pass", "block")
    if action == "block":
        cur.take("drop")  # the block policy is not emulated, so it must be spelled out
    direction = None
    if cur.take_if("out"):
        direction = "out"
    # Only outbound packets are filtered, and none of the accepted shapes blocks inbound
    # traffic, so non-quick rules (last match wins) and inbound rules are refused rather than
    # half-emulated.
    cur.take("quick")
    iface = _take_iface(cur) if cur.take_if("on") else None
    af = cur.take() if cur.peek() in ("inet", "inet6") else None
    protos = _take_protos(cur) if cur.take_if("proto") else [None]
    to = port = None
    if not cur.take_if("all"):
        if cur.take_if("from"):
            cur.take("any")
        cur.take("to")
        to = _take_address(cur, allow_any=True)
        if cur.take_if("port"):
            if protos == [None]:
                raise ValueError("port without proto")
            port = _take_port(cur)
    if action == "pass":
        if cur.take_if("flags"):
            cur.take("S/SA")
        if cur.take_if("keep"):
            cur.take("state")
    af = _settle_family(af, to)
    rule = {"kind": "filter", "action": action, "dir": direction, "iface": iface, "af": af,
            "to": to, "port": port}
    return [dict(rule, proto=proto) for proto in protos]


def _parse_rdr(cur):
    cur.take("rdr")
    passes = cur.take_if("pass")
    cur.take("on")
    iface = _take_iface(cur)
    af = cur.take() if cur.peek() in ("inet", "inet6") else None
    cur.take("proto")
    protos = _take_protos(cur)
    if cur.take_if("from"):
        cur.take("any")
    cur.take("to")
    to = _take_address(cur, allow_any=True)
    cur.take("port")
    port = _take_port(cur)
    cur.take("->")
    rdr_to = _take_address(cur, allow_any=False)
    cur.take("port")
    rdr_port = _take_port(cur)
    af = _settle_family(af, to, rdr_to)
    rule = {"kind": "rdr", "pass": passes, "iface": iface, "af": af, "to": to, "port": port,
            "rdr_to": rdr_to, "rdr_port": rdr_port}
    return [dict(rule, proto=proto) for proto in protos]


def parse_ruleset(text):
    """Returns (filter rules, nat rules); raises RuleSyntaxError with the first bad line."""
    filters, nats = [], []
    for number, line in enumerate(text.split("\n"), start=1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        cur = _Cursor(_TOKEN_RE.findall(line))
        try:
            if cur.peek() == "rdr":
                if filters:  # pf wants translation rules before filter rules
                    raise ValueError("order")
                rules, into = _parse_rdr(cur), nats
            else:
                rules, into = _parse_filter(cur), filters
            if not cur.done():
                raise ValueError(cur.peek())
        except ValueError:
            raise RuleSyntaxError(number) from None
        into.extend(rules)
    return filters, nats


def _keeps_flags(rule):
    return rule["action"] == "pass" and rule["proto"] in (None, "tcp")


def _show_target(rule):
    if rule["to"] is None and rule["port"] is None:
        return "all"
    text = "from any to " + (rule["to"] or "any")
    if rule["port"] is not None:
        text += " port = %d" % rule["port"]
    return text


def show_rule(rule):
    """One rule as `pfctl -s rules|nat` prints it."""
    if rule["kind"] == "rdr":
        words = ["rdr"] + (["pass"] if rule["pass"] else []) + ["on", rule["iface"]]
        words += [rule["af"]] if rule["af"] else []
        words += ["proto", rule["proto"], "from any to", rule["to"] or "any"]
        words += ["port = %d" % rule["port"], "->", rule["rdr_to"], "port %d" % rule["rdr_port"]]
        return " ".join(words)
    words = ["pass" if rule["action"] == "pass" else "block drop"]
    words += [rule["dir"]] if rule["dir"] else []
    words += ["quick"]
    words += ["on", rule["iface"]] if rule["iface"] else []
    words += [rule["af"]] if rule["af"] else []
    words += ["proto", rule["proto"]] if rule["proto"] else []
    words += [_show_target(rule)]
    if rule["action"] == "pass":
        words += ["flags S/SA keep state"] if _keeps_flags(rule) else ["keep state"]
    return " ".join(words)


def linux_iface(name):
    return "lo" if name == "lo0" else name


def _match(rule):
    parts = []
    if rule["iface"]:
        parts.append('oifname "%s"' % linux_iface(rule["iface"]))
    if rule["to"] is not None:
        parts.append("%s daddr %s" % ("ip6" if rule["af"] == "inet6" else "ip", rule["to"]))
    elif rule["af"]:
        parts.append("meta nfproto %s" % ("ipv6" if rule["af"] == "inet6" else "ipv4"))
    if rule["proto"]:
        parts.append("meta l4proto %s" % rule["proto"])
    if rule["port"] is not None:
        parts.append("%s dport %d" % (rule["proto"], rule["port"]))
    return parts


_MARK_STATE = "ct mark set ct mark | 0x%08x" % PF_STATE_MARK


def nft_statements(rule):
    """The nftables rules (texts, in order) that act out one pf rule."""
    match = _match(rule)
    if rule["kind"] == "rdr":
        family = "ip6" if rule["af"] == "inet6" else "ip"
        target = "[%s]" % rule["rdr_to"] if family == "ip6" else rule["rdr_to"]
        if family == "ip" and rule["to"] is None:
            match.append("meta nfproto ipv4")
        verdict = "dnat %s to %s:%d" % (family, target, rule["rdr_port"])
        return [" ".join(match + ([_MARK_STATE] if rule["pass"] else []) + [verdict])]
    if rule["action"] == "block":
        return [" ".join(match + ["drop"])]
    # A pass rule keeps state; with "flags S/SA" only a TCP packet with SYN set and ACK clear
    # creates one, any other matching TCP packet passes statelessly.
    statements = []
    if rule["proto"] is None:
        statements.append(" ".join(match + ["meta l4proto != tcp", _MARK_STATE, "accept"]))
    if _keeps_flags(rule):
        statements.append(" ".join(match + ["tcp flags & (syn | ack) == syn", _MARK_STATE,
                                            "accept"]))
        statements.append(" ".join(match + ["accept"]))
    else:
        statements.append(" ".join(match + [_MARK_STATE, "accept"]))
    return statements
