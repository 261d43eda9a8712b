// Built only with TLS: the table is of OpenSSL's functions.
#if ORVANED_HAVE_TLS

#include "platform/tls_library.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstring>

namespace {

// All pointers empty at first: constant-initialised, so reading it needs no guard.
tls_library& process_library() {
  static tls_library lib;
  return lib;
}

}  // namespace

// The functions' names, each ended by a zero byte, and the slots they fill, in one order: two
// tables of constants, which need no relocation when the program starts.
#define TLS_LIBRARY_NAME_OF(fn) #fn "\0"
constexpr char function_names[] = TLS_LIBRARY_FUNCTIONS(TLS_LIBRARY_NAME_OF);
#undef TLS_LIBRARY_NAME_OF
#define TLS_LIBRARY_SLOT_OF(fn) offsetof(tls_library, fn),
constexpr size_t function_slots[] = {TLS_LIBRARY_FUNCTIONS(TLS_LIBRARY_SLOT_OF)};
#undef TLS_LIBRARY_SLOT_OF
static_assert(sizeof(tls_library::SSL_new) == sizeof(void*));

bool tls_library_open(tls_library& lib, const char* name, std::string& problem) {
  // RTLD_NOW: a function the library lacks shows here rather than in the middle of a call.
  void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    problem = why != nullptr ? why : std::string(name) + ": cannot be opened";
    return false;
  }
  tls_library found;
  const char* function = function_names;
  for (size_t slot : function_slots) {
    void* address = dlsym(handle, function);
    if (address == nullptr) {
      problem = std::string(name) + " has no function " + function;
      dlclose(handle);
      return false;
    }
    // A function's address, as dlsym gives it, into its pointer.
    memcpy(reinterpret_cast<char*>(&found) + slot, &address, sizeof address);
    function += strlen(function) + 1;
  }
  lib = found;
  return true;
}

const tls_library* tls_library_load(std::string& problem) {
  tls_library& lib = process_library();
  if (lib.SSL_new == nullptr && !tls_library_open(lib, TLS_LIBRARY_NAME, problem)) return nullptr;
  return &lib;
}

const tls_library& tls_lib() { return process_library(); }

#endif  // ORVANED_HAVE_TLS
