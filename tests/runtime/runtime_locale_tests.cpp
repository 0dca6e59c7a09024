// Locales and models: locale matching, model installation with progress, reservations, and the
// capabilities probe with its cache and bounded wait.
#include "tests/runtime/runtime_test_support.h"

namespace quorvel::testing {
namespace {

CaptionRuntimeOutcome<bool> install(CaptionRuntimeImpl& runtime, const std::string& locale) {
  Await<CaptionRuntimeOutcome<bool>> done;
  runtime.installLocale(locale, done.callback());
  auto o = done.get();
  if (!o) throw std::runtime_error("installLocale did not complete");
  return *o;
}

bool reserve(CaptionRuntimeImpl& runtime, const std::string& locale) {
  Await<bool> done;
  runtime.reserveLocale(locale, done.callback());
  auto o = done.get();
  if (!o) throw std::runtime_error("reserveLocale did not complete");
  return *o;
}

TEST_F(RuntimeTest, LocaleTagsResolveByCaseThenLanguageInTheServicesOrder) {
  service->setSupported({"fr-FR", "en-GB", "en-US", "de"});
  service->setInstalled({"fr-FR", "en-GB", "en-US", "de"});
  service->setEquivalent("english", "en-US");
  struct Case {
    std::string tag, resolved;
  };
  const Case cases[] = {
      {"EN-us", "en-US"},    // first pass: lower-cased identifiers
      {"en_US", "en-US"},    // the underscore spelling
      {"en-ZZ", "en-GB"},    // unknown region: first "en-" locale in the service's order
      {"de-AT", "de"},       // a bare language
      {"english", "en-US"},  // the service's own equivalence comes first
  };
  for (const Case& c : cases) {
    rec = std::make_shared<Recorder>();
    runtime = make();
    auto o = install(*runtime, c.tag);
    ASSERT_TRUE(o.isOk()) << c.tag;
    EXPECT_TRUE(o.value());
    // Nothing is missing: exactly two progress events, under the resolved identifier.
    EXPECT_EQ(rec->matching("progress "),
              (std::vector<std::string>{"progress " + c.resolved + " 0.00 running error=-",
                                        "progress " + c.resolved + " 1.00 done error=-"}))
        << c.tag;
  }
}

TEST_F(RuntimeTest, InstallingAnUnsupportedLocaleFailsWithItsProgressNotice) {
  auto o = install(*runtime, "tlh-QO");
  ASSERT_FALSE(o.isOk());
  const std::string message = "locale tlh-QO is not one SpeechTranscriber supports on this Mac";
  EXPECT_EQ(o.failure().code, CaptionRuntimeErrorCode::captionsModelMissing);
  EXPECT_EQ(o.failure().message, message);
  EXPECT_EQ(o.failure().context,
            Json::parse(R"({"reason":"unsupported_locale","locale":"tlh-QO"})"));
  EXPECT_EQ(o.failure().state, CaptionState::modelMissing);
  EXPECT_EQ(rec->lines(), (std::vector<std::string>{"progress tlh-QO 0.00 done error=" + message}));
}

TEST_F(RuntimeTest, AFailedInstallationReportsTheErrorAndKeepsTheCache) {
  service->setInstallMode(FakeSpeechService::InstallMode::requestFails, "network down");
  const auto before = runtime->capabilities();
  auto o = install(*runtime, "fr-FR");
  ASSERT_FALSE(o.isOk());
  EXPECT_EQ(o.failure().message, "installing fr-FR assets failed: network down");
  EXPECT_EQ(o.failure().context, Json::parse(R"({"locale":"fr-FR"})"));
  EXPECT_EQ(rec->matching("progress ").back(), "progress fr-FR 0.00 done error=network down");
  EXPECT_EQ(runtime->capabilities(0), before);

  service->setInstallMode(FakeSpeechService::InstallMode::inventoryFails, "catalog unavailable");
  o = install(*runtime, "fr-FR");
  ASSERT_FALSE(o.isOk());
  EXPECT_EQ(o.failure().message, "installing fr-FR assets failed: catalog unavailable");
}

TEST_F(RuntimeTest, ASuccessfulInstallationShowsInTheNextCapabilities) {
  const auto before = runtime->capabilities();
  EXPECT_TRUE(before.supported);
  EXPECT_EQ(before.supportedLocales, (std::vector<std::string>{"en-GB", "en-US", "fr-FR"}));
  EXPECT_EQ(before.installedLocales, (std::vector<std::string>{"en-US"}));

  auto o = install(*runtime, "fr-fr");
  ASSERT_TRUE(o.isOk());
  EXPECT_TRUE(o.value());
  EXPECT_EQ(rec->matching("progress ").front(), "progress fr-FR 0.00 running error=-");
  EXPECT_EQ(rec->matching("progress ").back(), "progress fr-FR 1.00 done error=-");
  EXPECT_EQ(runtime->capabilities().installedLocales, (std::vector<std::string>{"en-US", "fr-FR"}));
}

TEST_F(RuntimeTest, CapabilitiesWaitAtMostTheGivenTimeForASlowProbe) {
  auto gate = std::make_shared<Gate>();
  service->setLocaleGate(gate);
  const CaptionRuntimeCapabilities placeholder{true, std::nullopt, {}, {}, {}};
  EXPECT_EQ(runtime->capabilities(0), placeholder);
  EXPECT_EQ(runtime->capabilities(-5), placeholder);
  EXPECT_EQ(runtime->capabilities(20), placeholder);
  gate->open();
  const auto full = runtime->capabilities();  // awaits the same probe
  EXPECT_EQ(full.supportedLocales, (std::vector<std::string>{"en-GB", "en-US", "fr-FR"}));
  EXPECT_EQ(runtime->capabilities(0), full) << "the cache answers once the probe has finished";
}

TEST_F(RuntimeTest, RuntimesOnOneServiceShareTheirCapabilitiesCache) {
  auto other = make();
  const auto first = runtime->capabilities();
  service->setInstalled({"en-US", "en-GB"});
  EXPECT_EQ(other->capabilities(0), first) << "served from the shared cache";
  auto otherService = std::make_shared<FakeSpeechService>();
  otherService->setSupported({"de-DE"});
  auto separate = CaptionRuntimeImpl::create(Recorder::events(rec), platform, otherService, {});
  EXPECT_EQ(separate->capabilities().supportedLocales, (std::vector<std::string>{"de-DE"}));
}

TEST_F(RuntimeTest, ReservationsFollowTheInventory) {
  service->setReservations({"en-US"}, 2);
  EXPECT_TRUE(reserve(*runtime, "en-us"));
  EXPECT_TRUE(rec->lines().empty()) << "an existing reservation logs nothing";

  EXPECT_TRUE(reserve(*runtime, "fr-FR"));
  EXPECT_EQ(rec->lines().back(), "log [captions] reserve: fr-FR reserved");

  EXPECT_TRUE(reserve(*runtime, "en-GB"));  // full: the first reserved locale makes room
  EXPECT_EQ(service->released(), (std::vector<std::string>{"en-US"}));
  EXPECT_EQ(rec->matching("log "),
            (std::vector<std::string>{"log [captions] reserve: fr-FR reserved",
                                      "log [captions] reserve: released en-US to make room",
                                      "log [captions] reserve: en-GB reserved"}));

  EXPECT_FALSE(reserve(*runtime, "xx"));
  EXPECT_EQ(rec->lines().back(), "log [captions] reserve: xx is not a supported locale");

  service->setReservations({}, 4, "quota exceeded");
  EXPECT_FALSE(reserve(*runtime, "en-US"));
  EXPECT_EQ(rec->lines().back(), "log [captions] reserve: en-US failed: quota exceeded");
}

}  // namespace
}  // namespace quorvel::testing
