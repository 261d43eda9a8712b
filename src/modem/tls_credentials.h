// This modem's certificates as the settings name them (MOD_ORVANE_TLS_CERT, _KEY and _CA),
// read at start-up and again by ATZ.
#pragma once

#include <string>

#include "config/settings.h"
#include "platform/tls.h"

// Loads the three files that `s` names into `out`; settings without them leave `out` empty.
// Returns false when a file cannot be read or parsed or the key does not match the certificate,
// with `message` naming the key and the path ("MOD_ORVANE_TLS_KEY: /etc/router.key: does not
// match the certificate"); `out` is then unchanged.
bool load_tls_credentials(const modem_settings& s, tls_context& out, std::string& message);
