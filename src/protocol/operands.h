#pragma once

// The recorder's command line, talvora-audio OUTPUT MAX_SECONDS TRANSCRIBE, and the one
// line it takes on standard input. The recorder checks its operands with these, and
// front ends check theirs with the same, so that what passes one passes the other.

#include <optional>
#include <string>
#include <string_view>

namespace talvora::protocol {

// MAX_SECONDS: the longest recording a parent may ask for.
inline constexpr double kLongestRecording = 1800;

// The C-locale parse of the duration operand: optional sign, decimal or hexadecimal
// digits, optional exponent, or the words for infinity and not-a-number. None when the
// text is empty, starts with white space, or is not consumed whole.
std::optional<double> parseDurationText(std::string_view text);

// Finite, greater than 0 and at most kLongestRecording.
bool isValidDuration(double seconds);

// The operand for `seconds`: C-locale, the shortest text parseDurationText reads back as
// exactly `seconds` ("90", "0.1", "0.001").
std::string durationOperand(double seconds);

// TRANSCRIBE: exactly this word turns transcription on; anything else leaves it off.
inline constexpr std::string_view kTranscribeOn = "true";
inline constexpr std::string_view kTranscribeOff = "false";

// OUTPUT: its extension, in any case, picks the container. The uncompressed ones hold
// 32-bit float samples as captured; .flac holds them as 24-bit integers (lossless but
// for the rounding, clipped at full scale); .opus and .ogg are both Ogg Opus, .mp3 is
// MPEG layer III, both lossy, for speech. Always mono.
enum class Container { wav, caf, aiff, w64, rf64, flac, opus, mp3 };

struct ContainerExtension {
  std::string_view extension;  // without the dot, lower case
  Container container;
};

inline constexpr ContainerExtension kContainerExtensions[] = {
    {"wav", Container::wav},   {"caf", Container::caf},   {"aif", Container::aiff},  {"aiff", Container::aiff},
    {"aifc", Container::aiff}, {"w64", Container::w64},   {"rf64", Container::rf64}, {"flac", Container::flac},
    {"opus", Container::opus}, {"ogg", Container::opus},  {"mp3", Container::mp3},
};

// The container for a path's extension; none for an extension we do not write.
std::optional<Container> containerForPath(const std::string& path);

// ".wav, .caf, .aif, .aiff, .aifc, .w64, .rf64, .flac, .opus, .ogg or .mp3", for messages.
const std::string& supportedExtensionsText();

// The error event's message for an OUTPUT whose extension picks no container.
std::string unsupportedFileType(const std::string& path);

// Standard input: this line (without its line feed, or carriage return and line feed)
// stops the recording; so does the end of input.
inline constexpr std::string_view kStopLine = "stop";

}  // namespace talvora::protocol
