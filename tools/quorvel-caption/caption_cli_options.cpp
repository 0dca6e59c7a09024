#include "caption_cli_options.h"

#include <regex>
#include <sstream>

namespace quorvel::tools {

namespace {

std::vector<std::string> splitTerms(const std::string& list) {
  std::vector<std::string> terms;
  std::string current;
  std::istringstream in(list);
  while (std::getline(in, current, ',')) terms.push_back(current);
  return terms;
}

bool isBlank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

// A whole number from `min` to `max`, nothing else.
std::optional<long long> wholeNumber(const std::string& s, long long min, long long max) {
  if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 9) {
    return std::nullopt;
  }
  const long long v = std::stoll(s);
  if (v < min || v > max) return std::nullopt;
  return v;
}

// A number of seconds greater than 0 and at most `max`, written as digits with an optional
// fraction ("7", "2.5").
std::optional<double> positiveSeconds(const std::string& s, double max) {
  static const std::regex number("[0-9]{1,6}(\\.[0-9]{1,6})?|\\.[0-9]{1,6}");
  if (!std::regex_match(s, number)) return std::nullopt;
  const double v = std::stod(s);
  if (!(v > 0.0) || v > max) return std::nullopt;
  return v;
}

}  // namespace

std::variant<CaptionCliOptions, CaptionCliOptions::Error> CaptionCliOptions::parse(
    const std::vector<std::string>& args) {
  CaptionCliOptions o;
  auto fail = [](std::string message) { return Error{std::move(message)}; };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // Options with a value take it from the next argument or after '='.
    std::string name = a;
    std::optional<std::string> inlineValue;
    if (a.rfind("--", 0) == 0) {
      if (auto eq = a.find('='); eq != std::string::npos) {
        name = a.substr(0, eq);
        inlineValue = a.substr(eq + 1);
      }
    }
    auto value = [&](std::string& out) -> bool {
      if (inlineValue) {
        out = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    auto takesNoValue = [&] { return !inlineValue.has_value(); };

    if (name == "-h" || name == "--help") {
      o.help = true;
    } else if (name == "--version" && takesNoValue()) {
      o.version = true;
    } else if (name == "--json" && takesNoValue()) {
      o.json = true;
    } else if (name == "--max-line-length" || name == "--max-cue-seconds") {
      std::string v;
      if (!value(v)) return fail(name + " needs a value");
      if (name == "--max-line-length") {
        auto n = wholeNumber(v, 1, 1000);
        if (!n) return fail("--max-line-length needs a whole number of characters from 1 to 1000");
        o.maxLineLength = static_cast<size_t>(*n);
      } else {
        auto seconds = positiveSeconds(v, 3600.0);
        if (!seconds)
          return fail("--max-cue-seconds needs a number of seconds above 0, at most 3600");
        o.maxCueSeconds = *seconds;
      }
    } else if (name == "--list-inputs" && takesNoValue()) {
      o.listInputs = true;
    } else if (name == "--unpaced" || name == "--fast-as-decoded") {
      if (!takesNoValue()) return fail(name + " takes no value");
      o.paced = false;
    } else if (name == "--profanity-filter" && takesNoValue()) {
      o.profanityFilter = true;
    } else if (name == "--install-if-missing" && takesNoValue()) {
      o.installIfMissing = true;
    } else if (name == "--meter" && takesNoValue()) {
      o.meter = true;
    } else if (name == "--verbose" && takesNoValue()) {
      o.verbose = true;
    } else if (name == "--locale" || name == "--input" || name == "--terms" || name == "--srt" ||
               name == "--vtt" || name == "--install-locale" || name == "--file" ||
               name == "--model") {
      std::string v;
      if (!value(v)) return fail(name + " needs a value");
      if (name != "--terms" && isBlank(v)) return fail(name + " needs a non-empty value");
      if (name == "--locale") o.locale = v;
      if (name == "--input") o.input = v;
      if (name == "--terms") o.terms = splitTerms(v);
      if (name == "--srt") o.srtPath = v;
      if (name == "--vtt") o.vttPath = v;
      if (name == "--install-locale") o.installLocale = v;
      if (name == "--model") o.modelDir = v;
      if (name == "--file") {
        if (o.file) return fail("only one audio file can be captioned at a time");
        o.file = v;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      return fail("unknown option " + a);
    } else {
      if (o.file) return fail("only one audio file can be captioned at a time");
      if (isBlank(a)) return fail("the audio file name is empty");
      o.file = a;
    }
  }
  if (o.help || o.version) return o;
  if (o.file && o.input) return fail("caption either a file or an input, not both");
  if (o.listInputs && (o.file || o.input || o.installLocale)) {
    return fail("--list-inputs cannot be combined with a file, an input or --install-locale");
  }
  if (o.installLocale && (o.file || o.input)) {
    return fail("--install-locale cannot be combined with a file or an input");
  }
  if (o.srtPath && o.vttPath && *o.srtPath == *o.vttPath) {
    return fail("--srt and --vtt must name different files");
  }
  return o;
}

std::string CaptionCliOptions::usage() {
  return R"(Usage: quorvel-caption [OPTIONS] [FILE]

Live captions in the terminal. Captions an audio FILE (paced to real time unless told
otherwise), standard input (FILE -), or an audio input (the system's default input unless
--input is given). On a terminal the words being heard update in place, final lines scroll,
and a file's progress is shown; when the output is not a terminal, each final line is printed
once. Ctrl-C stops cleanly, with the subtitles written so far; a file source stops by itself
at its end. The session's figures go to standard error.

Options:
  FILE, --file FILE        caption this audio file (wav, flac, ogg, opus, mp3, m4a, ...)
  -                        caption audio read from standard input (any format FFmpeg can
                           read from a pipe); it is read to its end first, then captioned
  --unpaced, --fast-as-decoded
                           read the file as fast as it decodes instead of in real time
  --input ID               caption this input (its id as --list-inputs prints it); the
                           inputs marked "System audio" capture what the machine plays
  --list-inputs            list the audio inputs (id, label, kind; the default marked *)
  --locale LOCALE          the speech locale (default en-US)
  --model DIR              caption with the streaming sherpa-onnx model in DIR, without the
                           model store (for the --locale given)
  --terms a,b,c            contextual terms the recognizer should favour
  --profanity-filter       mask profanities
  --install-if-missing     install the locale's speech model if it is missing
  --install-locale LOCALE  install the speech model of LOCALE and exit
  --srt FILE               also write SubRip subtitles (replaced as the session goes; an
                           existing file that is not SubRip, or the audio file, is refused)
  --vtt FILE               also write WebVTT subtitles (likewise)
  --max-line-length N      subtitle lines of at most N characters (default 42)
  --max-cue-seconds S      subtitle cues of at most S seconds (default 7); cues have at
                           most two lines and are cut between words at the words' times
  --json                   print one JSON object per final line instead of its text:
                           {"text","startMs","endMs","words":[{"text","startMs","endMs"}]}
                           (words when the recognizer times them)
  --meter                  show a live input level bar with the band levels
  --verbose                print the engine's log lines and own texts on standard error
  --version                print the version and exit
  -h, --help               print this help and exit

Exit codes:
  0  done (the file ended, or Ctrl-C stopped the session)
  1  captioning failed (the start was refused or the session failed)
  2  bad arguments (also a subtitle path that would overwrite another kind of file)
  3  the audio file does not exist or cannot be read
  4  unknown input device
  5  the locale's speech model is missing (try --install-if-missing)
  6  captions are not available in this build
  7  the audio cannot be opened (unreadable format, no sound server)
  8  a subtitle file cannot be written
)";
}

}  // namespace quorvel::tools
