#include "modem/tls_credentials.h"

bool load_tls_credentials(const modem_settings& s, tls_context& out, std::string& message) {
  if (s.tls_cert.empty() && s.tls_key.empty() && s.tls_ca.empty()) {
    out = tls_context{};
    return true;
  }
  tls_context loaded;
  std::string problem;
  tls_file bad =
      tls_context_load(loaded, s.tls_cert.c_str(), s.tls_key.c_str(), s.tls_ca.c_str(), problem);
  switch (bad) {
    case TLS_FILE_NONE:
      out = std::move(loaded);
      return true;
    case TLS_FILE_CERT:
      message = "MOD_ORVANE_TLS_CERT: " + s.tls_cert + ": " + problem;
      return false;
    case TLS_FILE_KEY:
      message = "MOD_ORVANE_TLS_KEY: " + s.tls_key + ": " + problem;
      return false;
    case TLS_FILE_CA:
      message = "MOD_ORVANE_TLS_CA: " + s.tls_ca + ": " + problem;
      return false;
    case TLS_FILE_LIBRARY:
      message = "encrypted calls need OpenSSL 3: " + problem;
      return false;
  }
  return false;
}
