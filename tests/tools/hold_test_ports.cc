// Holds N test ports (test_port.h) for a shell check: prints them on one line, then keeps them
// until a signal ends it.  hold_test_ports N
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <list>

#include "test_port.h"

int main(int argc, char** argv) {
  std::list<test_port> ports;
  for (int i = argc > 1 ? atoi(argv[1]) : 1; i > 0; --i) {
    if (ports.emplace_back().number() == 0) return 1;
    printf("%d%c", ports.back().number(), i > 1 ? ' ' : '\n');
  }
  fflush(stdout);
  pause();
}
