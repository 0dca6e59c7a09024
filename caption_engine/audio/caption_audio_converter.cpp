// Format conversion on libswresample. One SwrContext per input format; it keeps the resampler's
// filter history between buffers, so a stream converted buffer by buffer sounds the same as the
// stream converted in one piece. The channel mix is set explicitly: mono output is the average of
// the input channels (libswresample's own default would mix stereo as (L+R)·0.707, 3 dB hot).
#include "caption_engine/audio/caption_audio_converter.h"

#include <climits>
#include <cmath>
#include <limits>
#include <new>
#include <vector>

#include "caption_engine/audio/ffmpeg_library.h"

namespace quorvel {

namespace {

// libswresample, once a context has been made (which loads it).
const FfmpegResampling& ffResample() { return *loadFfmpegResampling(); }

AVSampleFormat avSampleFormat(const AudioFormat& format) {
  // A single channel is stored the same way in either layout; call it packed.
  const bool planar = !format.interleaved && format.channels > 1;
  switch (format.sampleType) {
    case SampleType::float32:
      return planar ? AV_SAMPLE_FMT_FLTP : AV_SAMPLE_FMT_FLT;
    case SampleType::int16:
      return planar ? AV_SAMPLE_FMT_S16P : AV_SAMPLE_FMT_S16;
    case SampleType::int32:
      return planar ? AV_SAMPLE_FMT_S32P : AV_SAMPLE_FMT_S32;
    case SampleType::float64:
      return planar ? AV_SAMPLE_FMT_DBLP : AV_SAMPLE_FMT_DBL;
  }
  return AV_SAMPLE_FMT_NONE;
}

// The integer rate libswresample works with, or 0 when the rate is unusable.
int integerRate(double rate) {
  if (!std::isfinite(rate) || rate < 1.0 || rate > double{INT_MAX}) return 0;
  return static_cast<int>(std::lround(rate));
}

bool usableChannels(uint32_t channels) { return channels >= 1 && channels <= 64; }

}  // namespace

struct CaptionAudioConverter::Context {
  SwrContext* swr = nullptr;
  bool sameRate = false;

  ~Context() { ffResample().swr_free(&swr); }

  // Makes a context from `in` to `out`, or nothing when libswresample refuses the pair.
  static std::unique_ptr<Context> make(const AudioFormat& in, const AudioFormat& out) {
    if (!loadFfmpegResampling()) return nullptr;  // no libswresample: nothing converts
    const int inRate = integerRate(in.sampleRate);
    const int outRate = integerRate(out.sampleRate);
    if (inRate == 0 || outRate == 0 || !usableChannels(in.channels) ||
        !usableChannels(out.channels)) {
      return nullptr;
    }
    const int inCh = static_cast<int>(in.channels);
    const int outCh = static_cast<int>(out.channels);

    AVChannelLayout inLayout{};
    AVChannelLayout outLayout{};
    ffResample().av_channel_layout_default(&inLayout, inCh);
    ffResample().av_channel_layout_default(&outLayout, outCh);

    auto ctx = std::make_unique<Context>();
    const int made =
        ffResample().swr_alloc_set_opts2(&ctx->swr, &outLayout, avSampleFormat(out), outRate,
                                         &inLayout, avSampleFormat(in), inRate, 0, nullptr);
    ffResample().av_channel_layout_uninit(&inLayout);
    ffResample().av_channel_layout_uninit(&outLayout);
    if (made < 0 || ctx->swr == nullptr) return nullptr;

    // Explicit mixes for the cases that matter to speech: down to mono averages the channels, up
    // from mono copies the one channel. Other channel pairs keep libswresample's own mix.
    if (inCh != outCh && (outCh == 1 || inCh == 1)) {
      std::vector<double> matrix(static_cast<size_t>(outCh) * static_cast<size_t>(inCh), 0.0);
      for (int o = 0; o < outCh; ++o) {
        for (int i = 0; i < inCh; ++i) {
          matrix[static_cast<size_t>(o) * inCh + i] = outCh == 1 ? 1.0 / inCh : 1.0;
        }
      }
      if (ffResample().swr_set_matrix(ctx->swr, matrix.data(), inCh) < 0) return nullptr;
    }
    if (ffResample().swr_init(ctx->swr) < 0) return nullptr;
    ctx->sameRate = inRate == outRate;
    return ctx;
  }
};

CaptionAudioConverter::CaptionAudioConverter(AudioFormat target) : target_(target) {}

CaptionAudioConverter::~CaptionAudioConverter() = default;

std::optional<uint32_t> CaptionAudioConverter::outputCapacity(double inRate, double outRate,
                                                              uint32_t frames) {
  if (!std::isfinite(inRate) || !(inRate > 0.0) || !std::isfinite(outRate) || !(outRate > 0.0)) {
    return std::nullopt;
  }
  const double ratio = outRate / inRate;
  const double scaled = std::trunc(ratio * static_cast<double>(frames));
  if (!std::isfinite(scaled) || scaled <= -1.0) return std::nullopt;
  const double capacity = scaled + 1024.0;
  if (capacity > double{std::numeric_limits<uint32_t>::max()}) return std::nullopt;
  return static_cast<uint32_t>(capacity);
}

namespace {

std::vector<const uint8_t*> inputPlanes(const PcmBuffer& buffer) {
  std::vector<const uint8_t*> planes;
  for (uint32_t p = 0; p < buffer.planeCount(); ++p) planes.push_back(buffer.planeData(p));
  return planes;
}

std::vector<uint8_t*> outputPlanes(PcmBuffer& buffer) {
  std::vector<uint8_t*> planes;
  for (uint32_t p = 0; p < buffer.planeCount(); ++p) planes.push_back(buffer.planeData(p));
  return planes;
}

// An empty output buffer of `format` with `capacity` frames, or nothing when it cannot be made
// (libswresample counts frames in an int; the allocation may fail).
std::optional<PcmBuffer> makeOutput(const AudioFormat& format, uint32_t capacity) {
  if (capacity > static_cast<uint32_t>(INT_MAX)) return std::nullopt;
  try {
    return PcmBuffer(format, capacity);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  } catch (const std::length_error&) {
    return std::nullopt;
  }
}

}  // namespace

CaptionAudioConverter::Result CaptionAudioConverter::convert(const PcmBuffer& input) {
  const AudioFormat& inFormat = input.format();
  if (!context_ || !contextInput_ || !(*contextInput_ == inFormat)) {
    context_.reset();
    contextInput_ = inFormat;
    context_ = Context::make(inFormat, target_);
    if (context_) ++contextsMade_;
  }
  if (!context_) return {Status::noConverter, std::nullopt};

  const auto capacity =
      outputCapacity(inFormat.sampleRate, target_.sampleRate, input.frameLength());
  if (!capacity) return {Status::noOutputBuffer, std::nullopt};
  std::optional<PcmBuffer> output = makeOutput(target_, *capacity);
  if (!output) return {Status::noOutputBuffer, std::nullopt};
  if (input.frameLength() > static_cast<uint32_t>(INT_MAX))
    return {Status::conversionError, std::nullopt};

  // Equal rates pass straight through in one call; different rates push the buffer into the
  // resampler, take what it can give now and leave the rest of its history for the next buffer.
  auto in = inputPlanes(input);
  auto out = outputPlanes(*output);
  const int produced =
      ffResample().swr_convert(context_->swr, out.data(), static_cast<int>(*capacity), in.data(),
                               static_cast<int>(input.frameLength()));
  if (produced < 0) return {Status::conversionError, std::nullopt};
  output->setFrameLength(static_cast<uint32_t>(produced));
  return {Status::converted, std::move(output)};
}

CaptionAudioConverter::Result CaptionAudioConverter::flush() {
  if (!context_) {
    PcmBuffer empty(target_, 0);
    return {Status::converted, std::move(empty)};
  }
  const int pending = ffResample().swr_get_out_samples(context_->swr, 0);
  if (pending < 0) return {Status::conversionError, std::nullopt};
  std::optional<PcmBuffer> output = makeOutput(target_, static_cast<uint32_t>(pending) + 1024u);
  if (!output) return {Status::noOutputBuffer, std::nullopt};
  auto out = outputPlanes(*output);
  const int produced = ffResample().swr_convert(
      context_->swr, out.data(), static_cast<int>(output->frameCapacity()), nullptr, 0);
  if (produced < 0) return {Status::conversionError, std::nullopt};
  output->setFrameLength(static_cast<uint32_t>(produced));
  return {Status::converted, std::move(output)};
}

}  // namespace quorvel
