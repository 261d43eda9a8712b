// UUCP-style device lock files: "LCK..<device name>" holding the owner's pid as "%10d\n".
#pragma once

#include <string>

// The lock file path for `device_path` inside `lock_dir`: lock_dir + "/LCK.." + the last path
// component of the device.
std::string lock_file_name(const char* device_path, const char* lock_dir);

// Takes the lock, removing a stale one (its pid names no live process) first. Retries every
// 100 ms while another lock exists, until `timeout_sec` whole monotonic seconds have passed; at
// least one attempt is made. Returns 1 when taken, 0 when another process holds it, -1 at once
// when the lock file cannot be created for another reason (errno says why: a missing lock
// directory, no permission).
int lock_device(const char* device_path, const char* lock_dir, int timeout_sec);

// Removes the lock file of `device_path`, whatever it holds. Errors are ignored.
void unlock_device(const char* device_path, const char* lock_dir);
