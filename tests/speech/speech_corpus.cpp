#include "speech_corpus.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "platform/soxr/resampler.h"

namespace talvora::testing {
namespace {

std::vector<std::string> normalisedWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text + ' ') {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '\'') {
      word += static_cast<char>(std::tolower(u));
    } else if (std::isspace(u) && !word.empty()) {
      words.push_back(std::move(word));
      word.clear();
    }
  }
  return words;
}

std::vector<float> readWav(const std::string& path, double& rate) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) throw std::runtime_error("cannot open " + path);
  if (info.channels != 1) {
    sf_close(file);
    throw std::runtime_error(path + " is not mono");
  }
  std::vector<float> samples(static_cast<size_t>(info.frames));
  const sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);
  samples.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)));
  rate = info.samplerate;
  return samples;
}

}  // namespace

std::vector<Excerpt> loadExcerpts(const std::string& folder) {
  std::ifstream ids(folder + "/fileids");
  std::ifstream transcription(folder + "/transcription");
  if (!ids || !transcription) throw std::runtime_error("no fileids or transcription in " + folder);
  // "<s> words </s> (id)"
  std::map<std::string, std::string> references;
  for (std::string line; std::getline(transcription, line);) {
    const size_t open = line.rfind('(');
    const size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    std::string text;
    std::istringstream words(line.substr(0, open));
    for (std::string word; words >> word;) {
      if (word == "<s>" || word == "</s>") continue;
      if (!text.empty()) text += ' ';
      text += word;
    }
    references[line.substr(open + 1, close - open - 1)] = text;
  }
  std::vector<Excerpt> excerpts;
  for (std::string id; std::getline(ids, id);) {
    if (id.empty()) continue;
    if (!references.count(id)) throw std::runtime_error("no transcription for " + id);
    Excerpt excerpt;
    excerpt.id = id;
    excerpt.reference = references[id];
    excerpt.samples = readWav(folder + "/" + id + ".wav", excerpt.sampleRate);
    excerpts.push_back(std::move(excerpt));
  }
  if (excerpts.empty()) throw std::runtime_error("no excerpts in " + folder);
  return excerpts;
}

std::vector<float> resample(const std::vector<float>& samples, double from, double to) {
  platform::Resampler resampler(to);
  std::vector<float> out;
  platform::Status failed = resampler.process(samples.data(), samples.size(), from, out);
  if (!failed) failed = resampler.flush(out);
  if (failed) throw std::runtime_error(failed->description);
  return out;
}

Excerpt resampled(const Excerpt& excerpt, double rate) {
  Excerpt out = excerpt;
  out.samples = resample(excerpt.samples, excerpt.sampleRate, rate);
  out.sampleRate = rate;
  return out;
}

Excerpt joined(const std::vector<Excerpt>& excerpts, double pause, int times) {
  Excerpt out;
  out.id = "joined";
  out.sampleRate = excerpts.at(0).sampleRate;
  const auto silence = static_cast<size_t>(pause * out.sampleRate);
  for (int i = 0; i < times; ++i) {
    for (const Excerpt& excerpt : excerpts) {
      if (excerpt.sampleRate != out.sampleRate) throw std::runtime_error("excerpts at different rates");
      out.samples.insert(out.samples.end(), silence, 0.0f);
      out.samples.insert(out.samples.end(), excerpt.samples.begin(), excerpt.samples.end());
      if (!out.reference.empty()) out.reference += ' ';
      out.reference += excerpt.reference;
    }
  }
  out.samples.insert(out.samples.end(), silence, 0.0f);
  return out;
}

WordErrors wordErrors(const std::string& reference, const std::string& hypothesis) {
  const std::vector<std::string> ref = normalisedWords(reference);
  const std::vector<std::string> hyp = normalisedWords(hypothesis);
  // One row of the Levenshtein table at a time.
  std::vector<size_t> previous(hyp.size() + 1);
  std::vector<size_t> row(hyp.size() + 1);
  for (size_t j = 0; j <= hyp.size(); ++j) previous[j] = j;
  for (size_t i = 1; i <= ref.size(); ++i) {
    row[0] = i;
    for (size_t j = 1; j <= hyp.size(); ++j) {
      const size_t substitution = previous[j - 1] + (ref[i - 1] == hyp[j - 1] ? 0 : 1);
      row[j] = std::min({substitution, previous[j] + 1, row[j - 1] + 1});
    }
    std::swap(previous, row);
  }
  return {previous[hyp.size()], ref.size()};
}

platform::SpeechRecognizer::ResultHandler ResultLog::handler() {
  auto self = shared_from_this();
  return [self](std::optional<platform::SpeechResult> result, std::optional<platform::Error> error) {
    std::lock_guard lock(self->mutex_);
    self->entries_.push_back({std::move(result), std::move(error), Clock::now()});
    self->changed_.notify_all();
  };
}

bool ResultLog::waitForEnd(double seconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [this] {
    return std::any_of(entries_.begin(), entries_.end(),
                       [](const Entry& e) { return e.error || (e.result && e.result->isFinal); });
  });
}

bool ResultLog::waitForCalls(size_t count, double seconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return entries_.size() >= count; });
}

std::vector<ResultLog::Entry> ResultLog::entries() {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::optional<ResultLog::Entry> ResultLog::final() {
  std::lock_guard lock(mutex_);
  for (const Entry& e : entries_) {
    if (e.result && e.result->isFinal) return e;
  }
  return std::nullopt;
}

std::optional<platform::Error> ResultLog::error() {
  std::lock_guard lock(mutex_);
  for (const Entry& e : entries_) {
    if (e.error) return e.error;
  }
  return std::nullopt;
}

void stream(platform::SpeechRecognitionRequest& request, const std::vector<float>& samples, double rate,
            size_t frames) {
  for (size_t at = 0; at < samples.size(); at += frames) {
    const size_t count = std::min(frames, samples.size() - at);
    request.append(samples.data() + at, static_cast<uint32_t>(count), rate);
  }
}

}  // namespace talvora::testing
