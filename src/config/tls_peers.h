// The certificate names that may take part in an encrypted call (MOD_ORVANE_TLS_PEERS): a
// peer's certificate must carry one of them (compared as DNS names are, letter case aside).
// An empty list lets every certificate that chains to the fleet's CA in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Parses `text`: names of letters, digits, hyphens, underscores and dots (a DNS name or a
// common name without blanks), separated by any run of blanks and commas. Returns true and
// replaces `names` when every name is valid; otherwise false with the first invalid one in
// `bad_name`, `names` left as it was.
bool tls_peers_parse(std::string_view text, std::vector<std::string>& names, std::string& bad_name);

// True when `list` (MOD_ORVANE_TLS_PEERS as parsed) is empty or holds one of a peer
// certificate's `names` (separated by single spaces, as the session gives them), compared as
// host names are; a name of the list with a trailing dot is the same name without it.
bool tls_peers_allow(const std::vector<std::string>& list, std::string_view names);
