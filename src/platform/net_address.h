// Addresses of the telephone network: one value type for an IPv4 or IPv6 address and a port,
// with its parsing, its text form and its conversion to and from the kernel's socket address.
// An IPv4 caller that reaches a dual-stack socket arrives as an IPv4-mapped IPv6 address
// (::ffff:a.b.c.d); such an address is always kept as the plain IPv4 one, so that it is shown,
// compared and allowed as the IPv4 address it is.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <string_view>

enum net_family : int { NET_NONE = 0, NET_IPV4 = 4, NET_IPV6 = 6 };

struct net_address {
  net_family family = NET_NONE;     // NET_NONE: no address
  std::array<uint8_t, 16> bytes{};  // network order; IPv4 uses the first four, the rest are 0
  uint16_t port = 0;                // host order; 0 = none given

  bool operator==(const net_address&) const = default;
};

// Longest text form, NUL included (as INET6_ADDRSTRLEN).
constexpr size_t NET_ADDRESS_TEXT_SIZE = 46;

// The IPv4 address `host_order` (192.168.1.1 is 0xc0a80101), port 0.
net_address net_ipv4(uint32_t host_order);

// The IPv4 address in host order; 0 for any other family.
uint32_t net_ipv4_value(const net_address& addr);

// True when `addr` holds no address.
inline bool net_address_empty(const net_address& addr) { return addr.family == NET_NONE; }

// True when both hold the same address, whatever their ports.
bool net_same_host(const net_address& a, const net_address& b);

// Parses a dotted IPv4 address ("192.0.2.1", four decimal numbers 0 to 255) or an IPv6 address
// in any form of RFC 4291 ("2001:db8::1", "::ffff:192.0.2.1"), without brackets, port or zone.
// Returns true and sets `addr` (port 0; a mapped address becomes IPv4); false leaves it as it
// was.
bool net_address_parse(std::string_view text, net_address& addr);

// The text form into `text`: IPv4 dotted decimal, IPv6 as RFC 5952 writes it (lower-case hex,
// no leading zeros, the longest run of two or more zero groups as "::", the first of equal
// runs); "0.0.0.0" for no address. Returns `text`.
const char* net_address_format(const net_address& addr, char (&text)[NET_ADDRESS_TEXT_SIZE]);

// The text form in a static buffer that the next call overwrites (as inet_ntoa does).
const char* addr_text(const net_address& addr);

// Fills `ss` with the address and port. Returns its length, 0 for no address.
socklen_t net_address_to_sockaddr(const net_address& addr, sockaddr_storage& ss);

// The address and port of `ss` (AF_INET or AF_INET6; a mapped IPv6 address becomes IPv4); no
// address for any other family.
net_address net_address_from_sockaddr(const sockaddr_storage& ss);
