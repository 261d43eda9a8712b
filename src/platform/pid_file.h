// Pid files: the daemon's own (/var/run/orvaned.pid) and the pid inside a device lock file, and
// the questions asked of the process such a file names.
#pragma once

#include "platform/unique_fd.h"

// What claim_pid_file found.
enum pid_claim : int {
  PID_FAILED = -1,  // the file cannot be opened, locked or written (errno says why)
  PID_HELD = 0,     // another instance holds it
  PID_CLAIMED = 1,  // it now holds this process's pid
};

// Takes the pid file at `path` for process `pid`: opens it (created when missing), locks it
// (flock, without waiting) and writes "%i\n" with `pid` over what it held. The lock lasts as
// long as `held` keeps the descriptor open, so two daemons that start at once never both write
// it. PID_HELD, with `holder` set to the pid the file names (0 while its holder has not written
// it yet), when another process holds the lock or the file names a live process that runs this
// executable (an instance that does not lock it, such as one of an older version); any other
// content is a left-over and is replaced.
pid_claim claim_pid_file(const char* path, int pid, unique_fd& held, int& holder);

// Removes the pid file that claim_pid_file took into `held` when it still names `pid` (someone
// may have replaced it since); errors are ignored. The lock stays until `held` is closed.
void release_pid_file(const char* path, const unique_fd& held, int pid);

// The process id of this process.
int current_pid();

// Reads a pid file into `pid`: the decimal number at its start (leading blanks skipped, so a
// lock's "%10d" reads too), 0 when it holds none. Returns false when it cannot be opened.
bool read_pid_file(const char* path, int& pid);

// Sends signal `signo` to process `pid`. Returns 0, or the errno of the refusal.
int signal_process(int pid, int signo);

// 1 when a process with this id exists (kill(pid, 0) succeeds or fails with anything but
// ESRCH), 0 when it does not or when pid <= 0.
int process_alive(int pid);

// True when process `pid` runs this process's own executable, as /proc/<pid>/exe shows it: the
// same file, or the same path (an executable replaced on disk since that process started, as
// an upgrade does, still counts). False when the process does not exist or has no executable
// (a kernel thread). Also true when /proc does not tell (no /proc, or no permission to look):
// the cautious answer for a caller that waits for another instance.
bool runs_this_executable(int pid);
