#include "caption_engine/logic/caption_start_request.h"

#include <optional>

#include "caption_engine/logic/caption_terms.h"
#include "caption_engine/logic/caption_text.h"

namespace quorvel {
namespace {

constexpr const char* kNeedsSessionId = "captionsStart needs a non-empty sessionId";
constexpr const char* kNeedsLocale = "captionsStart needs a BCP-47 locale (e.g. \"en-US\")";
constexpr const char* kNeedsSource =
    "captionsStart needs a source {kind:'device'|'default'|'file'}";
constexpr const char* kNeedsUniqueId = "captionsStart source{kind:'device'} needs a uniqueID";
constexpr const char* kNeedsPath = "captionsStart source{kind:'file'} needs a path";
constexpr const char* kBadKindPrefix =
    "captionsStart source.kind must be device|default|file (got ";

const CaptionValue kEmptyObject{CaptionValue::Object{}};

// The member as trimmed text, or nothing when it is missing, not text, or blank.
std::optional<std::string> nonEmptyTrimmed(const CaptionValue& object, const std::string& key) {
  const CaptionValue* value = object.member(key);
  const std::string* text = value ? value->asString() : nullptr;
  if (!text) return std::nullopt;
  std::string t = CaptionText::trimmed(*text);
  if (t.empty()) return std::nullopt;
  return t;
}

// The member when it is a boolean, else the default.
bool boolOr(const CaptionValue& object, const std::string& key, bool fallback) {
  const CaptionValue* value = object.member(key);
  const bool* b = value ? value->asBool() : nullptr;
  return b ? *b : fallback;
}

// The member when it is an array made only of text, else an empty list.
std::vector<std::string> stringsOrEmpty(const CaptionValue& object, const std::string& key) {
  const CaptionValue* value = object.member(key);
  const CaptionValue::Array* array = value ? value->asArray() : nullptr;
  std::vector<std::string> out;
  if (!array) return out;
  out.reserve(array->size());
  for (const CaptionValue& item : *array) {
    const std::string* s = item.asString();
    if (!s) return {};
    out.push_back(*s);
  }
  return out;
}

}  // namespace

CaptionsStartRequest::DecodeResult CaptionsStartRequest::decode(const CaptionValue& argsIn) {
  const CaptionValue& args = argsIn.asObject() ? argsIn : kEmptyObject;

  std::optional<std::string> sessionId = nonEmptyTrimmed(args, "sessionId");
  if (!sessionId) return DecodeError{kNeedsSessionId};
  std::optional<std::string> locale = nonEmptyTrimmed(args, "locale");
  if (!locale) return DecodeError{kNeedsLocale};

  const CaptionValue* sourceValue = args.member("source");
  if (!sourceValue || !sourceValue->asObject()) return DecodeError{kNeedsSource};
  const CaptionValue* kindValue = sourceValue->member("kind");
  const std::string* kind = kindValue ? kindValue->asString() : nullptr;
  if (!kind) return DecodeError{std::string(kBadKindPrefix) + "nothing)"};

  std::optional<CaptionAudioSource> source;
  if (*kind == "device") {
    std::optional<std::string> uniqueID = nonEmptyTrimmed(*sourceValue, "uniqueID");
    if (!uniqueID) return DecodeError{kNeedsUniqueId};
    source = CaptionAudioSource::device(std::move(*uniqueID));
  } else if (*kind == "default") {
    source = CaptionAudioSource::systemDefault();
  } else if (*kind == "file") {
    std::optional<std::string> path = nonEmptyTrimmed(*sourceValue, "path");
    if (!path) return DecodeError{kNeedsPath};
    source = CaptionAudioSource::file(std::move(*path), boolOr(*sourceValue, "paced", false));
  } else {
    return DecodeError{std::string(kBadKindPrefix) + *kind + ")"};
  }

  CaptionsStartRequest request;
  request.sessionId = std::move(*sessionId);
  request.locale = std::move(*locale);
  request.source = std::move(*source);
  request.fast = boolOr(args, "fast", true);
  request.terms = CaptionTerms::normalise(stringsOrEmpty(args, "terms"));
  request.installIfMissing = boolOr(args, "installIfMissing", false);
  request.profanityFilter = boolOr(args, "profanityFilter", false);
  return request;
}

}  // namespace quorvel
