// Pid files: the daemon's own (/var/run/orvaned.pid) and the pid inside a device lock file, and
// the questions asked of the process such a file names.
#pragma once

// Writes "%i\n" with `pid` to `path` (created or truncated). Returns true when written; false
// with errno set otherwise.
bool write_pid_file(const char* path, int pid);

// Removes the pid file; errors are ignored.
void remove_pid_file(const char* path);

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
