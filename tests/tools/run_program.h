// Runs a program to its end the way an operator's shell would, and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct program_result {
  int status = -1;  // exit status; 128 + signal for a death by signal; -1 when it did not run
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs argv[0] (a path) with the arguments that follow. `env` changes the environment of this
// process for the child: "NAME=value" sets a variable, "NAME" alone removes it. `input` is the
// child's standard input. A program still running after 60 seconds is killed.
program_result run_program(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env = {}, const std::string& input = "");
