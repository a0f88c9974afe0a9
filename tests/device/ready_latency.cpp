// How long the recorder takes from process start to its "ready" line against a private
// PulseAudio server: the permission round trip, the connection, the source's format,
// voice processing set-up, the file and the record stream. Prints every run and the
// median.
//
//   ready_latency [RUNS]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "support/pulse_server.h"
#include "support/recorder_process.h"

using namespace talvora::testing;
using namespace std::chrono_literals;

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
  try {
    PulseServer server;
    std::vector<double> milliseconds;
    for (int i = 0; i < runs; ++i) {
      const std::string path = server.directory() + "/latency.wav";
      RecorderOptions options;
      options.operands = {path, "60", "false"};
      options.environment = server.clientEnvironment();
      options.workingDirectory = server.directory();
      RecorderProcess recorder(std::move(options));
      recorder.waitForEvent("ready", 15s);
      const auto& times = recorder.eventTimes();
      const double ms = std::chrono::duration<double, std::milli>(times.back() - recorder.startedAt()).count();
      milliseconds.push_back(ms);
      std::printf("run %d: %.1f ms\n", i + 1, ms);
      recorder.sendStop();
      recorder.waitForEvent("finished", 15s);
      recorder.waitForExit(15s);
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    const size_t n = milliseconds.size();
    const double median = n % 2 ? milliseconds[n / 2] : (milliseconds[n / 2 - 1] + milliseconds[n / 2]) / 2;
    std::printf("median of %zu runs: %.1f ms (min %.1f, max %.1f)\n", n, median, milliseconds.front(), milliseconds.back());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
