#include "helper/wire.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <utility>

#include "caption_engine/runtime/caption_runtime_values.h"
#include "helper/line_output.h"

namespace quorvel::helper::Wire {

namespace {

constexpr std::string_view kLogPrefix = "[helper.mac] ";

// Standard output and standard error, written without making any caller wait for the host.
// Created at the first line that goes there and kept for the life of the process (its writer
// thread runs until the process ends). Null if it could not be set up; lines are then written
// directly.
LineOutput* standardOutput() {
  static LineOutput* const output = []() -> LineOutput* {
    try {
      return new LineOutput(STDOUT_FILENO, STDERR_FILENO,
                            LineOutput::Options{.errPrefix = std::string(kLogPrefix)});
    } catch (...) {
      return nullptr;
    }
  }();
  return output;
}

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

// Guarded by sinkMutex.
LineSink& outputSink() {
  static LineSink sink;
  return sink;
}

std::mutex& logSinkMutex() {
  static std::mutex m;
  return m;
}

// Guarded by logSinkMutex.
LineSink& logSink() {
  static LineSink sink;
  return sink;
}

// Replies (droppable = false) are always queued, so that every command is answered once the host
// reads again; events may be dropped while the host is not reading.
void emit(const Json& message, bool droppable) {
  std::string line;
  try {
    line = frame(message);
  } catch (...) {
    return;  // a message that cannot be serialized is dropped
  }
  {
    std::lock_guard lock(sinkMutex());
    if (outputSink()) {
      outputSink()(line);
      return;
    }
  }
  if (LineOutput* output = standardOutput()) {
    output->push(LineOutput::Stream::out, std::move(line), droppable);
  } else {
    writeAll(STDOUT_FILENO, line);
  }
}

}  // namespace

std::string frame(const Json& message) {
  std::string line = message.dump(-1, ' ', false, Json::error_handler_t::replace);
  line.push_back('\n');
  return line;
}

bool writeAll(int fd, std::string_view line) {
  while (!line.empty()) {
    const ssize_t n = ::write(fd, line.data(), line.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    line.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void event(std::string_view name, Json data) {
  Json m = Json::object();
  m["t"] = "evt";
  m["ev"] = name;
  m["data"] = std::move(data);
  m["tsMs"] = captionNowMs();
  emit(m, /*droppable=*/true);
}

void ack(std::string_view id, Json result) {
  Json m = Json::object();
  m["t"] = "ack";
  m["id"] = id;
  m["result"] = std::move(result);
  emit(m, /*droppable=*/false);
}

void ackVoid(std::string_view id) { ack(id, nullptr); }

void err(std::string_view id, std::string_view code, std::string_view message, bool retriable,
         const std::optional<Json>& context) {
  Json m = Json::object();
  m["t"] = "err";
  m["id"] = id;
  m["code"] = code;
  m["message"] = message;
  m["retriable"] = retriable;
  if (context && context->is_object() && !context->empty()) m["context"] = *context;
  emit(m, /*droppable=*/false);
}

void log(std::string_view message) {
  std::string line;
  line.reserve(message.size() + kLogPrefix.size() + 1);
  line.append(kLogPrefix).append(message).push_back('\n');
  LineSink sink;
  {
    std::lock_guard lock(logSinkMutex());
    sink = logSink();
  }
  if (sink) {
    sink(line);
  } else if (LineOutput* output = standardOutput()) {
    output->push(LineOutput::Stream::err, std::move(line), /*droppable=*/true);
  } else {
    writeAll(STDERR_FILENO, line);
  }
}

void setOutputSink(LineSink sink) {
  std::lock_guard lock(sinkMutex());
  outputSink() = std::move(sink);
}

void setLogSink(LineSink sink) {
  std::lock_guard lock(logSinkMutex());
  logSink() = std::move(sink);
}

void holdForExit(int waitMs) {
  if (LineOutput* output = standardOutput()) output->finish(std::chrono::milliseconds(waitMs));
}

}  // namespace quorvel::helper::Wire
