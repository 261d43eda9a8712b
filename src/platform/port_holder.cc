#include "platform/port_holder.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr const char* LISTEN_STATE = "0A";

// The inodes of the sockets bound to `port` in the table /proc/self/net/`name` (tcp, tcp6):
// the listening ones, and the others.
void bound_inodes(const char* name, uint16_t port, std::vector<unsigned long>& listening,
                  std::vector<unsigned long>& other) {
  std::string path = std::string("/proc/self/net/") + name;
  FILE* table = fopen(path.c_str(), "re");
  if (table == nullptr) return;
  char line[512];
  // Each row: slot, local address:port (hex), remote, state (hex), queues, timer, retransmits,
  // uid, timeout, inode.
  while (fgets(line, sizeof line, table) != nullptr) {
    char local[64];
    char state[8];
    unsigned long inode = 0;
    if (sscanf(line, " %*s %63s %*s %7s %*s %*s %*s %*s %*s %lu", local, state, &inode) != 3) {
      continue;
    }
    const char* colon = strrchr(local, ':');
    if (colon == nullptr || inode == 0 || strtoul(colon + 1, nullptr, 16) != port) continue;
    (strcmp(state, LISTEN_STATE) == 0 ? listening : other).push_back(inode);
  }
  fclose(table);
}

// True when process `pid` has one of the sockets `inodes` open.
bool has_socket(const char* pid, const std::vector<unsigned long>& inodes) {
  std::string dir_path = std::string("/proc/") + pid + "/fd";
  DIR* dir = opendir(dir_path.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    char target[64];
    std::string link = dir_path + "/" + entry->d_name;
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    unsigned long inode = 0;
    if (sscanf(target, "socket:[%lu]", &inode) != 1) continue;
    for (unsigned long wanted : inodes) found = found || inode == wanted;
    if (found) break;
  }
  closedir(dir);
  return found;
}

std::string program_of(const char* pid) {
  std::string path = std::string("/proc/") + pid + "/comm";
  FILE* f = fopen(path.c_str(), "re");
  if (f == nullptr) return "";
  char name[64] = {};
  if (fgets(name, sizeof name, f) == nullptr) name[0] = '\0';
  fclose(f);
  name[strcspn(name, "\n")] = '\0';
  return name;
}

}  // namespace

port_holder find_port_holder(uint32_t port) {
  std::vector<unsigned long> inodes;
  std::vector<unsigned long> other;
  auto number = static_cast<uint16_t>(port & 0xffff);
  for (const char* table : {"tcp", "tcp6"}) bound_inodes(table, number, inodes, other);
  if (inodes.empty()) inodes = std::move(other);
  port_holder holder;
  if (inodes.empty()) return holder;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return holder;
  int self = static_cast<int>(getpid());
  while (dirent* entry = readdir(proc)) {
    int pid = atoi(entry->d_name);
    if (pid <= 0 || pid == self || !has_socket(entry->d_name, inodes)) continue;
    holder.pid = pid;
    holder.program = program_of(entry->d_name);
    break;
  }
  closedir(proc);
  return holder;
}
