// One level-meter reading: the level of one reading window and, when band analysis is on, the 13
// band levels in band order.
#pragma once

#include <vector>

namespace quorvel {

struct CaptionLevelReading {
  double levelDb = -120.0;
  std::vector<double> bandsDb;

  bool operator==(const CaptionLevelReading&) const = default;
};

}  // namespace quorvel
