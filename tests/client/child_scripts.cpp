#include "child_scripts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace talvora::client::testing {

ScratchFolder::ScratchFolder() {
  std::string pattern = "/tmp/talvora-client-XXXXXX";
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchFolder::script(const std::string& name, const std::string& body) const {
  std::string path = file(name);
  std::ofstream(path) << "#!/bin/sh\n" << body;
  ::chmod(path.c_str(), 0755);
  return path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool fileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool waitForFile(const std::string& path) {
  for (int i = 0; i < 6000; ++i) {
    if (fileExists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

Run runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
               const std::string& input, const std::function<void(ChildProcess&)>& whileRunning) {
  ScratchFolder folder;
  std::ofstream(folder.file("in")) << input;
  ChildOptions options;
  options.argv = argv;
  for (const auto& variable : environment) {
    auto equals = variable.find('=');
    options.environment.emplace_back(variable.substr(0, equals), variable.substr(equals + 1));
  }
  // Files, not pipes: nothing has to read them while the program runs.
  int in = input.empty() ? -1 : ::open(folder.file("in").c_str(), O_RDONLY | O_CLOEXEC);
  int out = ::open(folder.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int err = ::open(folder.file("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (in >= 0) options.input = ChildStream::descriptor(in);
  options.output = ChildStream::descriptor(out);
  options.error = ChildStream::descriptor(err);
  ChildExit exit;
  {
    ChildProcess child(options);
    for (int fd : {in, out, err}) {
      if (fd >= 0) ::close(fd);
    }
    if (whileRunning) whileRunning(child);
    // Bounded like waitForFile; one still running after that is killed with the object.
    exit = child.waitFor(std::chrono::minutes(1)).value_or(ChildExit{});
  }
  Run run;
  run.status = exit.exited ? exit.status : -1;
  run.signal = exit.signal;
  run.out = readFile(folder.file("out"));
  run.err = readFile(folder.file("err"));
  return run;
}

}  // namespace talvora::client::testing
