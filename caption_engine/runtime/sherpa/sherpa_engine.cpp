#include "caption_engine/runtime/sherpa/sherpa_engine.h"

#include <variant>

#include "caption_engine/runtime/sherpa/sherpa_analyzer.h"
#include "caption_engine/runtime/sherpa/sherpa_library.h"
#include "caption_engine/runtime/sherpa/sherpa_model.h"

namespace quorvel::speech {

SherpaEngineHooks sherpaEngineHooks() {
  SherpaEngineHooks hooks;
  hooks.available = [] { return SherpaLibrary::available(); };
  hooks.makeAnalyzer = [](const std::filesystem::path& dir, const std::string& locale,
                          const TranscriberOptions& options) -> std::shared_ptr<SpeechAnalyzer> {
    auto inspected = inspectSherpaModel(dir);
    if (auto* problem = std::get_if<SherpaModelProblem>(&inspected)) {
      const std::string message =
          "the neural model for " + locale + " cannot be used: " + problem->message;
      if (problem->kind == SherpaModelProblem::Kind::missing)
        throw SpeechModelMissingError(message);
      throw SpeechServiceError(message);
    }
    std::string error;
    const SherpaLibrary* library = SherpaLibrary::get(&error);
    if (!library) throw SpeechServiceError(error);
    return std::make_shared<SherpaAnalyzer>(*library, std::get<SherpaModel>(std::move(inspected)),
                                            locale, options);
  };
  return hooks;
}

}  // namespace quorvel::speech
