// Standard input is whatever the parent writes: any bytes, in any pieces, lines of any
// length, carriage returns, no final line feed. The reader must hand over exactly the
// lines a plain reference split gives, stop at the first "stop", and never hold more
// than about one line limit of memory however long a line runs.
#include <sanitizer/allocator_interface.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/stop_listener.h"
#include "fuzz_check.h"

namespace {

using talvora::cli::isStopLine;
using talvora::cli::LineReader;

// Bytes allocated and not yet freed while `tracking` is on, and the most there were.
// The hooks see every allocation of the process; only the reader runs while tracking.
bool tracking = false;
long long liveBytes = 0;
long long peakBytes = 0;

void onMalloc(const volatile void*, size_t size) {
  if (!tracking) return;
  liveBytes += static_cast<long long>(size);
  peakBytes = std::max(peakBytes, liveBytes);
}

void onFree(const volatile void* pointer) {
  if (!tracking || !pointer) return;
  liveBytes -= static_cast<long long>(__sanitizer_get_allocated_size(const_cast<const void*>(pointer)));
}

struct Expected {
  std::vector<std::string> lines;  // what the reader hands over, up to and with the first "stop"
  bool stopped = false;            // a complete "stop" line, which ends the feeding
  size_t stopEnd = 0;              // offset just past that line's line feed
};

// Split on '\n', drop one trailing '\r', and drop whole any line whose bytes (its '\r'
// included) exceed the limit. A last piece without a line feed is a line when not empty.
Expected reference(std::string_view bytes, size_t limit) {
  Expected expected;
  size_t start = 0;
  while (true) {
    size_t end = bytes.find('\n', start);
    bool complete = end != std::string_view::npos;
    std::string_view raw = bytes.substr(start, complete ? end - start : std::string_view::npos);
    if ((complete || !raw.empty()) && raw.size() <= limit) {
      if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
      expected.lines.emplace_back(raw);
      if (complete && isStopLine(expected.lines.back())) {
        expected.stopped = true;
        expected.stopEnd = end + 1;
        return expected;
      }
    }
    if (!complete) return expected;
    start = end + 1;
  }
}

uint64_t hashOf(std::string_view bytes) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ull;
  return hash;
}

enum class Chunking { Whole, ByteByByte, Random };

void check(std::string_view bytes, size_t limit, Chunking chunking) {
  Expected expected = reference(bytes, limit);

  size_t index = 0;
  bool mismatch = false;
  // Compares in place: storing the lines would count against the reader's memory.
  std::function<bool(const std::string&)> onLine = [&](const std::string& line) {
    if (index >= expected.lines.size() || expected.lines[index] != line) mismatch = true;
    ++index;
    return !isStopLine(line);
  };

  uint64_t random = hashOf(bytes) | 1;
  size_t offset = 0;
  bool stoppedAt = false;
  size_t stopChunkStart = 0;

  liveBytes = peakBytes = 0;
  tracking = true;
  {
    LineReader reader(limit);
    while (offset < bytes.size()) {
      size_t piece = bytes.size() - offset;
      if (chunking == Chunking::ByteByByte) piece = 1;
      if (chunking == Chunking::Random) {
        random ^= random << 13, random ^= random >> 7, random ^= random << 17;
        piece = std::min<size_t>(piece, 1 + random % (2 * limit + 3));
      }
      bool keepGoing = reader.feed(bytes.data() + offset, piece, onLine);
      if (!keepGoing) {
        stoppedAt = true;
        stopChunkStart = offset;
        offset += piece;
        break;
      }
      offset += piece;
    }
    if (!stoppedAt) reader.finish(onLine);
  }
  tracking = false;

  FUZZ_CHECK(!mismatch);
  FUZZ_CHECK(index == expected.lines.size());
  FUZZ_CHECK(stoppedAt == expected.stopped);
  if (stoppedAt) {
    // The piece that returned false is the one holding the stop line's line feed.
    FUZZ_CHECK(stopChunkStart < expected.stopEnd && expected.stopEnd <= offset);
  }
  // The held line grows like any string, doubling its buffer, and for a moment holds the
  // old buffer beside the new one: under three times the limit, plus the small-string
  // size, however long the input runs.
  FUZZ_CHECK(peakBytes <= static_cast<long long>(3 * limit + 64));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // Limits around the length of "stop" and "stop\r", tiny ones, and the real default.
  for (size_t limit : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{5}, size_t{6}, size_t{64}, size_t{4096}}) {
    for (Chunking chunking : {Chunking::Whole, Chunking::ByteByByte, Chunking::Random}) check(bytes, limit, chunking);
  }
  return 0;
}
