// Decoders kept between sessions: a reused decoder decodes exactly as a freshly loaded one, one
// whose dictionary was changed is never reused, a changed model is loaded anew, and a kept
// decoder is freed once its time is up.
#include "caption_engine/runtime/sphinx/sphinx_decoder_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "speech_test_support.h"
#include "tests/support/wav_file.h"

namespace quorvel::speech {
namespace {

using namespace quorvel::speech::testing;
using namespace std::chrono_literals;

const SphinxModelFiles kEnUs{kEnUsModel / "en-us", kEnUsModel / "en-us.lm.bin",
                             kEnUsModel / "cmudict-en-us.dict"};

std::vector<int16_t> librivox(const std::string& id) {
  auto wav = quorvel::support::readMonoWav(kTestData / "librivox" /
                                           ("sense_and_sensibility_01_austen_64kb-" + id + ".wav"));
  if (!wav) throw std::runtime_error("cannot read test recording " + id);
  return wav->samples;
}

// Every utterance's final words with their frames, as "word@start-end", decoded in 0.1 s chunks
// with utterances following the voice detector.
std::vector<std::string> decode(SphinxDecoder& decoder, const std::vector<int16_t>& samples) {
  std::vector<std::string> out;
  auto take = [&](const std::vector<RecognizedWord>& words) {
    for (const auto& w : words) {
      out.push_back(w.text + "@" + std::to_string(w.startFrame) + "-" + std::to_string(w.endFrame));
    }
  };
  decoder.startStream();
  bool inSpeech = false;
  for (size_t at = 0; at < samples.size(); at += 1600) {
    decoder.process(samples.data() + at, std::min<size_t>(1600, samples.size() - at));
    const bool now = decoder.inSpeech();
    inSpeech = inSpeech || now;
    if (inSpeech && !now) {
      take(decoder.endUtterance());
      decoder.startUtterance();
      inSpeech = false;
    }
  }
  take(decoder.endUtterance());
  return out;
}

// Regression: the recognizer's running cepstral means carried over from one stream to the next,
// so a decoder used again heard the next recording differently from a freshly loaded one.
TEST(SphinxDecoderPoolTest, AReusedDecoderDecodesTheNextRecordingsAsAFreshOneWould) {
  SphinxDecoderPool pool(1h);
  SphinxDecoderPool::Lease lease = pool.take(kEnUs);
  SphinxDecoder* const first = lease.decoder.get();
  // The first session biased with terms its dictionary knows, so nothing is added to it.
  ASSERT_TRUE(first->pronunciation("dashwood") && first->pronunciation("prudently"));
  first->setContext({"Dashwood", "prudently"});
  EXPECT_FALSE(decode(*first, librivox("0870")).empty());
  pool.giveBack(std::move(lease));
  ASSERT_TRUE(pool.holdsDecoder());

  for (const std::string id : {"0880", "0930"}) {
    const std::vector<int16_t> audio = librivox(id);
    SphinxDecoder fresh(kEnUs);
    const std::vector<std::string> expected = decode(fresh, audio);
    lease = pool.take(kEnUs);
    ASSERT_TRUE(lease.reused);
    ASSERT_EQ(lease.decoder.get(), first) << "the kept decoder is used again";
    EXPECT_EQ(decode(*lease.decoder, audio), expected) << id;
    pool.giveBack(std::move(lease));
  }
}

TEST(SphinxDecoderPoolTest, ADecoderWhoseDictionaryLearntAWordIsFreedNotKept) {
  SphinxDecoderPool pool(1h);
  SphinxDecoderPool::Lease lease = pool.take(kEnUs);
  lease.decoder->setContext({"Quorvelbook"});
  ASSERT_TRUE(lease.decoder->pronunciation("quorvelbook").has_value());
  EXPECT_FALSE(lease.decoder->reusable());
  pool.giveBack(std::move(lease));
  EXPECT_FALSE(pool.holdsDecoder());
  lease = pool.take(kEnUs);
  EXPECT_FALSE(lease.reused);
  EXPECT_FALSE(lease.decoder->pronunciation("quorvelbook").has_value());
}

TEST(SphinxDecoderPoolTest, AModelChangedOnDiskIsLoadedAnewAndAKeptDecoderExpires) {
  TempDir dir;
  const SphinxModelFiles files{dir.path() / "en-us", dir.path() / "en-us.lm.bin",
                               dir.path() / "cmudict-en-us.dict"};
  std::filesystem::create_directory_symlink(kEnUs.acousticModel, files.acousticModel);
  std::filesystem::create_symlink(kEnUs.languageModel, files.languageModel);
  std::filesystem::copy_file(kEnUs.dictionary, files.dictionary);

  SphinxDecoderPool pool(200ms);
  SphinxDecoderPool::Lease lease = pool.take(files);
  pool.giveBack(std::move(lease));
  ASSERT_TRUE(pool.holdsDecoder());
  // The locale installed again: the dictionary is another file now.
  std::filesystem::last_write_time(files.dictionary,
                                   std::filesystem::last_write_time(files.dictionary) + 1h);
  lease = pool.take(files);
  EXPECT_FALSE(lease.reused);
  EXPECT_FALSE(pool.holdsDecoder()) << "the stale decoder is freed";

  pool.giveBack(std::move(lease));
  EXPECT_TRUE(pool.holdsDecoder());
  EXPECT_TRUE(pool.waitUntilEmpty(30s)) << "freed once its 200 ms are up";
}

}  // namespace
}  // namespace quorvel::speech
