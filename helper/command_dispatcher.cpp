#include "helper/command_dispatcher.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "caption_engine/logic/caption_start_request.h"
#include "caption_engine/logic/caption_text.h"
#include "helper/caption_value_conversion.h"
#include "helper/caption_wire.h"
#include "helper/wire.h"

namespace quorvel::helper {

namespace {

const Json& emptyObject() {
  static const Json empty = Json::object();
  return empty;
}

// The member key of an object when it is a string.
const std::string* stringMember(const Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

// A list made only of strings; anything else counts as an empty list.
std::vector<std::string> termsMember(const Json& args) {
  auto it = args.find("terms");
  if (it == args.end() || !it->is_array()) return {};
  std::vector<std::string> terms;
  terms.reserve(it->size());
  for (const auto& element : *it) {
    if (!element.is_string()) return {};
    terms.push_back(element.get<std::string>());
  }
  return terms;
}

void badRequest(const std::string& id, const std::string& message) {
  Wire::err(id, rawValue(HelperErrorCode::badRequest), message, false);
}

CaptionEngine::Completion replyTo(std::string id) {
  return [id = std::move(id)](CaptionEngine::Outcome outcome) { replyCaptionOutcome(id, outcome); };
}

}  // namespace

void handle(const Json& command, EngineAccess engine) {
  const std::string* idText = command.is_object() ? stringMember(command, "id") : nullptr;
  const std::string* opText = idText ? stringMember(command, "op") : nullptr;
  if (!idText || !opText) {
    Wire::log("dropping malformed command");
    return;
  }
  const std::string& id = *idText;
  const std::string& op = *opText;

  auto argsIt = command.find("args");
  const Json& args = (argsIt != command.end() && argsIt->is_object()) ? *argsIt : emptyObject();

  if (op == "captionsStart") {
    auto decoded = CaptionsStartRequest::decode(toCaptionValue(args));
    if (auto* error = std::get_if<CaptionsStartRequest::DecodeError>(&decoded)) {
      badRequest(id, error->reason);
      return;
    }
    engine().start(std::get<CaptionsStartRequest>(decoded), replyTo(id));
  } else if (op == "captionsStop") {
    const std::string* sessionId = stringMember(args, "sessionId");
    engine().stop(sessionId ? std::optional<std::string>(*sessionId) : std::nullopt, replyTo(id));
  } else if (op == "captionsSetContext") {
    const std::string* sessionId = stringMember(args, "sessionId");
    if (!sessionId || sessionId->empty()) {
      badRequest(id, "captionsSetContext needs a sessionId");
      return;
    }
    engine().setContext(*sessionId, termsMember(args), replyTo(id));
  } else if (op == "captionsStatus") {
    Wire::ack(id, CaptionWire::status(engine().core().status()));
  } else if (op == "captionsAudioInputs") {
    Json result = Json::object();
    result["inputs"] = CaptionWire::inputs(engine().core().audioInputs());
    Wire::ack(id, std::move(result));
  } else if (op == "captionsInstallLocale") {
    const std::string* locale = stringMember(args, "locale");
    std::string trimmed = locale ? CaptionText::trimmedHorizontal(*locale) : std::string();
    if (trimmed.empty()) {
      badRequest(id, "captionsInstallLocale needs a BCP-47 locale");
      return;
    }
    engine().installLocale(std::move(trimmed), replyTo(id));
  } else {
    Wire::err(id, rawValue(HelperErrorCode::unsupportedOp), "unknown op " + op, false);
  }
}

void handle(const Json& command) { handle(command, &CaptionEngine::shared); }

}  // namespace quorvel::helper
