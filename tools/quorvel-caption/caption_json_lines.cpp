#include "caption_json_lines.h"

#include <nlohmann/json.hpp>

namespace quorvel::tools::CaptionJsonLines {

std::string final(const CaptionSegmentEvent& segment) {
  nlohmann::ordered_json line;
  line["text"] = segment.text;
  line["startMs"] = segment.tStartMs;
  line["endMs"] = segment.tEndMs;
  if (!segment.words.empty()) {
    nlohmann::ordered_json words = nlohmann::ordered_json::array();
    for (const CaptionWord& w : segment.words) {
      words.push_back({{"text", w.text}, {"startMs", w.tStartMs}, {"endMs", w.tEndMs}});
    }
    line["words"] = std::move(words);
  }
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace quorvel::tools::CaptionJsonLines
