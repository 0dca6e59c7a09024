// quorvel-helper-bench: live captioning measured through the whole helper, as a host runs it.
// It starts the real quorvel-caption-helper over pipes, starts caption sessions on the librivox
// recordings of pocketsphinx-testdata (file sources), reads the JSON lines it writes, and prints:
//   - word error rate of the final segments, next to bare pocketsphinx on the same audio;
//   - CPU seconds and peak memory of the helper process, next to a bare pocketsphinx process;
//   - latency of the first volatile after speech onset and of the final after speech end, on a
//     paced file source;
//   - time from spawn to the hello line;
//   - the effect of contextual terms (in the audio, unrelated) on the word error rate.
//
//   quorvel-helper-bench [--helper PATH] [--hello-runs N] [--pairs N] [--no-paced]
//   quorvel-helper-bench --bare-decode FILE.wav...   (the bare side; the bench starts itself so)
//
// Options starting with --benchmark are accepted and ignored, so that the bench runner may pass
// its usual flags. Exit status 0 when every run completed; 1 when the helper failed to answer.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/helper-bench/bare_sphinx.h"
#include "bench/helper-bench/helper_child.h"
#include "tests/support/speech_evaluation.h"
#include "tests/support/wav_file.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using quorvel::bench::ChildMessage;
using quorvel::bench::HelperChild;
using quorvel::bench::HelperChildExit;

const fs::path kLibrivox = "/usr/share/pocketsphinx/test/data/librivox";
constexpr int kSampleRate = 16000;
constexpr double kGapSeconds = 1.0;  // silence after each recording in the joined file

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- the audio ------------------------------------------------------------------------------

struct Recording {
  std::string id;
  fs::path path;
  std::string reference;  // lower-case words only
  double seconds = 0;
};

struct Corpus {
  std::vector<Recording> recordings;
  fs::path joined;              // every recording followed by a second of silence
  std::string joinedReference;  // their references in order
  double seconds = 0;           // speech recordings alone
  double joinedSeconds = 0;
};

std::string joinWords(const std::vector<std::string>& words) {
  std::string s;
  for (const auto& w : words) s += (s.empty() ? "" : " ") + w;
  return s;
}

void writeWav(const fs::path& path, const std::vector<int16_t>& samples) {
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += static_cast<char>(v >> (8 * i) & 0xff);
    return s;
  };
  const auto n = static_cast<uint32_t>(samples.size() * 2);
  std::ofstream f(path, std::ios::binary);
  f << "RIFF" << le(36 + n, 4) << "WAVE"
    << "fmt " << le(16, 4) << le(1, 2) << le(1, 2) << le(kSampleRate, 4) << le(kSampleRate * 2, 4)
    << le(2, 2) << le(16, 2) << "data" << le(n, 4);
  f.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(n));
  if (!f) throw Failure("cannot write " + path.string());
}

Corpus loadCorpus(const fs::path& dir) {
  Corpus c;
  std::vector<std::string> lines;
  std::ifstream transcription(kLibrivox / "transcription");
  for (std::string line; std::getline(transcription, line);) lines.push_back(line);
  std::ifstream ids(kLibrivox / "fileids");
  std::vector<int16_t> joined;
  std::vector<std::string> references;
  for (std::string id; std::getline(ids, id);) {
    if (id.empty()) continue;
    Recording r;
    r.id = id;
    r.path = kLibrivox / (id + ".wav");
    auto wav = quorvel::support::readMonoWav(r.path);
    if (!wav || wav->sampleRate != kSampleRate)
      throw Failure(r.path.string() + ": not a 16 kHz 16-bit WAV file");
    for (const auto& line : lines) {
      if (line.find("(" + id + ")") != std::string::npos)
        r.reference = joinWords(quorvel::speech::evaluationWords(line));
    }
    if (r.reference.empty()) throw Failure("no transcription for " + id);
    r.seconds = static_cast<double>(wav->samples.size()) / kSampleRate;
    c.seconds += r.seconds;
    joined.insert(joined.end(), wav->samples.begin(), wav->samples.end());
    joined.insert(joined.end(), static_cast<size_t>(kGapSeconds * kSampleRate), 0);
    references.push_back(r.reference);
    c.recordings.push_back(std::move(r));
  }
  if (c.recordings.empty()) throw Failure("no recordings under " + kLibrivox.string());
  c.joined = dir / "librivox-joined.wav";
  writeWav(c.joined, joined);
  c.joinedReference = joinWords(references);
  c.joinedSeconds = static_cast<double>(joined.size()) / kSampleRate;
  return c;
}

// ---- figures --------------------------------------------------------------------------------

// Nearest-rank percentile: the smallest value with at least p% of the values at or below it.
double percentile(std::vector<double> v, double p) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const auto rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
  return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

struct Errors {
  size_t errors = 0;
  size_t words = 0;
  void add(const quorvel::speech::WordErrors& e) {
    errors += e.errors;
    words += e.referenceWords;
  }
  std::string show() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%5.1f%% (%zu/%zu)",
                  words ? 100.0 * static_cast<double>(errors) / static_cast<double>(words) : 0.0,
                  errors, words);
    return buf;
  }
};

size_t countWord(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (const auto& w : quorvel::speech::evaluationWords(text)) n += w == word;
  return n;
}

// ---- the helper side ------------------------------------------------------------------------

struct Segment {
  int64_t seq = 0;
  bool isFinal = false;
  int64_t tStartMs = 0;
  int64_t tEndMs = 0;
  std::string text;
  double arrivalWallMs = 0;
};

struct Session {
  double startedAtMs = 0;  // from the start ack
  std::vector<Segment> segments;
  int64_t stopFinals = 0;    // from the stop ack
  long residentAfterKb = 0;  // the helper's VmRSS once the stop was acknowledged
  std::string finalsText() const {
    std::string s;
    for (const auto& g : segments) {
      if (g.isFinal) s += (s.empty() ? "" : " ") + g.text;
    }
    return s;
  }
};

struct HelperRun {
  std::vector<Session> sessions;
  HelperChildExit exit;
  long peakKb = 0;  // VmHWM read just before the input was closed
  size_t invalidLines = 0;
};

std::string describeReply(const ChildMessage& m) { return m.json.dump(); }

std::function<bool(const json&)> replyTo(const std::string& id) {
  return [id](const json& m) {
    return m.value("id", "") == id && (m.value("t", "") == "ack" || m.value("t", "") == "err");
  };
}

// One session on a file source: start, wait for the producer's end-of-file line, stop (which
// drains every remaining result), and collect the session's segments.
Session runSession(HelperChild& helper, const std::string& sessionId, const fs::path& file,
                   bool paced, const std::vector<std::string>& terms,
                   std::chrono::milliseconds feedWait) {
  const size_t from = helper.messages().size();
  const size_t logFrom = helper.logs().size();
  json source = {{"kind", "file"}, {"path", file.string()}, {"paced", paced}};
  json args = {{"sessionId", sessionId}, {"locale", "en-US"}, {"source", source}, {"terms", terms}};
  if (!helper.sendLine({{"id", "start-" + sessionId}, {"op", "captionsStart"}, {"args", args}})) {
    throw Failure("the helper's input is closed");
  }
  auto started = helper.waitFor(replyTo("start-" + sessionId), 30s, from);
  if (!started) throw Failure("no reply to captionsStart of " + sessionId);
  if (started->json.value("t", "") != "ack")
    throw Failure("captionsStart refused: " + describeReply(*started));
  Session s;
  s.startedAtMs = started->json["result"].value("startedAtMs", 0.0);
  if (!helper.waitForLog("file source reached EOF", feedWait, logFrom)) {
    throw Failure("the file source of " + sessionId + " did not reach its end in time");
  }
  const size_t stopFrom = helper.messages().size();
  helper.sendLine(
      {{"id", "stop-" + sessionId}, {"op", "captionsStop"}, {"args", {{"sessionId", sessionId}}}});
  auto stopped = helper.waitFor(replyTo("stop-" + sessionId), 60s, stopFrom);
  if (!stopped || stopped->json.value("t", "") != "ack") {
    throw Failure("captionsStop of " + sessionId +
                  " failed: " + (stopped ? describeReply(*stopped) : "no reply"));
  }
  s.stopFinals = stopped->json["result"].value("finals", int64_t{0});
  s.residentAfterKb = helper.residentKb().value_or(0);
  const auto& messages = helper.messages();
  for (size_t i = from; i < messages.size(); ++i) {
    const json& m = messages[i].json;
    if (m.value("ev", "") != "captionSegment") continue;
    const json& d = m["data"];
    if (d.value("sessionId", "") != sessionId) continue;
    s.segments.push_back({d.value("seq", int64_t{0}), d.value("kind", "") == "final",
                          d.value("tStartMs", int64_t{0}), d.value("tEndMs", int64_t{0}),
                          d.value("text", ""), messages[i].wallMs});
  }
  return s;
}

struct SessionPlan {
  fs::path file;
  bool paced = false;
  std::chrono::milliseconds feedWait{60s};
};

// One helper process running the given sessions one after another, then ending its input.
HelperRun runHelper(const std::string& helperPath, const std::vector<SessionPlan>& plans,
                    const std::vector<std::string>& terms) {
  HelperChild helper({helperPath});
  if (!helper.waitFor([](const json& m) { return m.value("ev", "") == "hello"; }, 15s)) {
    throw Failure("the helper wrote no hello");
  }
  HelperRun run;
  for (size_t i = 0; i < plans.size(); ++i) {
    run.sessions.push_back(runSession(helper, "bench-" + std::to_string(i + 1), plans[i].file,
                                      plans[i].paced, terms, plans[i].feedWait));
  }
  run.peakKb = helper.peakResidentKb().value_or(0);
  run.exit = helper.finish(20s);
  run.invalidLines = helper.invalidLines().size();
  if (run.exit.status != 0)
    throw Failure("the helper exited with status " + std::to_string(run.exit.status));
  return run;
}

// ---- the bare side --------------------------------------------------------------------------

struct BareRun {
  std::vector<std::string> transcripts;
  HelperChildExit exit;
};

BareRun runBare(const std::vector<fs::path>& files) {
  std::vector<std::string> argv{fs::read_symlink("/proc/self/exe").string(), "--bare-decode"};
  for (const auto& f : files) argv.push_back(f.string());
  HelperChild bare(argv);
  BareRun run;
  run.exit = bare.finish(120s);
  run.transcripts = bare.outputLines();
  if (run.exit.status != 0 || run.transcripts.size() != files.size()) {
    std::string why;
    for (const auto& l : bare.logs()) why += " " + l;
    throw Failure("the bare decoder failed (status " + std::to_string(run.exit.status) +
                  "):" + why);
  }
  return run;
}

// ---- latency --------------------------------------------------------------------------------

// One utterance of the paced session: the volatiles since the previous final, and its final.
struct Utterance {
  const Segment* firstVolatile = nullptr;
  const Segment* final = nullptr;
  size_t volatiles = 0;
};

std::vector<Utterance> utterances(const Session& s) {
  std::vector<Utterance> out;
  Utterance current;
  for (const auto& g : s.segments) {
    if (!g.isFinal) {
      if (!current.firstVolatile) current.firstVolatile = &g;
      ++current.volatiles;
      continue;
    }
    current.final = &g;
    out.push_back(current);
    current = {};
  }
  return out;
}

// ---- printing -------------------------------------------------------------------------------

void line(const char* label, const std::string& value) {
  std::printf("  %-58s %s\n", label, value.c_str());
}

std::string fmt(const char* format, double a) {
  char buf[128];
  std::snprintf(buf, sizeof buf, format, a);
  return buf;
}

std::string fmt(const char* format, double a, double b) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, a, b);
  return buf;
}

std::string fmt(const char* format, double a, double b, double c) {
  char buf[192];
  std::snprintf(buf, sizeof buf, format, a, b, c);
  return buf;
}

std::string mib(long kb) { return fmt("%.1f MiB", static_cast<double>(kb) / 1024.0); }

struct TermSet {
  const char* name;
  std::vector<std::string> terms;
};

// One alternating pair of the cost figures: the helper's process and the bare decoder's.
struct CostPair {
  HelperChildExit helper;
  HelperChildExit bare;
};

double median(std::vector<double> v) { return percentile(std::move(v), 50); }

template <class F>
double medianOf(const std::vector<CostPair>& pairs, F&& figure) {
  std::vector<double> v;
  for (const auto& p : pairs) v.push_back(figure(p));
  return median(v);
}

// The cost table: each figure of the helper next to the bare decoder's, as medians of the pairs;
// a ratio is the median of the pairs' own ratios, which cancels what the machine did meanwhile.
void printCost(const char* what, double audioSeconds, const std::vector<CostPair>& pairs,
               const char* cpuGoal, const char* memoryGoal) {
  const auto cpu = [](const HelperChildExit& e) { return e.cpuSeconds; };
  std::printf("  %s, %.1f s of audio\n", what, audioSeconds);
  std::printf("    %-40s %12s %12s %10s   %s\n", "", "helper", "bare", "ratio", "goal");
  std::printf("    %-40s %10.2f s %10.2f s %9.3fx   %s\n", "CPU, user + system",
              medianOf(pairs, [&](const CostPair& p) { return cpu(p.helper); }),
              medianOf(pairs, [&](const CostPair& p) { return cpu(p.bare); }),
              medianOf(pairs, [&](const CostPair& p) { return cpu(p.helper) / cpu(p.bare); }),
              cpuGoal);
  std::printf(
      "    %-40s %10.2f s %10.2f s %9.3fx\n", "  user",
      medianOf(pairs, [](const CostPair& p) { return p.helper.userSeconds; }),
      medianOf(pairs, [](const CostPair& p) { return p.bare.userSeconds; }),
      medianOf(pairs, [](const CostPair& p) { return p.helper.userSeconds / p.bare.userSeconds; }));
  std::printf("    %-40s %10.2f s %10.2f s %9.3fx\n", "  system",
              medianOf(pairs, [](const CostPair& p) { return p.helper.systemSeconds; }),
              medianOf(pairs, [](const CostPair& p) { return p.bare.systemSeconds; }),
              medianOf(pairs, [](const CostPair& p) {
                return p.helper.systemSeconds / p.bare.systemSeconds;
              }));
  const auto rss = [](const HelperChildExit& e) {
    return static_cast<double>(e.maxRssKb) / 1024.0;
  };
  std::printf("    %-40s %8.1f MiB %8.1f MiB %9.3fx   %s\n", "peak memory (ru_maxrss)",
              medianOf(pairs, [&](const CostPair& p) { return rss(p.helper); }),
              medianOf(pairs, [&](const CostPair& p) { return rss(p.bare); }),
              medianOf(pairs, [&](const CostPair& p) { return rss(p.helper) / rss(p.bare); }),
              memoryGoal);
  std::string each;
  for (const auto& p : pairs) each += fmt(" %.3f", cpu(p.helper) / cpu(p.bare));
  std::printf("    %-40s%s\n", "CPU ratio of each pair, in run order:", each.c_str());
}

int runBench(const std::string& helperPath, int helloRuns, bool withPaced, int pairs) {
  char tmpl[] = "/tmp/quorvel-helper-bench.XXXXXX";
  if (!mkdtemp(tmpl)) throw Failure("cannot make a temporary directory");
  const fs::path dir = tmpl;
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ec;
      fs::remove_all(dir, ec);
    }
  } cleanup{dir};

  const double benchStart = quorvel::bench::steadyMs();
  const Corpus corpus = loadCorpus(dir);
  std::printf("quorvel-caption-helper over pipes: %s\n", helperPath.c_str());
  std::printf(
      "audio: %zu librivox recordings, %.1f s; joined with %.0f s of silence after each: %.1f s\n",
      corpus.recordings.size(), corpus.seconds, kGapSeconds, corpus.joinedSeconds);
  std::printf(
      "captionsStart: locale en-US, source {kind:file}, fast true (default); 0.1 s chunks on both "
      "sides\n\n");
  std::fflush(stdout);

  // Time to hello, the libraries loaded by then, and what an idle helper costs (start-up,
  // capability probe, exit).
  std::vector<double> helloMs, idleCpu, helloLibraries;
  std::vector<long> idleRss;
  for (int i = 0; i < helloRuns; ++i) {
    HelperChild helper({helperPath});
    auto hello = helper.waitFor([](const json& m) { return m.value("ev", "") == "hello"; }, 15s);
    if (!hello) throw Failure("the helper wrote no hello within 15 s");
    helloMs.push_back(hello->steadyMs - helper.spawnedSteadyMs());
    if (auto n = helper.mappedLibraries()) helloLibraries.push_back(static_cast<double>(*n));
    HelperChildExit e = helper.finish(15s);
    if (e.status != 0)
      throw Failure("an idle helper exited with status " + std::to_string(e.status));
    idleCpu.push_back(e.cpuSeconds);
    idleRss.push_back(e.maxRssKb);
  }

  std::vector<fs::path> files;
  for (const auto& r : corpus.recordings) files.push_back(r.path);
  std::vector<SessionPlan> perFile;
  for (const auto& r : corpus.recordings) perFile.push_back({r.path, false, 60s});

  // The cost next to bare pocketsphinx, in alternating pairs on the same files: the helper with
  // one unpaced session per recording (no terms) against a bare process with one decoder per
  // recording; then the joined recording, one session against one decoder. Which side of a pair
  // runs first alternates, so that a machine getting busier or quieter favours neither.
  std::vector<CostPair> perFilePairs, joinedPairs;
  std::optional<HelperRun> helperPerFile, helperJoined;
  std::optional<BareRun> barePerFileRun, bareJoinedRun;
  for (int i = 0; i < pairs; ++i) {
    auto pair = [&](const std::vector<SessionPlan>& plans, const std::vector<fs::path>& bareFiles,
                    std::optional<HelperRun>& keepHelper, std::optional<BareRun>& keepBare) {
      std::optional<HelperRun> h;
      std::optional<BareRun> b;
      if (i % 2 == 0) {
        h = runHelper(helperPath, plans, {});
        b = runBare(bareFiles);
      } else {
        b = runBare(bareFiles);
        h = runHelper(helperPath, plans, {});
      }
      CostPair c{h->exit, b->exit};
      if (!keepHelper) keepHelper = std::move(h);
      if (!keepBare) keepBare = std::move(b);
      return c;
    };
    perFilePairs.push_back(pair(perFile, files, helperPerFile, barePerFileRun));
    joinedPairs.push_back(
        pair({{corpus.joined, false, 60s}}, {corpus.joined}, helperJoined, bareJoinedRun));
  }
  const BareRun& barePerFile = *barePerFileRun;
  const BareRun& bareJoined = *bareJoinedRun;

  // The helper: one session per recording, unpaced, for each set of terms (the first pair's run
  // is the one without terms).
  const std::vector<TermSet> termSets = {
      {"no terms", {}},
      {"in-audio terms [dashwood, prudently]", {"dashwood", "prudently"}},
      {"unrelated terms [kubernetes, spreadsheet, quorvel, tuesday meeting]",
       {"kubernetes", "spreadsheet", "quorvel", "tuesday meeting"}},
  };
  std::vector<HelperRun> termRuns;
  termRuns.push_back(std::move(*helperPerFile));
  for (size_t t = 1; t < termSets.size(); ++t) {
    termRuns.push_back(runHelper(helperPath, perFile, termSets[t].terms));
  }

  // The joined recording as one session, paced (unpaced: the first pair's run).
  const HelperRun joinedUnpaced = std::move(*helperJoined);
  std::optional<HelperRun> joinedPaced;
  if (withPaced) {
    const auto feedWait =
        std::chrono::milliseconds(static_cast<int64_t>(corpus.joinedSeconds * 1000) + 30000);
    joinedPaced = runHelper(helperPath, {{corpus.joined, true, feedWait}}, {});
  }

  // The helper writes text for people (sentence case, "I") where bare pocketsphinx writes lower
  // case, so transcripts are compared word for word as the error rate counts them.
  const auto sameWords = [](const std::string& a, const std::string& b) {
    return quorvel::speech::evaluationWords(a) == quorvel::speech::evaluationWords(b);
  };
  // ---- 1 and 6: word error rate -------------------------------------------------------------
  std::printf("Word error rate of the finals' text against the transcription\n");
  Errors bareErrors;
  for (size_t i = 0; i < corpus.recordings.size(); ++i) {
    bareErrors.add(
        quorvel::speech::wordErrors(corpus.recordings[i].reference, barePerFile.transcripts[i]));
  }
  line("bare pocketsphinx, one decoder per recording", bareErrors.show());
  std::vector<Errors> termErrors(termSets.size());
  size_t identical = 0;
  for (size_t t = 0; t < termSets.size(); ++t) {
    for (size_t i = 0; i < corpus.recordings.size(); ++i) {
      const std::string text = termRuns[t].sessions[i].finalsText();
      termErrors[t].add(quorvel::speech::wordErrors(corpus.recordings[i].reference, text));
      if (t == 0 && sameWords(text, barePerFile.transcripts[i])) ++identical;
    }
  }
  line(
      "helper, one session per recording, unpaced, no terms",
      termErrors[0].show() + fmt("   same words as bare: %.0f/%.0f", static_cast<double>(identical),
                                 static_cast<double>(corpus.recordings.size())));
  const Errors bareJoinedErrors = [&] {
    Errors e;
    e.add(quorvel::speech::wordErrors(corpus.joinedReference, bareJoined.transcripts[0]));
    return e;
  }();
  const std::string joinedText = joinedUnpaced.sessions[0].finalsText();
  line("bare pocketsphinx, joined recording, one decoder", bareJoinedErrors.show());
  Errors joinedErrors;
  joinedErrors.add(quorvel::speech::wordErrors(corpus.joinedReference, joinedText));
  line("helper, joined recording, one session, unpaced",
       joinedErrors.show() + (sameWords(joinedText, bareJoined.transcripts[0])
                                  ? "   same words as bare"
                                  : "   DIFFERS from bare"));
  if (joinedPaced) {
    const std::string pacedText = joinedPaced->sessions[0].finalsText();
    Errors pacedErrors;
    pacedErrors.add(quorvel::speech::wordErrors(corpus.joinedReference, pacedText));
    line("helper, joined recording, one session, paced (real time)",
         pacedErrors.show() + (sameWords(pacedText, bareJoined.transcripts[0])
                                   ? "   same words as bare"
                                   : "   DIFFERS from bare"));
  }
  for (size_t i = 0; i < corpus.recordings.size(); ++i) {
    const std::string text = termRuns[0].sessions[i].finalsText();
    if (!sameWords(text, barePerFile.transcripts[i])) {
      std::printf("    %s differs:\n      bare:   %s\n      helper: %s\n",
                  corpus.recordings[i].id.c_str(), barePerFile.transcripts[i].c_str(),
                  text.c_str());
    }
  }
  std::printf("\nContextual terms in captionsStart (one session per recording, unpaced)\n");
  for (size_t t = 0; t < termSets.size(); ++t) {
    std::string all;
    for (const auto& s : termRuns[t].sessions) {
      all += ' ';
      all += s.finalsText();
    }
    line(termSets[t].name,
         termErrors[t].show() + fmt("   \"dashwood\" x%.0f, \"prudently\" x%.0f",
                                    static_cast<double>(countWord(all, "dashwood")),
                                    static_cast<double>(countWord(all, "prudently"))));
  }
  std::printf("    (the reference has \"dashwood\" x1 and \"prudently\" x1, both in %s)\n",
              corpus.recordings[0].id.c_str());
  std::printf("    with in-audio terms, first recording: %s\n",
              termRuns[1].sessions[0].finalsText().c_str());

  // ---- 2 and 4: CPU and memory next to bare pocketsphinx ------------------------------------
  std::printf(
      "\nCost next to bare pocketsphinx: medians of %d alternating pairs on the same files (wait4 "
      "of each process)\n",
      pairs);
  printCost("one session per recording / one decoder per recording", corpus.seconds, perFilePairs,
            "<= 1.05x", "<= 130 MiB");
  std::printf(
      "    the helper keeps its decoder for the next session; the bare side loads the model for "
      "each recording\n");
  printCost("the joined recording: one session / one decoder", corpus.joinedSeconds, joinedPairs,
            "", "");
  std::printf("  %-42s %10.1f ms %12s %10s   %s\n", "time to hello, p50", median(helloMs), "-", "",
              "<= 50 ms");
  std::printf("  %-42s %13.0f %12s\n", "shared libraries mapped at hello", median(helloLibraries),
              "-");

  const double idleCpuMean = [&] {
    double sum = 0;
    for (double c : idleCpu) sum += c;
    return idleCpu.empty() ? 0.0 : sum / static_cast<double>(idleCpu.size());
  }();
  std::printf("\nCPU seconds of single runs (user + system of the whole process, from wait4)\n");
  for (size_t t = 0; t < termSets.size(); ++t) {
    const double cpu = termRuns[t].exit.cpuSeconds;
    const std::string label = std::string("helper, 5 sessions, ") + termSets[t].name;
    line(label.substr(0, 58).c_str(), fmt("%.2f s   %.3f x real time", cpu, cpu / corpus.seconds));
  }
  line("idle helper (spawn, hello, end of input), mean", fmt("%.3f s", idleCpuMean));
  if (joinedPaced) {
    line("helper, joined recording, paced",
         fmt("%.2f s   %.3f x real time", joinedPaced->exit.cpuSeconds,
             joinedPaced->exit.cpuSeconds / corpus.joinedSeconds));
  }

  std::printf("\nPeak resident memory of single runs\n");
  line("helper, 5 sessions, no terms (VmHWM before exit / ru_maxrss)",
       mib(termRuns[0].peakKb) + " / " + mib(termRuns[0].exit.maxRssKb));
  line("helper, 5 sessions, in-audio terms (VmHWM / ru_maxrss)",
       mib(termRuns[1].peakKb) + " / " + mib(termRuns[1].exit.maxRssKb));
  line("helper, joined recording unpaced (VmHWM / ru_maxrss)",
       mib(joinedUnpaced.peakKb) + " / " + mib(joinedUnpaced.exit.maxRssKb));
  if (joinedPaced) {
    line("helper, joined recording paced (VmHWM / ru_maxrss)",
         mib(joinedPaced->peakKb) + " / " + mib(joinedPaced->exit.maxRssKb));
  }
  for (size_t t = 0; t < termSets.size(); ++t) {
    std::string after;
    for (const auto& s : termRuns[t].sessions)
      after += (after.empty() ? "" : ", ") + fmt("%.0f", s.residentAfterKb / 1024.0);
    const std::string label = std::string("helper VmRSS after each stop, MiB, ") + termSets[t].name;
    line(label.substr(0, 58).c_str(), after);
  }
  std::printf(
      "    (a stopped session's decoder stays loaded for the next session for a minute, then is "
      "freed)\n");
  if (!idleRss.empty())
    line("idle helper (ru_maxrss, median)",
         mib(static_cast<long>(
             percentile(std::vector<double>(idleRss.begin(), idleRss.end()), 50))));

  // ---- 3: latency ---------------------------------------------------------------------------
  if (joinedPaced) {
    const Session& s = joinedPaced->sessions[0];
    std::printf("\nLatency on the paced joined recording (%zu segments, %lld finals)\n",
                s.segments.size(), static_cast<long long>(s.stopFinals));
    std::printf(
        "  audio clock: the start ack's startedAtMs, taken just before the file producer starts; "
        "the\n"
        "  producer hands over each 0.1 s chunk when its first sample is due, so audio at time t "
        "has\n"
        "  reached the helper by startedAtMs + t (up to 0.1 s earlier than a microphone would give "
        "it).\n"
        "  speech onset/end of an utterance: its final's tStartMs/tEndMs (first word's start, "
        "last\n"
        "  word's end, as the recognizer aligned them). Arrival: when the bench read the line.\n"
        "  first volatile = arrival of the utterance's first volatile - (startedAtMs + final "
        "tStartMs)\n"
        "  final          = arrival of its final - (startedAtMs + final tEndMs)\n"
        "  volatile lag   = arrival of each volatile - (startedAtMs + its tEndMs, the audio fed so "
        "far)\n");
    std::vector<double> onset, end, lag;
    size_t withoutVolatile = 0;
    std::printf("    %-15s %-15s %-14s %-9s %s\n", "speech (ms)", "first vol (ms)", "final (ms)",
                "volatiles", "text");
    for (const Utterance& u : utterances(s)) {
      const double speechStart = s.startedAtMs + static_cast<double>(u.final->tStartMs);
      const double speechEnd = s.startedAtMs + static_cast<double>(u.final->tEndMs);
      const double finalLatency = u.final->arrivalWallMs - speechEnd;
      end.push_back(finalLatency);
      std::string firstVol = "-";
      if (u.firstVolatile) {
        onset.push_back(u.firstVolatile->arrivalWallMs - speechStart);
        firstVol = fmt("%.0f", onset.back());
      } else {
        ++withoutVolatile;
      }
      std::string text = u.final->text.substr(0, 40);
      std::printf("    %6lld-%-8lld %-15s %-14.0f %-9zu %s\n",
                  static_cast<long long>(u.final->tStartMs),
                  static_cast<long long>(u.final->tEndMs), firstVol.c_str(), finalLatency,
                  u.volatiles, text.c_str());
    }
    for (const auto& g : s.segments) {
      if (!g.isFinal)
        lag.push_back(g.arrivalWallMs - (s.startedAtMs + static_cast<double>(g.tEndMs)));
    }
    line("first volatile after speech onset: p50 / p95 / max",
         fmt("%.0f / %.0f / %.0f ms", percentile(onset, 50), percentile(onset, 95),
             percentile(onset, 100)) +
             fmt("   (n=%.0f; %.0f utterances without a volatile)",
                 static_cast<double>(onset.size()), static_cast<double>(withoutVolatile)));
    line("final after speech end: p50 / p95 / max",
         fmt("%.0f / %.0f / %.0f ms", percentile(end, 50), percentile(end, 95),
             percentile(end, 100)) +
             fmt("   (n=%.0f)", static_cast<double>(end.size())));
    line("volatile lag behind the audio fed: p50 / p95 / max",
         fmt("%.0f / %.0f / %.0f ms", percentile(lag, 50), percentile(lag, 95),
             percentile(lag, 100)) +
             fmt("   (n=%.0f)", static_cast<double>(lag.size())));
    std::printf("  percentiles are nearest-rank: with under 20 values p95 is the largest.\n");
  }

  // ---- 5: time to hello ---------------------------------------------------------------------
  std::printf("\nTime from spawn to the hello line (%d runs)\n", helloRuns);
  line("p50 / p95 / min / max",
       fmt("%.1f / %.1f / ", percentile(helloMs, 50), percentile(helloMs, 95)) +
           fmt("%.1f / %.1f ms", percentile(helloMs, 0), percentile(helloMs, 100)));
  line("shared libraries mapped at hello, min / max",
       fmt("%.0f / %.0f", percentile(helloLibraries, 0), percentile(helloLibraries, 100)));

  size_t invalid = joinedUnpaced.invalidLines + (joinedPaced ? joinedPaced->invalidLines : 0);
  for (const auto& r : termRuns) invalid += r.invalidLines;
  std::printf("\nstandard output lines that were not JSON: %zu; bench wall time %.1f s\n", invalid,
              (quorvel::bench::steadyMs() - benchStart) / 1000.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string helperPath = QUORVEL_HELPER_PATH;
  int helloRuns = 10;
  int pairs = 5;
  bool withPaced = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--bare-decode")
      return quorvel::bench::runBareDecode(std::vector<std::string>(argv + i + 1, argv + argc));
    if (a == "--helper" && i + 1 < argc) {
      helperPath = argv[++i];
    } else if (a == "--hello-runs" && i + 1 < argc) {
      helloRuns = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--pairs" && i + 1 < argc) {
      pairs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--no-paced") {
      withPaced = false;
    } else if (a.rfind("--benchmark", 0) == 0) {
      // the bench runner's flags for Google Benchmark binaries
    } else {
      std::fprintf(stderr,
                   "usage: quorvel-helper-bench [--helper PATH] [--hello-runs N] [--pairs N] "
                   "[--no-paced]\n");
      return 2;
    }
  }
  try {
    return runBench(helperPath, helloRuns, withPaced, pairs);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "quorvel-helper-bench: %s\n", e.what());
    return 1;
  }
}
