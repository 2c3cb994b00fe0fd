#!/usr/bin/python3
"""The services pointed at a real dnsmasq on 127.0.0.1:1053 that forwards through the tunnel, loopback
DNS redirected to it by pf, and the user's own DNS put back on request and by the watchdog."""
import time
import unittest

from e2e_support import HelperCase, Sandbox as S, wait_until

DNS_STATE = "com.kivovpn.helper.dns.state.json"
VERIFY = {"VerifyDnsProxy": {"dns_ip": "127.0.0.1"}}


def dns_status(active, services):
    return {"DnsStatus": {"active": active, "configured_services": services}}


class DnsProxyTest(HelperCase):
    @classmethod
    def prepare(cls):
        cls.sb.start_dns_server()
        # The user's own settings: one service automatic, one with servers of its own.
        cls.sb.run("networksetup", "-setdnsservers", "USB 10/100/1000 LAN", S.GATEWAY, "192.0.2.53")

    def servers(self):
        """The DNS servers of the stand-in's enabled services as networksetup reads them back."""
        return [self.sb.run("networksetup", "-getdnsservers", s).stdout for s in ("Wi-Fi", "USB 10/100/1000 LAN")]

    def dig(self, *options):
        """The answer to a plain query for the test name to 127.0.0.1 port 53; None for none."""
        result = self.sb.run("dig", "+short", "+time=2", "+tries=1", *options, "@127.0.0.1", S.DNS_NAME, check=False)
        answer = result.stdout.strip()
        return answer if result.returncode == 0 and answer and not answer.startswith(";") else None

    def lookup(self):
        """An ordinary lookup through the system resolver, as any program makes one."""
        result = self.sb.run("getent", "ahostsv4", S.DNS_NAME, check=False)
        return result.stdout.split()[0] if result.returncode == 0 else None

    def askers_since(self, mark):
        """Who the server's DNS saw asking for the test name since `mark` queries."""
        return [source for name, source in self.sb.dns_queries()[mark:] if name == S.DNS_NAME]

    def test_lookups_go_through_the_proxy_and_the_tunnel_until_restored_or_the_proxy_dies(self):
        sb = self.sb
        user_servers = self.servers()
        self.start_tunnel()
        proxy = sb.start_dns_proxy()
        for restore in ("request", "watchdog"):
            with self.subTest(restore=restore):
                self.assertEqual(self.request({"ApplyDnsProxy": {"dns_ip": "127.0.0.1"}}), dns_status(True, 2))
                # Port 53 on loopback has no listener: the answers come through pf's redirection to
                # the proxy, and from there through the tunnel (the server sees the tunnel address).
                mark = len(sb.dns_queries())
                self.assertEqual(self.dig("+tcp"), S.DNS_ANSWER)
                self.assertEqual(self.lookup(), S.DNS_ANSWER)  # UDP, to the nameserver 127.0.0.1
                askers = self.askers_since(mark)
                self.assertGreaterEqual(len(askers), 2)
                self.assertEqual(set(askers), {S.TUNNEL_IP}, "a query went around the proxy or the tunnel")

                if restore == "request":
                    self.assertEqual(self.request("RestoreDnsProxy"), dns_status(False, 2))
                else:
                    time.sleep(6)  # a watchdog round that finds the proxy alive leaves everything alone
                    self.assertEqual(self.request(VERIFY), dns_status(True, 2))
                    sb.run("kill", "-KILL", str(sb.inner_pid(proxy)))
                    proxy.wait()
                    wait_until(lambda: self.state(DNS_STATE) is None, 8)  # a round every 5 s
                self.assertEqual(self.servers(), user_servers)
                self.assertEqual(self.pf_info()[1], 0, "the redirection's pf reference was kept")
                self.assertIsNone(self.dig(), "loopback DNS is still redirected")
                mark = len(sb.dns_queries())
                self.assertEqual(self.lookup(), S.DNS_ANSWER)
                self.assertEqual(self.askers_since(mark), [S.CLIENT_IP], "the user's own DNS was not asked")


if __name__ == "__main__":
    unittest.main()
