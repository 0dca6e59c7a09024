// caption-host: the smallest useful host of the caption engine. It lists the audio inputs, or
// captions an audio file as fast as it decodes and prints each final line.
//
//   caption-host --list-inputs
//   caption-host FILE [LOCALE]
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "caption_engine/api/caption_engine.h"

namespace {

// The host's own words for an engine error: the engine's message is written for hosts of every
// platform, so a host tells its users what to do here, from the error's code and what it asked.
std::string explain(const quorvel::CaptionEngineError& error, const std::string& file,
                    const std::string& locale) {
  using Code = quorvel::CaptionEngineErrorCode;
  switch (error.code()) {
    case Code::unsupported:
      return "captions are not available: this build of the engine has no speech recognizer";
    case Code::modelMissing:
      return "there is no installed speech model for " + locale;
    case Code::audioUnavailable:
      return "cannot caption " + file + ": it is not audio that can be decoded";
    case Code::startFailed:
      break;
  }
  return "the speech recognizer could not start";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvel;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::cout << "usage: caption-host --list-inputs | FILE [LOCALE]\n";
    return argc < 2 ? 2 : 0;
  }

  std::unique_ptr<CaptionEngine> engine = CaptionEngines::makeDefault();

  if (std::strcmp(argv[1], "--list-inputs") == 0) {
    const std::vector<CaptionAudioInput> inputs = engine->listInputs();
    // A running sound server always has an input: at least the monitor of an output.
    if (inputs.empty()) std::cerr << "no sound server running (PulseAudio or PipeWire)\n";
    for (const CaptionAudioInput& input : inputs) {
      std::cout << (input.isDefault ? "* " : "  ") << input.id << "  " << input.label
                << (input.note ? "  (" + *input.note + ")" : "") << "\n";
    }
    const CaptionEngineCapabilities caps = engine->capabilities();
    std::cout << "captions " << (caps.supported ? "available" : "unavailable in this build")
              << "\n";
    return inputs.empty() ? 1 : 0;
  }

  // Observers run on the engine's threads: print under a lock, and tell the main thread when the
  // file has been read to its end (its last words have come as finals by then). The main thread
  // stops the session.
  std::mutex mutex;
  std::condition_variable cv;
  bool ended = false;
  CaptionEngineObservers observers;
  observers.onSegment = [&](const CaptionSegmentEvent& segment) {
    if (segment.kind != CaptionSegmentEvent::Kind::final) return;
    std::lock_guard lock(mutex);
    std::cout << "[" << segment.tStartMs << "-" << segment.tEndMs << " ms] " << segment.text
              << std::endl;
  };
  observers.onSourceEnded = [&](const CaptionSourceEndedEvent&) {
    std::lock_guard lock(mutex);
    ended = true;
    cv.notify_all();
  };
  // A recognizer that fails mid-file ends the wait as well: no more finals will come.
  observers.onState = [&](const CaptionStateEvent& state) {
    if (state.state != CaptionState::error) return;
    std::lock_guard lock(mutex);
    std::cerr << "the speech recognizer failed\n";
    ended = true;
    cv.notify_all();
  };
  engine->setObservers(observers);

  CaptionEngineStartArgs args;
  args.sessionId = "host-1";
  args.locale = argc > 2 ? argv[2] : "en-US";
  args.source = CaptionAudioSource::file(argv[1], /*paced=*/false);
  try {
    const CaptionEngineStartAck ack = engine->start(args);
    std::cerr << "captioning in " << ack.locale << "\n";
  } catch (const CaptionEngineError& error) {
    std::cerr << explain(error, argv[1], args.locale) << "\n";
    return 1;
  }
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return ended; });
  }
  const CaptionEngineStopAck stopped = engine->stop(args.sessionId);
  std::cerr << stopped.finals << " finals, " << stopped.seconds << " s\n";
  return 0;
}
