#pragma once

// A program started as a child process with its standard streams connected as asked:
// the one way this project starts programs. The client library starts the recorder with
// it; the tests start everything they run with it (the recorder under test, sound
// servers, pactl, talvora-record).
//
// Threads: the process may be signalled (kill), written to and waited for from any
// thread; kill() never reaches another process that got the pid after this one was
// reaped. Reading output() and error() is up to one reader each.

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talvora::client {

// How one of the child's standard streams is connected.
struct ChildStream {
  enum class Kind { devNull, pipe, descriptor };
  Kind kind = Kind::devNull;
  int fd = -1;  // descriptor: ours, duplicated into the child and left open here

  static ChildStream devNull() { return {}; }
  static ChildStream pipe() { return {Kind::pipe, -1}; }
  static ChildStream descriptor(int fd) { return {Kind::descriptor, fd}; }
};

struct ChildOptions {
  // The program, then its arguments. A program name without a slash is looked up on the
  // PATH of the child's environment.
  std::vector<std::string> argv;
  // Variables set (or replaced) on top of this process's environment; with
  // inheritEnvironment false, the child's whole environment.
  std::vector<std::pair<std::string, std::string>> environment;
  bool inheritEnvironment = true;
  ChildStream input;
  ChildStream output;
  ChildStream error;
  // Empty: this process's.
  std::string workingDirectory;
  // Run as this group (with no supplementary groups) and this user.
  std::optional<gid_t> gid;
  std::optional<uid_t> uid;
  // A process group of its own, so that a terminal's Ctrl-C reaches only this process.
  bool separateProcessGroup = false;
  // The signal mask is always empty in the child. With this, the signals that stop or
  // end a program (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT) and SIGCHLD also get their
  // default action whatever this process ignores; without it ignored ones stay ignored,
  // as exec leaves them.
  bool defaultSignals = true;
  // SIGKILL for the child when the thread that started it ends (a server a test starts
  // must not outlive a test killed by its timeout).
  bool dieWithThread = false;
};

// How a child ended.
struct ChildExit {
  bool exited = false;  // it exited with `status`; otherwise a signal ended it
  int status = -1;
  int signal = 0;       // 0 when neither is known (SIGCHLD ignored, or reaped elsewhere)

  // The shell's convention: the exit status, or 128 + the signal.
  int code() const { return exited ? status : 128 + signal; }
};

class ChildProcess {
 public:
  // Starts the program. Throws std::system_error with the reason (ENOENT, EACCES, …)
  // when it cannot run: not found, not executable, a working directory or user it
  // cannot have, out of descriptors.
  explicit ChildProcess(const ChildOptions& options);
  // Kills (SIGKILL) and reaps a child that is still running, and closes our ends.
  ~ChildProcess();

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Our ends of the child's output and error pipes; -1 when not a pipe, or closed.
  int output() const { return output_; }
  int error() const { return error_; }
  void closeOutput();
  void closeError();

  // Writes all of `bytes` to the child's input pipe. False, with errno set, when it
  // cannot (closed here, or the child closed its end: EPIPE). SIGPIPE never reaches the
  // process: a library must not change the disposition behind the application's back,
  // and a pipe has no MSG_NOSIGNAL, so the write blocks SIGPIPE in the calling thread
  // only, and takes the signal its failed write raised off the thread's pending set
  // before restoring the mask. The application's own SIGPIPE handling stays as it was.
  bool write(std::string_view bytes);
  // Writes `last` (when not empty) and closes the input, once; nothing after that.
  void closeInput(std::string_view last = {});

  // Sends `signal` unless the child has exited.
  void kill(int signal);

  // Readable once the child has exited (a pidfd); -1 where the kernel has none.
  int exitDescriptor() const { return pidfd_; }
  // Whether the child has exited, without waiting.
  bool hasExited();
  // Waits for the child to exit and reaps it; the same answer on every later call.
  ChildExit wait();
  // The same, giving up after `timeout`: none while it still runs.
  std::optional<ChildExit> waitFor(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int output_ = -1;
  int error_ = -1;

  std::mutex inputMutex_;
  int input_ = -1;

  // kill() signals only while `exiting_` is false, under this lock, and it is set before
  // the child is reaped: so a signal can never reach a recycled process id.
  std::mutex signalMutex_;
  bool exiting_ = false;

  std::mutex reapMutex_;  // one reaper at a time; guards exit_
  std::optional<ChildExit> exit_;
};

// A regular file this process may execute.
bool isExecutableFile(const std::string& path);

// The first executable file called `name` in the folders of `searchPath` (a PATH value;
// an empty entry is the current folder); none when there is none.
std::optional<std::string> findOnPath(const std::string& name, std::string_view searchPath);

}  // namespace talvora::client
