// The neural recognizer's analyzer on fabricated models with known answers: finals and their
// times across endpoints, volatiles and their throttle, the forced final of long speech,
// hotwords flipping the transducer's choice, and the ABI of our declarations.
#include <gtest/gtest.h>

#include <variant>

#include "caption_engine/runtime/sherpa/sherpa_analyzer.h"
#include "caption_engine/runtime/sherpa/sherpa_model.h"
#include "sherpa_test_support.h"

namespace quorvel::speech {
namespace {

using namespace quorvel::speech::testing;

SherpaModel model(const std::string& name) {
  auto m = inspectSherpaModel(fabricatedModels() / name);
  if (auto* p = std::get_if<SherpaModelProblem>(&m)) throw std::runtime_error(p->message);
  return std::get<SherpaModel>(m);
}

struct Heard {
  std::vector<SpeechResult> results;
  std::vector<SpeechResult> finals() const {
    std::vector<SpeechResult> out;
    for (auto& r : results)
      if (r.isFinal) out.push_back(r);
    return out;
  }
};

Heard run(SherpaAnalyzer& a, const ToneScript& script, size_t chunk = 1600, bool finish = true) {
  Heard out;
  a.start();
  for (const PcmBuffer& b : floatBuffers(script.samples(), chunk)) {
    for (auto& r : a.analyze(b)) out.results.push_back(r);
  }
  if (finish)
    for (auto& r : a.finish()) out.results.push_back(r);
  return out;
}

TranscriberOptions volatiles(bool fast) {
  TranscriberOptions o;
  o.volatileResults = true;
  o.fastResults = fast;
  o.audioTimeRange = true;
  return o;
}

void dump(const Heard& r) {
  for (auto& x : r.results) {
    std::printf("%s [%.3f +%.3f] '%s' words:", x.isFinal ? "F" : "v", x.rangeStartSeconds,
                x.rangeDurationSeconds, x.text.c_str());
    for (auto& w : x.words) std::printf(" %s@%.3f+%.3f", w.text.c_str(), w.startSeconds, w.durationSeconds);
    std::printf("\n");
  }
}

TEST(SherpaRecognition, Explore) {
  QUORVEL_REQUIRE_SHERPA();
  const SherpaLibrary* lib = SherpaLibrary::get(nullptr);
  for (const char* name : {"ctc", "transducer"}) {
    SherpaAnalyzer a(*lib, model(name), "en-US", volatiles(true));
    ToneScript s;
    s.silence(0.5).low(0.3).silence(0.2).high(0.3).silence(1.5).low(0.3).silence(0.3);
    Heard r = run(a, s);
    std::printf("== %s\n", name);
    dump(r);
  }
}

}  // namespace
}  // namespace quorvel::speech
