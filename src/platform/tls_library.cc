// Built only with TLS: the table is of OpenSSL's functions.
#if ORVANED_HAVE_TLS

#include "platform/tls_library.h"

#if ORVANED_TLS_AT_RUN_TIME
#include <dlfcn.h>
#endif

namespace {

// All pointers empty at first: constant-initialised, so reading it needs no guard.
tls_library& process_library() {
  static tls_library lib;
  return lib;
}

}  // namespace

#if ORVANED_TLS_AT_RUN_TIME

bool tls_library_open(tls_library& lib, const char* name, std::string& problem) {
  // RTLD_NOW: a function the library lacks shows here rather than in the middle of a call.
  void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    problem = why != nullptr ? why : std::string(name) + ": cannot be opened";
    return false;
  }
  tls_library found;
  const char* missing = nullptr;
#define TLS_LIBRARY_FIND(fn)                                           \
  found.fn = reinterpret_cast<decltype(found.fn)>(dlsym(handle, #fn)); \
  if (found.fn == nullptr && missing == nullptr) missing = #fn;
  TLS_LIBRARY_FUNCTIONS(TLS_LIBRARY_FIND)
#undef TLS_LIBRARY_FIND
  if (missing != nullptr) {
    problem = std::string(name) + " has no function " + missing;
    dlclose(handle);
    return false;
  }
  lib = found;
  return true;
}

#else  // ORVANED_TLS_AT_RUN_TIME

bool tls_library_open(tls_library& lib, const char*, std::string&) {
#define TLS_LIBRARY_TAKE(fn) lib.fn = &::fn;
  TLS_LIBRARY_FUNCTIONS(TLS_LIBRARY_TAKE)
#undef TLS_LIBRARY_TAKE
  return true;
}

#endif  // ORVANED_TLS_AT_RUN_TIME

const tls_library* tls_library_load(std::string& problem) {
  tls_library& lib = process_library();
  if (lib.SSL_new == nullptr && !tls_library_open(lib, TLS_LIBRARY_NAME, problem)) return nullptr;
  return &lib;
}

const tls_library& tls_lib() { return process_library(); }

#endif  // ORVANED_HAVE_TLS
