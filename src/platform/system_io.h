// Descriptor reads and writes, select() and pauses, made through the system-call table so that
// a simulated world can stand in for the kernel.
#pragma once

#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>

// select() with read and write sets; returns as select() does, errno set on -1.
int wait_ready(int nfds, fd_set* read_set, fd_set* write_set, timeval* timeout);

// read() / write() on a descriptor; results as those calls give them.
ssize_t fd_read(int fd, void* buf, size_t len);
ssize_t fd_write(int fd, const void* buf, size_t len);

// sleep(): a signal handler ends the pause early.
void sleep_seconds(unsigned seconds);

// Sleeps the whole time, even when a signal handler interrupts the wait.
void sleep_milliseconds(unsigned ms);
