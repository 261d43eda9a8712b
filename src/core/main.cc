#include "core/startup.h"

int main(int argc, char** argv) {
  int status = answer_command_line(argc, argv, ORVANED_VERSION);
  return status >= 0 ? status : daemon_main(argc, argv);
}
