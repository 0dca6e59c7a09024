// Locales, the model catalog and store, installation with progress, and reservations, on a
// temporary data directory (XDG_DATA_HOME) with a relabelled copy of the en-US model.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "caption_engine/runtime/sphinx/sphinx_model_installer.h"
#include "caption_engine/runtime/sphinx/sphinx_speech_service.h"
#include "speech_test_support.h"

namespace quorvel::speech {
namespace {

using namespace quorvel::speech::testing;

class SphinxModelStoreTest : public ::testing::Test {
 protected:
  ScopedDataHome home;
  TempDir sources;
  SphinxSpeechService service;  // reads XDG_DATA_HOME at each use

  std::shared_ptr<SpeechTranscriber> transcriber(const std::string& locale) {
    return service.makeTranscriber(locale, {});
  }
  std::vector<std::string> storeEntries() {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(home.store(), ec))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(SphinxModelStoreTest, EnUsComesFromTheSystemPackage) {
  EXPECT_EQ(service.supportedLocales(), std::vector<std::string>{"en-US"});
  EXPECT_EQ(service.installedLocales(), std::vector<std::string>{"en-US"});
  for (const char* tag : {"en-US", "en_US", "EN-us", "en-US.UTF-8"}) {
    EXPECT_EQ(service.supportedLocale(tag), "en-US") << tag;
  }
  EXPECT_EQ(service.supportedLocale("en"), std::nullopt);
  EXPECT_EQ(service.supportedLocale("de-DE"), std::nullopt);
  EXPECT_EQ(service.assetInventory().assetInstallationRequest(*transcriber("en-US")), nullptr)
      << "nothing is missing for en-US";
}

TEST_F(SphinxModelStoreTest, StoreLocationIsReadAtUseTime) {
  TempDir other;
  writeCatalogEntry(other.path() / "quorvel" / "models", "fr-FR", sources.path());
  EXPECT_EQ(service.supportedLocale("fr-FR"), std::nullopt);
  setenv("XDG_DATA_HOME", other.path().c_str(), 1);
  EXPECT_EQ(service.supportedLocale("fr_fr"), "fr-FR");
  setenv("XDG_DATA_HOME", "relative/path", 1);  // not absolute: the home default applies
  EXPECT_EQ(SphinxModelStore::defaultDirectory().filename(), "models");
  EXPECT_NE(SphinxModelStore::defaultDirectory().string().find(".local/share/quorvel/models"),
            std::string::npos);
}

TEST_F(SphinxModelStoreTest, CatalogFilesAddSupportedLocalesAndBadOnesAreSkipped) {
  writeCatalogEntry(home.store(), "xx-XT", sources.path() / "xx");
  writeCatalogEntry(home.store(), "en-GB", sources.path() / "gb");
  writeText(home.store() / "catalog" / "broken.json", "{\"locale\": ");
  writeText(home.store() / "catalog" / "bad-locale.json",
            "{\"locale\": \"../evil\", \"source\": \"/tmp\"}");
  writeText(home.store() / "catalog" / "escape.json",
            "{\"locale\": \"de-DE\", \"source\": \"/tmp\", \"dictionary\": \"../../etc/passwd\"}");
  writeText(home.store() / "catalog" / "array.json", "[1, 2]");
  writeText(home.store() / "catalog" / "zz-en.json",
            "{\"locale\": \"en_us\", \"source\": \"/nowhere\"}");
  EXPECT_EQ(service.supportedLocales(), (std::vector<std::string>{"en-US", "en-GB", "xx-XT"}));
  EXPECT_EQ(service.installedLocales(), std::vector<std::string>{"en-US"});
  EXPECT_EQ(service.supportedLocale("EN_gb"), "en-GB");
}

TEST_F(SphinxModelStoreTest, InstallingCopiesTheModelWithProgressAndAtomically) {
  fs::path source = makeRelabelledEnUsSource(sources.path() / "xx");
  writeCatalogEntry(home.store(), "xx-XT", source);
  auto request = service.assetInventory().assetInstallationRequest(*transcriber("xx_xt"));
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->fractionCompleted(), 0.0);

  // Progress read from another thread while the copy runs: it only grows and stays in [0, 1].
  std::atomic<bool> done{false};
  std::vector<double> seen;
  std::jthread watcher([&] {
    while (!done.load()) {
      seen.push_back(request->fractionCompleted());
      std::this_thread::yield();
    }
  });
  try {
    request->downloadAndInstall();
  } catch (const SpeechServiceError& e) {
    ADD_FAILURE() << e.what();
  }
  done = true;
  watcher.join();

  EXPECT_EQ(request->fractionCompleted(), 1.0);
  for (size_t i = 1; i < seen.size(); ++i) {
    EXPECT_LE(seen[i - 1], seen[i]);
    EXPECT_GE(seen[i], 0.0);
    EXPECT_LE(seen[i], 1.0);
  }
  auto* installation = dynamic_cast<SphinxModelInstallation*>(request.get());
  ASSERT_NE(installation, nullptr);
  uint64_t expected =
      fs::file_size(kEnUsModel / "en-us.lm.bin") + fs::file_size(kEnUsModel / "cmudict-en-us.dict");
  for (auto& f : fs::directory_iterator(kEnUsModel / "en-us")) expected += fs::file_size(f.path());
  EXPECT_EQ(installation->bytesTotal(), expected);
  EXPECT_EQ(installation->bytesCopied(), expected);

  EXPECT_EQ(service.installedLocales(), (std::vector<std::string>{"en-US", "xx-XT"}));
  EXPECT_TRUE(fs::is_regular_file(home.store() / "xx-XT" / "model.json"));
  EXPECT_FALSE(fs::is_symlink(home.store() / "xx-XT" / "en-us.lm.bin")) << "the bytes are copied";
  EXPECT_EQ(storeEntries(), (std::vector<std::string>{"catalog", "xx-XT"}))
      << "no temporary directory is left";
  EXPECT_EQ(service.assetInventory().assetInstallationRequest(*transcriber("xx-XT")), nullptr);

  // Once installed the model stays usable without its catalog entry.
  fs::remove(home.store() / "catalog" / "xx-XT.json");
  EXPECT_EQ(service.supportedLocale("xx-xt"), "xx-XT");
  EXPECT_EQ(service.installedLocales(), (std::vector<std::string>{"en-US", "xx-XT"}));
}

TEST_F(SphinxModelStoreTest, FailedInstallationsLeaveNothingBehind) {
  struct Case {
    const char* name;
    std::function<fs::path()> makeSource;
    const char* messagePart;
  };
  const std::vector<Case> cases = {
      {"missing source", [&] { return sources.path() / "absent"; }, "No such file or directory"},
      {"unreadable file",
       [&] {
         fs::path dir = makeRelabelledEnUsSource(sources.path() / "dangling");
         fs::create_symlink(sources.path() / "gone", dir / "extra");  // a link to nothing
         return dir;
       },
       "cannot read"},
      {"incomplete model",
       [&] {
         fs::path dir = sources.path() / "partial";
         fs::create_directories(dir / "en-us");
         writeText(dir / "cmudict-en-us.dict", "a AH\n");
         return dir;
       },
       "lacks"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(home.store());
    writeCatalogEntry(home.store(), "xx-XT", c.makeSource());
    auto request = service.assetInventory().assetInstallationRequest(*transcriber("xx-XT"));
    ASSERT_NE(request, nullptr);
    try {
      request->downloadAndInstall();
      ADD_FAILURE() << "the installation succeeded";
    } catch (const SpeechServiceError& e) {
      EXPECT_NE(std::string(e.what()).find(c.messagePart), std::string::npos) << e.what();
    }
    EXPECT_EQ(service.installedLocales(), std::vector<std::string>{"en-US"});
    EXPECT_EQ(storeEntries(), std::vector<std::string>{"catalog"});
  }
  // A locale without a catalog entry cannot be requested at all.
  EXPECT_THROW(service.assetInventory().assetInstallationRequest(*transcriber("de-DE")),
               SpeechServiceError);
}

TEST_F(SphinxModelStoreTest, ReservationsPersistUpToTheMaximum) {
  for (const char* l : {"en-GB", "fr-FR", "de-DE", "es-ES"})
    writeCatalogEntry(home.store(), l, sources.path());
  AssetInventory& inventory = service.assetInventory();
  EXPECT_EQ(inventory.maximumReservedLocales(), 4);
  EXPECT_TRUE(inventory.reservedLocales().empty());
  EXPECT_TRUE(inventory.reserve("en_US"));
  EXPECT_TRUE(inventory.reserve("en-GB"));
  EXPECT_TRUE(inventory.reserve("EN-us")) << "already reserved";
  EXPECT_TRUE(inventory.reserve("fr-FR"));
  EXPECT_TRUE(inventory.reserve("de-DE"));
  EXPECT_FALSE(inventory.reserve("es-ES")) << "the list is full";
  EXPECT_THROW(inventory.reserve("pt-BR"), SpeechServiceError) << "not a supported locale";

  // Another service instance reads the same store.
  SphinxSpeechService again;
  EXPECT_EQ(again.assetInventory().reservedLocales(),
            (std::vector<std::string>{"en-US", "en-GB", "fr-FR", "de-DE"}));
  EXPECT_TRUE(again.assetInventory().release("en-US"));
  EXPECT_FALSE(again.assetInventory().release("en-US"));
  EXPECT_TRUE(inventory.reserve("es-ES"));
  EXPECT_EQ(inventory.reservedLocales(),
            (std::vector<std::string>{"en-GB", "fr-FR", "de-DE", "es-ES"}));

  // A damaged reservations file counts as empty and is rewritten by the next change.
  writeText(home.store() / "reservations.json", "not json");
  EXPECT_TRUE(inventory.reservedLocales().empty());
  EXPECT_TRUE(inventory.reserve("en-US"));
  EXPECT_EQ(inventory.reservedLocales(), std::vector<std::string>{"en-US"});
}

}  // namespace
}  // namespace quorvel::speech
