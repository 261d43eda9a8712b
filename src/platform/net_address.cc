#include "platform/net_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t MAPPED_PREFIX[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// Turns an IPv4-mapped IPv6 address into the IPv4 address it carries.
void unmap(net_address& addr) {
  if (addr.family != NET_IPV6 || memcmp(addr.bytes.data(), MAPPED_PREFIX, 12) != 0) return;
  memmove(addr.bytes.data(), addr.bytes.data() + 12, 4);
  memset(addr.bytes.data() + 4, 0, 12);
  addr.family = NET_IPV4;
}

void format_ipv6(const std::array<uint8_t, 16>& bytes, char (&text)[NET_ADDRESS_TEXT_SIZE]) {
  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = unsigned{bytes[2 * i]} << 8 | bytes[2 * i + 1];
  // RFC 5952 4.2: the longest run of zero groups, the first of equal ones, and never one alone.
  int best = -1;
  int best_len = 1;
  for (int i = 0; i < 8;) {
    int len = 0;
    while (i + len < 8 && groups[i + len] == 0) ++len;
    if (len > best_len) {
      best = i;
      best_len = len;
    }
    i += len > 0 ? len : 1;
  }
  size_t n = 0;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      n += static_cast<size_t>(snprintf(text + n, sizeof text - n, "::"));
      i += best_len - 1;
      continue;
    }
    bool after_gap = i > 0 && i == best + best_len;
    n += static_cast<size_t>(
        snprintf(text + n, sizeof text - n, i == 0 || after_gap ? "%x" : ":%x", groups[i]));
  }
}

}  // namespace

net_address net_ipv4(uint32_t host_order) {
  net_address addr;
  addr.family = NET_IPV4;
  for (int i = 0; i < 4; ++i) addr.bytes[i] = static_cast<uint8_t>(host_order >> (24 - 8 * i));
  return addr;
}

uint32_t net_ipv4_value(const net_address& addr) {
  if (addr.family != NET_IPV4) return 0;
  return uint32_t{addr.bytes[0]} << 24 | uint32_t{addr.bytes[1]} << 16 |
         uint32_t{addr.bytes[2]} << 8 | addr.bytes[3];
}

bool net_same_host(const net_address& a, const net_address& b) {
  return a.family == b.family && a.bytes == b.bytes;
}

bool net_address_parse(std::string_view text, net_address& addr) {
  char copy[NET_ADDRESS_TEXT_SIZE];
  if (text.size() >= sizeof copy) return false;
  memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  net_address parsed;
  bool v6 = text.find(':') != std::string_view::npos;
  parsed.family = v6 ? NET_IPV6 : NET_IPV4;
  if (inet_pton(v6 ? AF_INET6 : AF_INET, copy, parsed.bytes.data()) != 1) return false;
  unmap(parsed);
  addr = parsed;
  return true;
}

const char* net_address_format(const net_address& addr, char (&text)[NET_ADDRESS_TEXT_SIZE]) {
  if (addr.family == NET_IPV6) {
    format_ipv6(addr.bytes, text);
  } else {
    snprintf(text, sizeof text, "%u.%u.%u.%u", addr.bytes[0], addr.bytes[1], addr.bytes[2],
             addr.bytes[3]);
  }
  return text;
}

const char* addr_text(const net_address& addr) {
  static char text[NET_ADDRESS_TEXT_SIZE];
  return net_address_format(addr, text);
}

socklen_t net_address_to_sockaddr(const net_address& addr, sockaddr_storage& ss) {
  ss = sockaddr_storage{};
  if (addr.family == NET_IPV4) {
    auto* sin = reinterpret_cast<sockaddr_in*>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(addr.port);
    memcpy(&sin->sin_addr, addr.bytes.data(), 4);
    return sizeof *sin;
  }
  if (addr.family == NET_IPV6) {
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(addr.port);
    memcpy(&sin6->sin6_addr, addr.bytes.data(), 16);
    return sizeof *sin6;
  }
  return 0;
}

net_address net_address_from_sockaddr(const sockaddr_storage& ss) {
  net_address addr;
  if (ss.ss_family == AF_INET) {
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ss);
    addr.family = NET_IPV4;
    addr.port = ntohs(sin->sin_port);
    memcpy(addr.bytes.data(), &sin->sin_addr, 4);
  } else if (ss.ss_family == AF_INET6) {
    const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(&ss);
    addr.family = NET_IPV6;
    addr.port = ntohs(sin6->sin6_port);
    memcpy(addr.bytes.data(), &sin6->sin6_addr, 16);
    unmap(addr);
  }
  return addr;
}
