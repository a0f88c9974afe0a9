#pragma once

// Stand-ins for the recorder: small shell scripts, written per test into a private
// folder, that print scripted event lines and behave on stdin, signals and exit as the
// test needs. The client library only sees a program with three operands and pipes.

#include <functional>
#include <string>
#include <vector>

#include "client/child_process.h"

namespace talvora::client::testing {

class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

  // An executable /bin/sh script named `name` with `body`; returns its path.
  std::string script(const std::string& name, const std::string& body) const;

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// Polls for `path` (a marker a script writes) for at most a minute, a bound far beyond
// anything reached, only so that a broken run fails instead of hanging.
bool waitForFile(const std::string& path);

// A program run to completion: its exit status (-1 if a signal ended it, `signal`) and
// what it wrote on each stream.
struct Run {
  int status = -1;
  int signal = 0;
  std::string out;
  std::string err;
};

// Runs `argv` with `environment` ("NAME=value") added, standard input from `input` (or
// /dev/null when empty); calls `whileRunning` once it has started, then waits for it.
Run runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& input = "", const std::function<void(ChildProcess&)>& whileRunning = {});

}  // namespace talvora::client::testing
