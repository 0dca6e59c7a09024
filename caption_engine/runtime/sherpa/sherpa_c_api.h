// Our declarations of the part of sherpa-onnx's public C API (libsherpa-onnx-c-api.so) that the
// neural recognizer uses: the streaming recognizer's configuration records, its result record and
// the functions of one stream. The library ships no headers; these layouts are facts of its ABI,
// and sherpa_abi_test checks them against the library itself. Keep every field, in order, even
// those we never set: the library reads the records by offset.
//
// Nothing here is linked: SherpaLibrary (sherpa_library.h) resolves the functions with dlsym.
#pragma once

#include <cstdint>

namespace quorvel::speech::sherpa_api {

extern "C" {

struct OnlineTransducerModelConfig {
  const char* encoder;
  const char* decoder;
  const char* joiner;
};

struct OnlineParaformerModelConfig {
  const char* encoder;
  const char* decoder;
};

struct OnlineSingleModelConfig {  // zipformer2 CTC, NeMo CTC and T-One CTC alike
  const char* model;
};

struct OnlineModelConfig {
  OnlineTransducerModelConfig transducer;
  OnlineParaformerModelConfig paraformer;
  OnlineSingleModelConfig zipformer2Ctc;
  const char* tokens;
  int32_t numThreads;
  const char* provider;
  int32_t debug;
  const char* modelType;
  const char* modelingUnit;
  const char* bpeVocab;
  const char* tokensBuf;
  int32_t tokensBufSize;
  OnlineSingleModelConfig nemoCtc;
  OnlineSingleModelConfig toneCtc;
};

struct FeatureConfig {
  int32_t sampleRate;
  int32_t featureDim;
};

struct OnlineCtcFstDecoderConfig {
  const char* graph;
  int32_t maxActive;
};

struct HomophoneReplacerConfig {
  const char* dictDir;
  const char* lexicon;
  const char* ruleFsts;
};

struct OnlineRecognizerConfig {
  FeatureConfig featConfig;
  OnlineModelConfig modelConfig;
  const char* decodingMethod;
  int32_t maxActivePaths;
  int32_t enableEndpoint;
  float rule1MinTrailingSilence;
  float rule2MinTrailingSilence;
  float rule3MinUtteranceLength;
  const char* hotwordsFile;
  float hotwordsScore;
  OnlineCtcFstDecoderConfig ctcFstDecoderConfig;
  const char* ruleFsts;
  const char* ruleFars;
  float blankPenalty;
  const char* hotwordsBuf;
  int32_t hotwordsBufSize;
  HomophoneReplacerConfig hr;
};

struct OnlineRecognizerResult {
  const char* text;
  const char* tokens;
  const char* const* tokensArr;
  float* timestamps;  // seconds from the start of the segment, or nullptr
  int32_t count;
  const char* json;
};

struct OnlineRecognizer;
struct OnlineStream;

}  // extern "C"

// The functions we call, by their exported names.
using GetVersionStrFn = const char* (*)();
using CreateOnlineRecognizerFn = const OnlineRecognizer* (*)(const OnlineRecognizerConfig*);
using DestroyOnlineRecognizerFn = void (*)(const OnlineRecognizer*);
using CreateOnlineStreamFn = const OnlineStream* (*)(const OnlineRecognizer*);
using CreateOnlineStreamWithHotwordsFn = const OnlineStream* (*)(const OnlineRecognizer*,
                                                                 const char*);
using DestroyOnlineStreamFn = void (*)(const OnlineStream*);
using AcceptWaveformFn = void (*)(const OnlineStream*, int32_t, const float*, int32_t);
using IsOnlineStreamReadyFn = int32_t (*)(const OnlineRecognizer*, const OnlineStream*);
using DecodeOnlineStreamFn = void (*)(const OnlineRecognizer*, const OnlineStream*);
using GetOnlineStreamResultFn = const OnlineRecognizerResult* (*)(const OnlineRecognizer*,
                                                                  const OnlineStream*);
using DestroyOnlineRecognizerResultFn = void (*)(const OnlineRecognizerResult*);
using OnlineStreamResetFn = void (*)(const OnlineRecognizer*, const OnlineStream*);
using OnlineStreamInputFinishedFn = void (*)(const OnlineStream*);
using OnlineStreamIsEndpointFn = int32_t (*)(const OnlineRecognizer*, const OnlineStream*);

}  // namespace quorvel::speech::sherpa_api
