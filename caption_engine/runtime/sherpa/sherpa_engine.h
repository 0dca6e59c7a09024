// The neural engine as the model store's speech service uses it (SherpaEngineHooks): whether the
// library can be had, and analyzers for installed model directories, checked before loading.
//
// Threads: any thread.
#pragma once

#include "caption_engine/runtime/sphinx/sphinx_speech_service.h"

namespace quorvel::speech {

SherpaEngineHooks sherpaEngineHooks();

}  // namespace quorvel::speech
