// Modem status lines for a pty, preloaded into the daemon by the stress suite (LD_PRELOAD): a pty
// has no modem lines, so reading or switching them fails, and a DTR drop could not be shown. Where
// the real ioctl refuses TIOCMGET, TIOCMBIS or TIOCMBIC as not meant for the device, this answers
// instead: the DTE's DTR (read as carrier detect) is up unless the file named by
// ORVANE_STRESS_DTR_DOWN exists; switching the daemon's own lines succeeds. Any other request,
// and any device that has modem lines, goes to the real ioctl unchanged.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

namespace {

using ioctl_fn = int (*)(int, unsigned long, void*);

ioctl_fn real_ioctl() {
  static ioctl_fn real = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
  return real;
}

bool dte_dtr_down() {
  const char* flag = getenv("ORVANE_STRESS_DTR_DOWN");
  struct stat st {};
  return flag != nullptr && stat(flag, &st) == 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  int result = real_ioctl()(fd, request, arg);
  bool modem_request = request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC;
  if (result == 0 || !modem_request || (errno != ENOTTY && errno != EINVAL)) return result;
  if (request == TIOCMGET) {
    *static_cast<int*>(arg) = TIOCM_DSR | TIOCM_CTS | (dte_dtr_down() ? 0 : TIOCM_CAR);
  }
  errno = 0;
  return 0;
}
