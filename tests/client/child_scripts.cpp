#include "child_scripts.h"

#include <sys/stat.h>
#include <sys/wait.h>
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
               const std::string& input) {
  ScratchFolder folder;
  std::ofstream(folder.file("in")) << input;
  // The shell does the redirections; every argument is quoted for it.
  auto quote = [](const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  };
  std::string command = "exec env";
  for (const auto& variable : environment) command += " " + quote(variable);
  for (const auto& argument : argv) command += " " + quote(argument);
  command += " <" + (input.empty() ? std::string("/dev/null") : quote(folder.file("in")));
  command += " >" + quote(folder.file("out")) + " 2>" + quote(folder.file("err"));
  int status = std::system(command.c_str());
  Run run;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = readFile(folder.file("out"));
  run.err = readFile(folder.file("err"));
  return run;
}

}  // namespace talvora::client::testing
