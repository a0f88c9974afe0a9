#include "record/file_details.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <cstdio>

namespace talvora::record {

namespace {

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

}  // namespace

std::optional<FileDetails> readFileDetails(const std::string& path, std::string* failure) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    if (failure) *failure = sf_strerror(nullptr);
    return std::nullopt;
  }
  sf_close(file);
  FileDetails details;
  details.container = formatName(info.format & SF_FORMAT_TYPEMASK);
  details.encoding = formatName(info.format & SF_FORMAT_SUBMASK);
  details.sampleRate = info.samplerate;
  details.channels = info.channels;
  details.frames = static_cast<long long>(info.frames);
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0) details.bytes = static_cast<long long>(status.st_size);
  return details;
}

std::string describe(const std::string& path, const FileDetails& details) {
  double seconds = details.sampleRate > 0 ? static_cast<double>(details.frames) / details.sampleRate : 0;
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                "Rate:      %d Hz\n"
                "Channels:  %d%s\n"
                "Frames:    %lld\n"
                "Duration:  %.3f s\n"
                "Size:      %lld bytes\n",
                details.sampleRate, details.channels, details.channels == 1 ? " (mono)" : "", details.frames, seconds,
                details.bytes);
  return "File:      " + path + "\nContainer: " + details.container + "\nEncoding:  " + details.encoding + "\n" +
         numbers;
}

}  // namespace talvora::record
