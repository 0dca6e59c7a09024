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

int main(int argc, char** argv) {
  using namespace quorvel;
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
    std::cout << "usage: caption-host --list-inputs | FILE [LOCALE]\n";
    return argc < 2 ? 2 : 0;
  }

  std::unique_ptr<CaptionEngine> engine = CaptionEngines::makeDefault();

  if (std::strcmp(argv[1], "--list-inputs") == 0) {
    for (const CaptionAudioInput& input : engine->listInputs()) {
      std::cout << (input.isDefault ? "* " : "  ") << input.id << "  " << input.label << "\n";
    }
    const CaptionEngineCapabilities caps = engine->capabilities();
    std::cout << "captions " << (caps.supported ? "available" : "unavailable")
              << (caps.reason ? ": " + *caps.reason : "") << "\n";
    return 0;
  }

  // Observers run on the engine's threads: print under a lock, and tell the main thread when the
  // file has been read to its end. The main thread stops the session.
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
  observers.onLog = [&](const std::string& line) {
    if (line.find("file source reached EOF") == std::string::npos) return;
    std::lock_guard lock(mutex);
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
    std::cerr << error.description() << "\n";
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
