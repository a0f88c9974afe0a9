#include "platform/sndfile/sndfile_audio_file.h"

#include <sndfile.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/audio_file_details.h"
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

class SndfileAudioFile final : public AudioFile {
 public:
  SndfileAudioFile(std::unique_ptr<FileIo> io, SNDFILE* file) : io_(std::move(io)), file_(file) {}

  ~SndfileAudioFile() override {
    // Closing rewrites the header with the final length; then the descriptor goes.
    sf_close(file_);
    ::close(io_->fd);
  }

  Status write(const float* samples, uint32_t frames) override {
    if (frames == 0) return std::nullopt;
    io_->lastErrno = 0;
    sf_count_t written = sf_writef_float(file_, samples, frames);
    if (written == static_cast<sf_count_t>(frames)) return std::nullopt;
    if (io_->lastErrno != 0) return Error{std::strerror(io_->lastErrno)};
    return Error{sf_strerror(file_)};
  }

 private:
  std::unique_ptr<FileIo> io_;
  SNDFILE* file_;
};

int sndfileContainer(protocol::Container container) {
  switch (container) {
    case protocol::Container::wav: return SF_FORMAT_WAV;
    case protocol::Container::caf: return SF_FORMAT_CAF;
    case protocol::Container::aiff: return SF_FORMAT_AIFF;
    case protocol::Container::w64: return SF_FORMAT_W64;
    case protocol::Container::rf64: return SF_FORMAT_RF64;
  }
  return 0;
}

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

class SndfileAudioFileFactory final : public AudioFileFactory {
 public:
  Result<std::unique_ptr<AudioFile>> createForWriting(const std::string& path, AudioFormat format) override {
    std::optional<protocol::Container> container = protocol::containerForPath(path);
    if (!container) return Error{protocol::unsupportedFileType(path)};
    auto io = std::make_unique<FileIo>();
    io->fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (io->fd < 0) return Error{std::strerror(errno)};

    SF_INFO info{};
    info.samplerate = static_cast<int>(format.sampleRate + 0.5);
    info.channels = 1;
    info.format = sndfileContainer(*container) | SF_FORMAT_FLOAT;
    SF_VIRTUAL_IO callbacks{&FileIo::length, &FileIo::seek, &FileIo::read, &FileIo::write, &FileIo::tell};
    io->lastErrno = 0;
    SNDFILE* file = sf_open_virtual(&callbacks, SFM_WRITE, &info, io.get());
    if (file == nullptr) {
      Error error{io->lastErrno != 0 ? std::strerror(io->lastErrno) : sf_strerror(nullptr)};
      ::close(io->fd);
      ::unlink(path.c_str());
      return error;
    }
    // Keep the header current after every write, so a recorder killed outright (or a
    // machine losing power) leaves a file that players open with what reached the disk.
    sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return std::unique_ptr<AudioFile>(new SndfileAudioFile(std::move(io), file));
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
