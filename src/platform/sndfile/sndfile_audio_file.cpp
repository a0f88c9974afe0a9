#include "platform/sndfile/sndfile_audio_file.h"

#include <sndfile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/audio_file_details.h"
#include "platform/soxr/resampler.h"
#include "protocol/operands.h"

namespace talvora::platform {
namespace {

// libsndfile does its own I/O through these callbacks, so that a failing write keeps
// the operating system's own description (a full disk, a file-size limit) instead of
// libsndfile's rewording of it.
struct FileIo {
  int fd = -1;
  int lastErrno = 0;

  static sf_count_t length(void* user) {
    auto* io = static_cast<FileIo*>(user);
    struct stat info {};
    if (fstat(io->fd, &info) != 0) return -1;
    return info.st_size;
  }
  static sf_count_t seek(sf_count_t offset, int whence, void* user) {
    auto* io = static_cast<FileIo*>(user);
    off_t at = lseek(io->fd, offset, whence);
    if (at < 0) io->lastErrno = errno;
    return at;
  }
  static sf_count_t read(void* data, sf_count_t count, void* user) {
    auto* io = static_cast<FileIo*>(user);
    sf_count_t done = 0;
    while (done < count) {
      ssize_t got = ::read(io->fd, static_cast<char*>(data) + done, static_cast<size_t>(count - done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += got;
    }
    return done;
  }
  static sf_count_t write(const void* data, sf_count_t count, void* user) {
    auto* io = static_cast<FileIo*>(user);
    sf_count_t done = 0;
    while (done < count) {
      ssize_t put = ::write(io->fd, static_cast<const char*>(data) + done, static_cast<size_t>(count - done));
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) {
        io->lastErrno = errno;
        break;
      }
      if (put == 0) {
        io->lastErrno = ENOSPC;
        break;
      }
      done += put;
    }
    return done;
  }
  static sf_count_t tell(void* user) {
    auto* io = static_cast<FileIo*>(user);
    return lseek(io->fd, 0, SEEK_CUR);
  }
};

// How a container is written: libsndfile's format, the encoder's settings, and the rates
// the codec takes. The settings are for speech and are stated in the manual page.
struct Encoding {
  int format = 0;
  // libsndfile's 0 to 1 scale, where the codec has one (none: < 0). For FLAC it picks
  // the effort (0.625 is libFLAC's level 5, its default); for Opus and MP3 the bit rate.
  double compressionLevel = -1;
  // Ogg Opus: an Ogg page at least this often, so a recorder killed outright loses at
  // most this much of what it was given (the encoder otherwise fills pages of up to a
  // second).
  double pageLatencyMs = 0;
  bool constantBitRate = false;
  // The rates the codec takes; empty: any. Another rate is converted to the first.
  std::vector<int> rates;
  // Uncompressed samples: the header can be rewritten after every write.
  bool pcm = false;
};

Encoding encodingFor(protocol::Container container) {
  Encoding encoding;
  switch (container) {
    case protocol::Container::wav: encoding.format = SF_FORMAT_WAV; break;
    case protocol::Container::caf: encoding.format = SF_FORMAT_CAF; break;
    case protocol::Container::aiff: encoding.format = SF_FORMAT_AIFF; break;
    case protocol::Container::w64: encoding.format = SF_FORMAT_W64; break;
    case protocol::Container::rf64: encoding.format = SF_FORMAT_RF64; break;
    case protocol::Container::flac:
      encoding.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
      encoding.compressionLevel = 0.625;
      return encoding;
    case protocol::Container::opus:
      // 0.864 is 40 kbit/s (the scale runs from 256 down to 6 kbit/s), variable: 0.3 MB
      // a minute, and the recognizer still does nearly as well on it as on the float
      // original (32 kbit/s cost it a point and a half more; docs/benchmarks.md).
      encoding.format = SF_FORMAT_OGG | SF_FORMAT_OPUS;
      encoding.compressionLevel = 0.864;
      encoding.pageLatencyMs = 500;
      encoding.rates = {48000, 24000, 16000, 12000, 8000};
      return encoding;
    case protocol::Container::mp3:
      // 0.88 is 64 kbit/s, constant: a variable rate would need the Xing header that
      // only the close writes, and readers take a file without it for a much shorter one.
      encoding.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
      encoding.compressionLevel = 0.88;
      encoding.constantBitRate = true;
      encoding.rates = {48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
      return encoding;
  }
  encoding.format |= SF_FORMAT_FLOAT;
  encoding.pcm = true;
  return encoding;
}

class SndfileAudioFile final : public AudioFile {
 public:
  SndfileAudioFile(std::unique_ptr<FileIo> io, SNDFILE* file, double inputRate, std::unique_ptr<Resampler> resampler)
      : io_(std::move(io)), file_(file), inputRate_(inputRate), resampler_(std::move(resampler)) {}

  ~SndfileAudioFile() override {
    // What the resampler's filter still holds belongs at the end; then closing completes
    // the stream (the header's final length, FLAC's sample count, the last Ogg page, the
    // encoder's last MP3 frames) and the descriptor goes. A failure here has nobody left
    // to hear it: the write that failed first was reported.
    if (resampler_) {
      converted_.clear();
      if (resampler_->flush(converted_) == std::nullopt) writeFrames(converted_.data(), converted_.size());
    }
    sf_close(file_);
    ::close(io_->fd);
  }

  Status write(const float* samples, uint32_t frames) override {
    if (frames == 0) return std::nullopt;
    if (!resampler_) return writeFrames(samples, frames);
    converted_.clear();
    if (Status failed = resampler_->process(samples, frames, inputRate_, converted_)) return failed;
    return writeFrames(converted_.data(), converted_.size());
  }

 private:
  Status writeFrames(const float* samples, size_t frames) {
    if (frames == 0) return std::nullopt;
    io_->lastErrno = 0;
    sf_count_t written = sf_writef_float(file_, samples, static_cast<sf_count_t>(frames));
    // An encoder writes whole pages or frames when it has them, and not every one tells
    // libsndfile that the write failed: the callbacks' own record is the one to trust.
    if (io_->lastErrno != 0) return Error{std::strerror(io_->lastErrno)};
    if (written == static_cast<sf_count_t>(frames)) return std::nullopt;
    return Error{sf_strerror(file_)};
  }

  std::unique_ptr<FileIo> io_;
  SNDFILE* file_;
  const double inputRate_;
  std::unique_ptr<Resampler> resampler_;  // only where the codec refuses the input's rate
  std::vector<float> converted_;
};

// libsndfile's own name for a container or encoding.
std::string formatName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || info.name == nullptr) {
    char text[32];
    std::snprintf(text, sizeof text, "format 0x%x", format);
    return text;
  }
  return info.name;
}

// The encoder's settings; libsndfile takes them only before the first write.
void configure(SNDFILE* file, const Encoding& encoding) {
  if (encoding.pcm) {
    // Keep the header current after every write, so a recorder killed outright (or a
    // machine losing power) leaves a file that players open with what reached the disk.
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return;
  }
  // Float to integer samples: rounded, and clipped at full scale instead of wrapping.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  if (encoding.constantBitRate) {
    int mode = SF_BITRATE_MODE_CONSTANT;
    sf_command(file, SFC_SET_BITRATE_MODE, &mode, sizeof mode);
  }
  if (encoding.compressionLevel >= 0) {
    double level = encoding.compressionLevel;
    sf_command(file, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
  }
  if (encoding.pageLatencyMs > 0) {
    double latency = encoding.pageLatencyMs;
    sf_command(file, SFC_SET_OGG_PAGE_LATENCY_MS, &latency, sizeof latency);
  }
}

class SndfileAudioFileFactory final : public AudioFileFactory {
 public:
  Result<std::unique_ptr<AudioFile>> createForWriting(const std::string& path, AudioFormat format) override {
    std::optional<protocol::Container> container = protocol::containerForPath(path);
    if (!container) return Error{protocol::unsupportedFileType(path)};
    const Encoding encoding = encodingFor(*container);
    const int inputRate = static_cast<int>(format.sampleRate + 0.5);
    int fileRate = inputRate;
    std::unique_ptr<Resampler> resampler;
    if (!encoding.rates.empty() &&
        std::find(encoding.rates.begin(), encoding.rates.end(), inputRate) == encoding.rates.end()) {
      fileRate = encoding.rates.front();
      resampler = std::make_unique<Resampler>(fileRate);
    }

    auto io = std::make_unique<FileIo>();
    io->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (io->fd < 0) return Error{std::strerror(errno)};

    SF_INFO info{};
    info.samplerate = fileRate;
    info.channels = 1;
    info.format = encoding.format;
    SF_VIRTUAL_IO callbacks{&FileIo::length, &FileIo::seek, &FileIo::read, &FileIo::write, &FileIo::tell};
    io->lastErrno = 0;
    SNDFILE* file = sf_open_virtual(&callbacks, SFM_WRITE, &info, io.get());
    if (file == nullptr) {
      Error error{io->lastErrno != 0 ? std::strerror(io->lastErrno) : sf_strerror(nullptr)};
      ::close(io->fd);
      ::unlink(path.c_str());
      return error;
    }
    configure(file, encoding);
    return std::unique_ptr<AudioFile>(
        new SndfileAudioFile(std::move(io), file, format.sampleRate, std::move(resampler)));
  }
};

}  // namespace

std::optional<AudioFileDetails> readAudioFileDetails(const std::string& path, std::string* failure) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    if (failure) *failure = sf_strerror(nullptr);
    return std::nullopt;
  }
  sf_close(file);
  AudioFileDetails details;
  details.container = formatName(info.format & SF_FORMAT_TYPEMASK);
  details.encoding = formatName(info.format & SF_FORMAT_SUBMASK);
  details.sampleRate = info.samplerate;
  details.channels = info.channels;
  details.frames = static_cast<long long>(info.frames);
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) details.bytes = static_cast<long long>(status.st_size);
  return details;
}

std::shared_ptr<AudioFileFactory> makeSndfileAudioFileFactory() {
  return std::make_shared<SndfileAudioFileFactory>();
}

}  // namespace talvora::platform
