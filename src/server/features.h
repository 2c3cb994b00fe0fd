// The helper's features, built once at start-up around the one Env and shared by all requests
// and monitors; each carries its own lock.
#pragma once

#include "dns/dns_proxy.h"
#include "os/env.h"
#include "pf/kill_switch.h"
#include "pf/quic_mitigation.h"
#include "split/custom_split_engine.h"
#include "split/split_bypass.h"
#include "steering/packet_steering_engine.h"
#include "tunnel/tunnel.h"

namespace kivo {

struct Features {
  explicit Features(Env& env)
      : env(env), split(env), tunnel(env, split), kill_switch(env), quic(env), dns(env), custom_split(env),
        steering(env, split) {}
  Env& env;
  SplitBypass split;
  Tunnel tunnel;
  KillSwitch kill_switch;
  QuicMitigation quic;
  DnsProxy dns;
  CustomSplitEngine custom_split;
  PacketSteeringEngine steering;
};

}  // namespace kivo
