// Decoding captionsStart arguments: the exact failure texts, their order, and the defaults.
#include "caption_engine/logic/caption_start_request.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel {
namespace {

using O = CaptionValue::Object;
using A = CaptionValue::Array;

const char* kSessionId = "captionsStart needs a non-empty sessionId";
const char* kLocale = "captionsStart needs a BCP-47 locale (e.g. \"en-US\")";
const char* kSource = "captionsStart needs a source {kind:'device'|'default'|'file'}";
const char* kUniqueId = "captionsStart source{kind:'device'} needs a uniqueID";
const char* kPath = "captionsStart source{kind:'file'} needs a path";

std::string kindReason(const std::string& got) {
  return "captionsStart source.kind must be device|default|file (got " + got + ")";
}

O base(CaptionValue source) {
  return O{{"sessionId", "s1"}, {"locale", "en-US"}, {"source", std::move(source)}};
}

O with(O o, const std::string& key, CaptionValue v) {
  o[key] = std::move(v);
  return o;
}

const CaptionValue kDefault = O{{"kind", "default"}};

TEST(CaptionsStartRequestTest, FailureReasons) {
  struct Case {
    const char* name;
    CaptionValue args;
    std::string reason;
  };
  const Case cases[] = {
      {"empty object", O{}, kSessionId},
      {"not an object", CaptionValue("x"), kSessionId},
      {"null", CaptionValue(), kSessionId},
      {"blank sessionId", with(base(kDefault), "sessionId", " \n "), kSessionId},
      {"ideographic-space sessionId", with(base(kDefault), "sessionId", "\u3000\u2028"),
       kSessionId},
      {"numeric sessionId", with(base(kDefault), "sessionId", 7), kSessionId},
      {"numeric locale", with(base(kDefault), "locale", 5), kLocale},
      {"blank locale", with(base(kDefault), "locale", "\t"), kLocale},
      {"locale and source missing", O{{"sessionId", "s1"}}, kLocale},
      {"source missing", O{{"sessionId", "s1"}, {"locale", "en-US"}}, kSource},
      {"source a string", base("default"), kSource},
      {"source an array", base(A{}), kSource},
      {"empty source", base(O{}), kindReason("nothing")},
      {"kind a number", base(O{{"kind", 1}}), kindReason("nothing")},
      {"kind capitalised", base(O{{"kind", "Device"}}), kindReason("Device")},
      {"kind padded", base(O{{"kind", " default"}}), kindReason(" default")},
      {"kind empty", base(O{{"kind", ""}}), kindReason("")},
      {"device without id", base(O{{"kind", "device"}}), kUniqueId},
      {"device blank id", base(O{{"kind", "device"}, {"uniqueID", "  "}}), kUniqueId},
      {"device numeric id", base(O{{"kind", "device"}, {"uniqueID", 3}}), kUniqueId},
      {"device lower-case key", base(O{{"kind", "device"}, {"uniqueId", "mic"}}), kUniqueId},
      {"file without path", base(O{{"kind", "file"}}), kPath},
      {"file blank path with paced", base(O{{"kind", "file"}, {"path", "   "}, {"paced", true}}),
       kPath},
  };
  for (const Case& c : cases) {
    auto result = CaptionsStartRequest::decode(c.args);
    const auto* error = std::get_if<CaptionsStartRequest::DecodeError>(&result);
    ASSERT_NE(error, nullptr) << c.name;
    EXPECT_EQ(error->reason, c.reason) << c.name;
  }
}

CaptionsStartRequest decodeOk(const CaptionValue& args) {
  auto result = CaptionsStartRequest::decode(args);
  if (auto* e = std::get_if<CaptionsStartRequest::DecodeError>(&result)) {
    ADD_FAILURE() << e->reason;
    return {};
  }
  return std::get<CaptionsStartRequest>(result);
}

TEST(CaptionsStartRequestTest, SourcesDecode) {
  struct Case {
    const char* name;
    CaptionValue source;
    CaptionAudioSource want;
  };
  const Case cases[] = {
      {"default", kDefault, CaptionAudioSource::systemDefault()},
      {"default ignores extras", O{{"kind", "default"}, {"path", 1}},
       CaptionAudioSource::systemDefault()},
      {"device trimmed", O{{"kind", "device"}, {"uniqueID", " mic-1\n"}},
       CaptionAudioSource::device("mic-1")},
      {"file unpaced", O{{"kind", "file"}, {"path", "/tmp/a.wav"}},
       CaptionAudioSource::file("/tmp/a.wav", false)},
      {"file paced", O{{"kind", "file"}, {"path", " /tmp/a b.wav "}, {"paced", true}},
       CaptionAudioSource::file("/tmp/a b.wav", true)},
      {"file paced not a boolean", O{{"kind", "file"}, {"path", "/x"}, {"paced", "yes"}},
       CaptionAudioSource::file("/x", false)},
  };
  for (const Case& c : cases) EXPECT_EQ(decodeOk(base(c.source)).source, c.want) << c.name;
}

TEST(CaptionsStartRequestTest, DefaultsAndOptionalFields) {
  CaptionsStartRequest r = decodeOk(with(base(kDefault), "sessionId", " s1 "));
  EXPECT_EQ(r, (CaptionsStartRequest{
                   "s1", "en-US", CaptionAudioSource::systemDefault(), true, {}, false, false}));

  struct Case {
    const char* key;
    CaptionValue value;
    bool CaptionsStartRequest::*field;
    bool want;
  };
  const Case cases[] = {
      {"fast", false, &CaptionsStartRequest::fast, false},
      {"fast", "no", &CaptionsStartRequest::fast, true},
      {"fast", 0, &CaptionsStartRequest::fast, true},
      {"installIfMissing", true, &CaptionsStartRequest::installIfMissing, true},
      {"installIfMissing", 1, &CaptionsStartRequest::installIfMissing, false},
      {"profanityFilter", true, &CaptionsStartRequest::profanityFilter, true},
      {"profanityFilter", "true", &CaptionsStartRequest::profanityFilter, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decodeOk(with(base(kDefault), c.key, c.value)).*c.field, c.want) << c.key;
  }
}

TEST(CaptionsStartRequestTest, TermsAreNormalisedOrDroppedWhenNotAllText) {
  EXPECT_EQ(decodeOk(with(base(kDefault), "terms", A{" Alpha ", "alpha", "Beta\tGamma"})).terms,
            (std::vector<std::string>{"Alpha", "Beta Gamma"}));
  EXPECT_TRUE(decodeOk(with(base(kDefault), "terms", A{"a", 3})).terms.empty());
  EXPECT_TRUE(decodeOk(with(base(kDefault), "terms", "a")).terms.empty());
  EXPECT_TRUE(decodeOk(with(base(kDefault), "terms", O{{"a", "b"}})).terms.empty());
}

TEST(CaptionsStartRequestTest, LocaleIsTrimmedNotValidated) {
  EXPECT_EQ(decodeOk(with(base(kDefault), "locale", "\u00A0fr-FR\u3000")).locale, "fr-FR");
}

}  // namespace
}  // namespace quorvel
