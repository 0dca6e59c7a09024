// The captioner's command line: what to caption, how, and where the subtitles go. parse() checks
// the arguments and reports the first problem as text; it touches no file and no device.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quorvel::tools {

// Exit codes of quorvel-caption, as listed in its --help.
enum CaptionExitCode : int {
  exitOk = 0,
  exitFailed = 1,            // captioning failed (start refused, session error)
  exitBadArguments = 2,      // unknown option, missing value, conflicting options
  exitFileNotFound = 3,      // the audio file does not exist or cannot be read
  exitUnknownDevice = 4,     // --input names no input of this machine
  exitModelMissing = 5,      // the locale's speech model is not installed
  exitUnsupported = 6,       // captions are not available in this build
  exitAudioUnavailable = 7,  // the audio cannot be opened or decoded, or no sound server
  exitCannotWrite = 8,       // a subtitle file cannot be written
};

struct CaptionCliOptions {
  // The file name that reads the audio from standard input.
  static constexpr const char* standardInput = "-";

  bool help = false;
  bool version = false;
  bool listInputs = false;
  std::optional<std::string> installLocale;
  std::optional<std::string> file;   // caption this file ("-": standard input)
  std::optional<std::string> input;  // caption this input (default: the system's default input)
  bool paced = true;
  std::string locale = "en-US";
  std::optional<std::string> modelDir;  // caption with this neural model directory directly
  std::vector<std::string> terms;
  bool profanityFilter = false;
  bool installIfMissing = false;
  std::optional<std::string> srtPath;
  std::optional<std::string> vttPath;
  size_t maxLineLength = 42;   // subtitle lines, in characters
  double maxCueSeconds = 7.0;  // a subtitle cue's time on screen
  bool json = false;           // one JSON object per final on standard output
  bool meter = false;
  bool verbose = false;

  bool readsStandardInput() const { return file && *file == standardInput; }

  struct Error {
    std::string message;
  };
  static std::variant<CaptionCliOptions, Error> parse(const std::vector<std::string>& args);
  static std::string usage();
};

}  // namespace quorvel::tools
