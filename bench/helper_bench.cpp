// One captionsStatus command line from the bytes the reader hands over to the written ack: UTF-8
// check, trimming, parsing, dispatch, the core's status, the wire dictionary, serialization and
// the write. Run in process, with the writer pointed at /dev/null (a real write per line) or at a
// memory buffer (no system call).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "helper/command_dispatcher.h"
#include "helper/command_reader.h"
#include "helper/wire.h"

namespace {

using namespace quorvel;
using namespace quorvel::helper;

const std::string kStatusLine = R"({"id":"bench-1","op":"captionsStatus","args":{}})";

void runStatusLine(benchmark::State& state) {
  CaptionEngine::shared();  // created outside the timed loop, as the process does at start-up
  for (auto _ : state) {
    processLine(kStatusLine, [](const Json& command) { handle(command); });
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_StatusLineToAckDevNull(benchmark::State& state) {
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  Wire::setOutputSink([fd](std::string_view line) { Wire::writeAll(fd, line); });
  runStatusLine(state);
  Wire::setOutputSink(nullptr);
  ::close(fd);
}
BENCHMARK(BM_StatusLineToAckDevNull);

void BM_StatusLineToAckBuffer(benchmark::State& state) {
  std::string buffer;
  buffer.reserve(4096);
  Wire::setOutputSink([&buffer](std::string_view line) {
    buffer.assign(line);
    benchmark::DoNotOptimize(buffer.data());
  });
  runStatusLine(state);
  Wire::setOutputSink(nullptr);
  if (buffer.find("\"id\":\"bench-1\"") == std::string::npos) state.SkipWithError("no ack written");
}
BENCHMARK(BM_StatusLineToAckBuffer);

}  // namespace

BENCHMARK_MAIN();
