// Where subtitles go, written so that a user's files are safe: a path is refused when it is the
// audio being captioned or an existing file that is not a subtitle file of that format, and the
// file is only ever replaced whole, by writing a temporary file beside it and renaming it into
// place, so that an interrupted or crashed run leaves the last complete version.
//
// Threads: one thread uses a CaptionSubtitleFile. cleanUpFromSignal() alone may be called from a
// signal handler.
#pragma once

#include <optional>
#include <string>

namespace quorvel::tools {

enum class CaptionSubtitleFormat { srt, vtt };

class CaptionSubtitleFile {
 public:
  // The name of the format as users know it: "SubRip" or "WebVTT".
  static const char* formatName(CaptionSubtitleFormat format);
  // Whether the text begins as a file of the format does (a byte-order mark and, for SubRip,
  // blank lines may come first).
  static bool looksLike(const std::string& head, CaptionSubtitleFormat format);
  // Why subtitles of the format must not be written to `path`, or nothing when they may: the
  // path is the audio file (`audioPath`, when there is one), is something other than a regular
  // file, or is a file with content that is not of the format. An empty file may be replaced.
  static std::optional<std::string> refusal(const std::string& path, CaptionSubtitleFormat format,
                                            const std::optional<std::string>& audioPath);
  // Whether two paths name the same file (also through links), or would once created.
  static bool sameFile(const std::string& a, const std::string& b);

  explicit CaptionSubtitleFile(std::string path);
  ~CaptionSubtitleFile();
  CaptionSubtitleFile(const CaptionSubtitleFile&) = delete;
  CaptionSubtitleFile& operator=(const CaptionSubtitleFile&) = delete;

  const std::string& path() const { return path_; }
  // Whether a file can be made beside the target (checked by making and removing one); the
  // system's reason otherwise. Changes nothing at the path.
  std::optional<std::string> cannotWrite() const;
  // Replaces the file with `content`: written to a temporary file in the same directory, with the
  // permissions the file has (or new files get), then renamed over the path. `durable` also
  // flushes it to the disk first. On failure the file is as it was and the reason is returned.
  std::optional<std::string> replace(const std::string& content, bool durable = false);

  // Removes a temporary file that a replace() in progress has made; async-signal-safe.
  static void cleanUpFromSignal();

 private:
  std::string path_;
};

}  // namespace quorvel::tools
