#include "helper/wire.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <utility>

#include "caption_engine/runtime/caption_runtime_values.h"

namespace quorvel::helper::Wire {

namespace {

// The emit lock: every protocol line is written while holding it.
std::timed_mutex& emitMutex() {
  static std::timed_mutex m;
  return m;
}

// Guarded by emitMutex.
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

void emit(const Json& message) {
  std::string line;
  try {
    line = frame(message);
  } catch (...) {
    return;  // a message that cannot be serialized is dropped
  }
  std::lock_guard lock(emitMutex());
  if (outputSink()) {
    outputSink()(line);
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
  emit(m);
}

void ack(std::string_view id, Json result) {
  Json m = Json::object();
  m["t"] = "ack";
  m["id"] = id;
  m["result"] = std::move(result);
  emit(m);
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
  emit(m);
}

void log(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 15);
  line.append("[helper.mac] ").append(message).push_back('\n');
  LineSink sink;
  {
    std::lock_guard lock(logSinkMutex());
    sink = logSink();
  }
  if (sink) {
    sink(line);
  } else {
    writeAll(STDERR_FILENO, line);
  }
}

void setOutputSink(LineSink sink) {
  std::lock_guard lock(emitMutex());
  outputSink() = std::move(sink);
}

void setLogSink(LineSink sink) {
  std::lock_guard lock(logSinkMutex());
  logSink() = std::move(sink);
}

void holdForExit(int waitMs) {
  // Deliberately never unlocked: the process ends right after this returns.
  (void)emitMutex().try_lock_for(std::chrono::milliseconds(waitMs));
}

}  // namespace quorvel::helper::Wire
