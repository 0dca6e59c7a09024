// The neural recognizer through the real helper, as a host drives it: a catalog line naming a
// fabricated streaming model, its installation with progress, the exact finals and times of a
// synthetic signal, volatiles before them, hotwords flipping the transducer's choice, terms a CTC
// model cannot take, every broken model refused with an error while the helper keeps answering,
// and the library opened only once a neural session needs it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "caption_engine/runtime/sherpa/sherpa_library.h"
#include "helper_harness.h"

namespace quorvel::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::Not;

constexpr auto kWait = 60s;

fs::path models() { return QUORVEL_SHERPA_TEST_MODELS; }

// 16-bit mono 16 kHz WAV of silence, 440 Hz and 4 kHz bursts: (hz, seconds) pairs, hz 0 silence.
void writeToneWav(const fs::path& path, const std::vector<std::pair<int, double>>& script) {
  std::vector<int16_t> pcm;
  for (auto [hz, seconds] : script) {
    const int n = static_cast<int>(std::lround(seconds * 16000));
    for (int i = 0; i < n; ++i)
      pcm.push_back(
          hz ? static_cast<int16_t>(std::lround(16384 * std::sin(2 * M_PI * hz * i / 16000.0)))
             : 0);
  }
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t bytes = static_cast<uint32_t>(pcm.size() * 2);
  out.write("RIFF", 4);
  u32(36 + bytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(1);
  u16(1);
  u32(16000);
  u32(32000);
  u16(2);
  u16(16);
  out.write("data", 4);
  u32(bytes);
  out.write(reinterpret_cast<const char*>(pcm.data()), bytes);
}

bool isEvent(const Json& m, const std::string& ev) {
  return m.value("t", "") == "evt" && m.value("ev", "") == ev;
}

std::vector<std::string> strings(const Json& a) {
  std::vector<std::string> out;
  for (const auto& v : a) out.push_back(v.get<std::string>());
  return out;
}

bool mapsSherpa(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find("libsherpa-onnx-c-api") != std::string::npos) return true;
  }
  return false;
}

class HelperSherpaE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(models() / "ctc"))
      GTEST_SKIP() << "no fabricated models (python3-onnx missing)";
    if (!speech::SherpaLibrary::available())
      GTEST_SKIP() << "the sherpa-onnx library is not installed";
    std::string pattern = (fs::temp_directory_path() / "quorvel-sherpa-XXXXXX").string();
    ASSERT_TRUE(mkdtemp(pattern.data()));
    dir_ = pattern;
    writeToneWav(dir_ / "tones.wav",
                 {{0, 0.5}, {440, 0.3}, {0, 0.2}, {4000, 0.3}, {0, 1.5}, {440, 0.3}, {0, 0.6}});
  }
  void TearDown() override {
    if (h_) {
      EXPECT_TRUE(h_->invalidLines().empty());
      for (const auto& line : h_->logs()) EXPECT_EQ(line.rfind("[helper.mac] ", 0), 0u) << line;
    }
    h_.reset();
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  fs::path store() const { return dir_ / "data" / "quorvel" / "models"; }
  void catalog(const std::string& locale, const fs::path& source) {
    fs::create_directories(store() / "catalog");
    std::ofstream(store() / "catalog" / (locale + ".json"))
        << Json{{"locale", locale}, {"engine", "sherpa"}, {"source", source.string()}}.dump();
  }
  HelperProcess& launch() {
    HelperProcess::Options o;
    o.extraEnv.push_back("XDG_DATA_HOME=" + (dir_ / "data").string());
    h_ = std::make_unique<HelperProcess>(o);
    hello_ = h_->waitForEvent("hello", kWait).value_or(Json());
    EXPECT_TRUE(h_->waitForLog("[helper.mac] quorvel caption helper ready", kWait));
    return *h_;
  }
  Json request(const std::string& id, const std::string& op, const Json& args) {
    h_->sendLine(Json{{"id", id}, {"op", op}, {"args", args}});
    return h_->waitForReply(id, kWait).value_or(Json());
  }
  // Captions the tone file in a session and returns its segments' data, in order.
  std::vector<Json> caption(const std::string& sid, const std::string& locale,
                            const Json& terms = Json::array(), bool fast = true) {
    const size_t mark = h_->messageCount();
    Json reply =
        request("start-" + sid, "captionsStart",
                {{"sessionId", sid},
                 {"locale", locale},
                 {"terms", terms},
                 {"fast", fast},
                 {"source",
                  {{"kind", "file"}, {"path", (dir_ / "tones.wav").string()}, {"paced", false}}}});
    EXPECT_EQ(reply.value("t", ""), "ack") << reply.dump();
    EXPECT_TRUE(h_->waitForEvent("captionSourceEnded", kWait, mark)) << "the file never ended";
    Json stop = request("stop-" + sid, "captionsStop", {{"sessionId", sid}});
    EXPECT_EQ(stop.value("t", ""), "ack") << stop.dump();
    std::vector<Json> out;
    const auto all = h_->messages();
    for (size_t i = mark; i < all.size(); ++i)
      if (isEvent(all[i], "captionSegment")) out.push_back(all[i]["data"]);
    return out;
  }
  static std::vector<Json> finals(const std::vector<Json>& segs) {
    std::vector<Json> out;
    for (const auto& s : segs)
      if (s["kind"] == "final")
        out.push_back(
            Json{{"text", s["text"]}, {"tStartMs", s["tStartMs"]}, {"tEndMs", s["tEndMs"]}});
    return out;
  }

  fs::path dir_;
  std::unique_ptr<HelperProcess> h_;
  Json hello_;
};

// The two tone bursts, 0.5 s and 1.0 s in, make the first utterance; the endpoint after 0.6 s of
// silence closes it; the burst at 2.8 s is the second, closed at the end of the file. Times are
// those of the model's 40 ms frames, absolute although the recognizer's restart at the endpoint.
const Json kExpectedFinals =
    Json::array({{{"text", "Hello world"}, {"tStartMs", 520}, {"tEndMs", 1040}},
                 {{"text", "Hello"}, {"tStartMs", 2800}, {"tEndMs", 2840}}});

TEST_F(HelperSherpaE2E, ACatalogLineGivesNeuralCaptionsWithExactFinalsAndTimes) {
  catalog("en-US", models() / "transducer");
  catalog("fr-FR", models() / "ctc");
  HelperProcess& h = launch();
  ASSERT_EQ(hello_["data"]["captions"]["supported"], true) << hello_.dump();
  // en-US is installed (the system's pocketsphinx model) but the neural one is not yet.
  EXPECT_THAT(strings(hello_["data"]["captions"]["installedLocales"]), Contains("en-US"));
  EXPECT_THAT(strings(hello_["data"]["captions"]["installedLocales"]), Not(Contains("fr-FR")));
  EXPECT_FALSE(mapsSherpa(h.pid())) << "the helper opened the neural library at start-up";

  const size_t mark = h.messageCount();
  Json installed = request("i1", "captionsInstallLocale", {{"locale", "en-US"}});
  EXPECT_EQ(installed, (Json{{"t", "ack"}, {"id", "i1"}, {"result", {{"installed", true}}}}));
  auto progress = h.waitForEvent("captionAssetProgress", kWait, mark);
  ASSERT_TRUE(progress);
  EXPECT_EQ((*progress)["data"], (Json{{"locale", "en-US"}, {"fraction", 0.0}, {"done", false}}));
  EXPECT_TRUE(fs::exists(store() / "en-US" / "tokens.txt"));
  EXPECT_FALSE(mapsSherpa(h.pid())) << "installing opened the neural library";

  // The neural model wins over the system's pocketsphinx model of en-US.
  std::vector<Json> segs = caption("s1", "en-US");
  EXPECT_EQ(Json(finals(segs)), kExpectedFinals);
  ASSERT_FALSE(segs.empty());
  EXPECT_EQ(segs.front()["kind"], "volatile");
  EXPECT_EQ(segs.front()["text"], "hello");
  EXPECT_TRUE(mapsSherpa(h.pid()));

  // The CTC model gives the same words; installIfMissing installs it first.
  const size_t before = h.logCount();
  Json reply = request(
      "start-s2", "captionsStart",
      {{"sessionId", "s2"},
       {"locale", "fr-FR"},
       {"installIfMissing", true},
       {"terms", {"Quorvel"}},
       {"source", {{"kind", "file"}, {"path", (dir_ / "tones.wav").string()}, {"paced", false}}}});
  ASSERT_EQ(reply.value("t", ""), "ack") << reply.dump();
  EXPECT_TRUE(h.waitForLog(
      "[helper.mac] [captions] the streaming NeMo CTC takes no hotwords; the terms are ignored by "
      "the recognizer",
      kWait, before));
  EXPECT_TRUE(h.waitForEvent("captionSourceEnded", kWait, mark));
  EXPECT_EQ(request("stop-s2", "captionsStop", {{"sessionId", "s2"}}).value("t", ""), "ack");
}

TEST_F(HelperSherpaE2E, HotwordsFlipTheTransducersChoiceAndTakeTheHostsSpelling) {
  catalog("en-GB", models() / "transducer");
  HelperProcess& h = launch();
  ASSERT_EQ(request("i", "captionsInstallLocale", {{"locale", "en-GB"}}).value("t", ""), "ack");
  // "world" is ahead of "word" by a little; the hotword's bonus turns it round, and the text is
  // spelled as the host gave the term.
  EXPECT_EQ(Json(finals(caption("s1", "en-GB", Json::array({"WoRD"})))),
            Json::array({{{"text", "Hello WoRD"}, {"tStartMs", 520}, {"tEndMs", 1040}},
                         {{"text", "Hello"}, {"tStartMs", 2800}, {"tEndMs", 2840}}}));
  EXPECT_EQ(Json(finals(caption("s2", "en-GB"))), kExpectedFinals);
  (void)h;
}

TEST_F(HelperSherpaE2E, BrokenModelsGiveErrorsAndTheHelperKeepsAnswering) {
  struct Case {
    const char* dir;
    const char* locale;
    const char* code;
  } cases[] = {
      {"missing-metadata-key", "xa-AA", "CAPTIONS_START_FAILED"},
      {"tokens-without-blank", "xb-AA", "CAPTIONS_START_FAILED"},
      {"offline-model", "xc-AA", "CAPTIONS_START_FAILED"},
      {"vocabulary-mismatch", "xd-AA", "CAPTIONS_START_FAILED"},
      {"no-model-type", "xe-AA", "CAPTIONS_START_FAILED"},
      {"unknown-model-type", "xf-AA", "CAPTIONS_START_FAILED"},
      {"encoder-missing-key", "xg-AA", "CAPTIONS_START_FAILED"},
      {"not-onnx", "xh-AA", "CAPTIONS_START_FAILED"},
      {"truncated-onnx", "xi-AA", "CAPTIONS_START_FAILED"},
      {"missing-joiner", "xj-AA", "CAPTIONS_MODEL_MISSING"},
      {"missing-tokens", "xk-AA", "CAPTIONS_MODEL_MISSING"},
      {"malformed-tokens", "xl-AA", "CAPTIONS_START_FAILED"},
  };
  for (const Case& c : cases) catalog(c.locale, models() / "broken" / c.dir);
  HelperProcess& h = launch();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dir);
    Json reply = request(std::string("b-") + c.locale, "captionsStart",
                         {{"sessionId", c.locale},
                          {"locale", c.locale},
                          {"installIfMissing", true},
                          {"source", {{"kind", "file"}, {"path", (dir_ / "tones.wav").string()}}}});
    EXPECT_EQ(reply.value("t", ""), "err") << reply.dump();
    EXPECT_EQ(reply.value("code", ""), c.code) << reply.dump();
    EXPECT_NE(reply.value("message", "").find(c.locale), std::string::npos) << reply.dump();
    Json status = request(std::string("q-") + c.locale, "captionsStatus", Json::object());
    EXPECT_EQ(status.value("t", ""), "ack") << "the helper stopped answering";
  }
  EXPECT_FALSE(h.waitForExit(0ms).has_value());
}

}  // namespace
}  // namespace quorvel::testing
