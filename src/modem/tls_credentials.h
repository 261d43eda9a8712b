// This modem's certificates as the settings name them (MOD_ORVANE_TLS_CERT, _KEY and _CA),
// read at start-up and again by ATZ.
#pragma once

#include <string>

#include "config/settings.h"
#include "platform/tls.h"

// Loads the three files that `s` names into `out` (opening the TLS library the first time);
// settings without them leave `out` empty. Returns false when a file cannot be read or parsed
// or the key does not match the certificate, with `message` naming the key and the path
// ("MOD_ORVANE_TLS_KEY: /etc/router.key: does not match the certificate"), or when the library
// cannot be opened, naming it ("encrypted calls need OpenSSL 3: libssl.so.3: cannot open
// shared object file: No such file or directory"); `out` is then unchanged. Start-up and the
// settings tool use it alike.
bool load_tls_credentials(const modem_settings& s, tls_context& out, std::string& message);
