#include "support/fifo_feeder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace talvora::testing {

FifoFeeder::FifoFeeder(const PulseServer& server) : server_(server) {
  // The server holds the FIFO open for reading and writing itself, so there is always
  // a reader; but it reads only while a stream records from the source, so writes may
  // have to wait for one.
  // Non-blocking, so that a feed into a FIFO nobody reads can still be cancelled.
  fd_ = ::open(server.fifoPath().c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open the microphone FIFO " + server.fifoPath() + ": " + std::strerror(errno));
  // A microphone on its own clock hears silence whenever the FIFO runs dry: there the
  // feed is written ahead into a large pipe and the server's clock paces it.
  if (!server.microphoneWaitsForTheFeeder()) ::fcntl(fd_, F_SETPIPE_SZ, 256 << 10);
}

FifoFeeder::~FifoFeeder() {
  cancel();
  if (writer_.joinable()) writer_.join();
  if (fd_ >= 0) ::close(fd_);
}

void FifoFeeder::feed(const Audio& audio, Pace pace) {
  finish();
  const auto& options = server_.options();
  if (audio.channels != options.channels) {
    throw std::invalid_argument("feed: " + std::to_string(audio.channels) + " channels for a " +
                                std::to_string(options.channels) + "-channel microphone");
  }
  std::vector<char> bytes;
  if (options.sampleFormat == "s16le") {
    bytes.resize(audio.samples.size() * 2);
    for (size_t i = 0; i < audio.samples.size(); ++i) {
      float v = std::round(audio.samples[i] * 32768.0f);
      v = v > 32767.0f ? 32767.0f : (v < -32768.0f ? -32768.0f : v);
      const auto s = static_cast<int16_t>(v);
      bytes[2 * i] = static_cast<char>(s & 0xff);
      bytes[2 * i + 1] = static_cast<char>((s >> 8) & 0xff);
    }
  } else if (options.sampleFormat == "float32le") {
    bytes.resize(audio.samples.size() * 4);
    std::memcpy(bytes.data(), audio.samples.data(), bytes.size());  // The test machine is little-endian.
  } else {
    throw std::invalid_argument("feed: unsupported FIFO format " + options.sampleFormat);
  }
  if (!server_.microphoneWaitsForTheFeeder()) pace = Pace::asFastAsPossible;
  cancelled_ = false;
  writing_ = true;
  writer_ = std::thread([this, bytes = std::move(bytes), pace]() mutable {
    run(std::move(bytes), pace);
    writing_ = false;
  });
}

void FifoFeeder::run(std::vector<char> bytes, Pace pace) {
  const size_t frameBytes = server_.frameBytes();
  const unsigned rate = server_.options().rate;
  // 10 ms per write: small enough to look like a live source.
  const size_t chunkFrames = rate / 100 > 0 ? rate / 100 : 1;
  const size_t totalFrames = bytes.size() / frameBytes;
  const auto start = std::chrono::steady_clock::now();
  size_t frame = 0;
  while (frame < totalFrames && !cancelled_) {
    const size_t count = std::min(chunkFrames, totalFrames - frame);
    if (pace == Pace::realTime) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>(frame * 1000000.0 / rate)));
    }
    const char* data = bytes.data() + frame * frameBytes;
    size_t left = count * frameBytes;
    while (left > 0) {
      if (cancelled_) return;
      ssize_t put = ::write(fd_, data, left);
      if (put < 0 && errno == EINTR) continue;
      if (put < 0 && errno == EAGAIN) {
        pollfd writable{fd_, POLLOUT, 0};
        ::poll(&writable, 1, 20);
        continue;
      }
      if (put <= 0) {
        failure_ = std::strerror(errno);
        return;
      }
      data += put;
      left -= static_cast<size_t>(put);
    }
    frame += count;
    framesWritten_ += count;
  }
}

void FifoFeeder::finish() {
  if (writer_.joinable()) writer_.join();
  if (!failure_.empty()) throw std::runtime_error("writing to the microphone FIFO: " + failure_);
}

void FifoFeeder::cancel() { cancelled_ = true; }

uint64_t FifoFeeder::framesQueued() const {
  int queued = 0;
  if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued < 0) return 0;
  return static_cast<uint64_t>(queued) / server_.frameBytes();
}

bool FifoFeeder::waitUntilDrained(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (!writing_) {
      finish();
      int queued = 0;
      if (::ioctl(fd_, FIONREAD, &queued) != 0) return false;
      if (queued == 0) return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void expectFileHoldsTheFeed(const PulseServer& server, int64_t fileFrames, int64_t fedFrames,
                            int64_t fileFramesBefore) {
  if (server.microphoneWaitsForTheFeeder()) {
    EXPECT_EQ(fileFrames, fileFramesBefore + fedFrames);
  } else {
    EXPECT_GE(fileFrames, fileFramesBefore + fedFrames);
  }
}

}  // namespace talvora::testing
