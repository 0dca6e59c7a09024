// The runtime on the real speech service: a read-speech recording through the file producer,
// unpaced, yields final segments whose words overlap the recording's transcription.
#include <fstream>
#include <set>
#include <sstream>

#include "caption_engine/logic/caption_text.h"
#include "caption_engine/runtime/caption_engine_core.h"
#include "tests/runtime/runtime_test_support.h"

// Debian's pocketsphinx (5prealpha) leaks the hash-table iterator of every ps_get_search call
// that finds its search; the library's own 24 bytes are not this program's leak. The library is
// built without frame pointers, so allocation stacks are unwound the slow way to name it.
extern "C" const char* __lsan_default_suppressions() { return "leak:ps_get_search\n"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace quorvel::testing {
namespace {

const char* kLibrivox = "/usr/share/pocketsphinx/test/data/librivox";

std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> out;
  for (std::string w : CaptionText::words(CaptionText::lowercased(text))) {
    std::erase_if(w, [](char c) { return c == '.' || c == ',' || c == '?' || c == '!'; });
    if (!w.empty() && w != "<s>" && w != "</s>") out.push_back(w);
  }
  return out;
}

TEST(RuntimeOnSpeechService, ARecordingProducesFinalsThatOverlapItsTranscription) {
  auto service = makeDefaultSpeechService();
  if (!service) GTEST_SKIP() << "this build has no recognizer";
  const std::string id = "sense_and_sensibility_01_austen_64kb-0870";
  const std::string wav = std::string(kLibrivox) + "/" + id + ".wav";
  std::ifstream transcription(std::string(kLibrivox) + "/transcription");
  if (!std::ifstream(wav) || !transcription) GTEST_SKIP() << "pocketsphinx-testdata is missing";
  std::string expected, line;
  while (std::getline(transcription, line)) {
    if (line.find("(" + id + ")") != std::string::npos) expected = line.substr(0, line.find('('));
  }
  ASSERT_FALSE(expected.empty());

  auto rec = std::make_shared<Recorder>();
  auto runtime =
      CaptionRuntime::make(Recorder::events(rec), std::make_shared<FakePlatform>(), service);
  CaptionsStartRequest r;
  r.sessionId = "smoke";
  r.locale = "en-US";
  r.source = CaptionAudioSource::file(wav, /*paced=*/false);
  Await<StartOutcome> started;
  runtime->start(r, started.callback());
  auto s = started.get(std::chrono::seconds(60));
  ASSERT_TRUE(s.has_value());
  ASSERT_TRUE(s->isOk()) << s->failure().message;
  EXPECT_EQ(s->value().locale, "en-US");

  // The whole file has been fed once the producer reports the end of the file.
  ASSERT_TRUE(rec->awaitCount("log [captions] file source reached EOF", 1))
      << ::testing::PrintToString(rec->lines());

  Await<StopOutcome> stopped;
  runtime->stop("smoke", stopped.callback());
  // The stop lets the recognizer finish everything queued, which takes a while on a busy machine.
  auto result = stopped.get(std::chrono::seconds(120));
  ASSERT_TRUE(result && result->isOk()) << ::testing::PrintToString(rec->lines());

  std::string heard;
  int64_t finals = 0;
  for (const auto& l : rec->matching("segment smoke ")) {
    if (l.find(" final ") == std::string::npos) continue;
    ++finals;
    heard += " " + l.substr(l.find('[') + 1, l.rfind(']') - l.find('[') - 1);
  }
  EXPECT_GE(finals, 1);
  EXPECT_EQ(result->value().finals, finals);

  const std::vector<std::string> want = words(expected);
  const std::vector<std::string> got = words(heard);
  const std::set<std::string> gotSet(got.begin(), got.end());
  size_t found = 0;
  for (const auto& w : want) found += gotSet.count(w);
  // The recognizer gets about two words in three right on this recording; half is a safe floor
  // that still fails for a session that feeds wrong audio or loses results.
  EXPECT_GE(found * 2, want.size()) << "heard:" << heard << "\nwanted: " << expected;
}

}  // namespace
}  // namespace quorvel::testing
