#include "tools/run_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string_view>
#include <thread>

#include "test_support.h"

extern char** environ;

namespace {

std::string_view name_of(std::string_view assignment) {
  return assignment.substr(0, assignment.find('='));
}

}  // namespace

program_result run_program(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& input) {
  program_result result;
  temp_dir dir;
  std::string in_path = dir.file("stdin");
  std::string out_path = dir.file("stdout");
  std::string err_path = dir.file("stderr");
  write_file(in_path, input);

  // Everything the child needs is built before fork.
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    bool replaced = false;
    for (const std::string& change : env) replaced = replaced || name_of(change) == name_of(*e);
    if (!replaced) env_text.emplace_back(*e);
  }
  for (const std::string& change : env) {
    if (change.find('=') != std::string::npos) env_text.push_back(change);
  }
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  pid_t child = fork();
  if (child < 0) return result;
  if (child == 0) {
    int in = open(in_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (done < 0) return result;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}
