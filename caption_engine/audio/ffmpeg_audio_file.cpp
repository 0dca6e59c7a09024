#include "caption_engine/audio/ffmpeg_audio_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "caption_engine/audio/ffmpeg_library.h"

namespace quorvel {

namespace {

// FFmpeg's libraries, once open() has loaded them.
const FfmpegDecoding& ffDecode() { return *loadFfmpegDecoding(); }
const FfmpegResampling& ffResample() { return *loadFfmpegResampling(); }

std::string avErrorText(int code) {
  // A system error is told in the system's words, as FFmpeg tells it, without loading FFmpeg to
  // say that a file is missing; FFmpeg's own codes need FFmpeg's table.
  if (code < 0 && code > -4096) return std::strerror(AVUNERROR(code));
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  const FfmpegDecoding* ffmpeg = loadFfmpegDecoding();
  if (!ffmpeg || ffmpeg->av_strerror(code, text, sizeof text) < 0) {
    return "unknown error " + std::to_string(code);
  }
  return text;
}

// A layout libswresample can work with: the given one, or the default for its channel count when
// the file does not say which channels it has.
void usableLayout(AVChannelLayout& out, const AVChannelLayout& in) {
  if (in.order == AV_CHANNEL_ORDER_UNSPEC || ffDecode().av_channel_layout_check(&in) == 0) {
    ffResample().av_channel_layout_default(&out, in.nb_channels);
  } else {
    ffDecode().av_channel_layout_copy(&out, &in);
  }
}

// Several decoders warn about timestamps on perfectly good files; only errors are worth a line.
void quietFfmpegLogging() {
  static std::once_flag once;
  std::call_once(once, [] { ffDecode().av_log_set_level(AV_LOG_ERROR); });
}

// Decoding errors in a row after which a file is taken to be unreadable.
constexpr int kMaxDecodeErrorsInARow = 64;

// The size of the buffer FFmpeg reads the file through (its own default).
constexpr int kIoBufferSize = 32768;

// Only a regular file has an end that comes without anyone's help: a FIFO, a socket or a device
// may hold its reader for ever. A directory exists but cannot be read, as FFmpeg would say.
std::optional<FfmpegAudioFile::OpenError> refusalFor(mode_t mode) {
  if (S_ISREG(mode)) return std::nullopt;
  if (S_ISDIR(mode)) {
    return FfmpegAudioFile::OpenError{FfmpegAudioFile::Failure::unreadable,
                                      avErrorText(AVERROR(EISDIR))};
  }
  return FfmpegAudioFile::OpenError{FfmpegAudioFile::Failure::notRegularFile, "not a regular file"};
}

}  // namespace

struct FfmpegAudioFile::State {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  AVAudioFifo* fifo = nullptr;
  SwrContext* swr = nullptr;
  int stream = -1;

  // The open file FFmpeg reads, through `io`, and what cancels the call in progress.
  int fd = -1;
  AVIOContext* io = nullptr;
  std::stop_token cancel;

  // The processing format as FFmpeg names it.
  AVChannelLayout outLayout{};
  int outRate = 0;
  int outChannels = 0;
  // The decoded format the current SwrContext was made for.
  AVChannelLayout swrInLayout{};
  int swrInRate = 0;
  int swrInFormat = AV_SAMPLE_FMT_NONE;

  std::vector<std::vector<float>> scratch;
  bool inputEnded = false;
  bool drained = false;
  bool failed = false;  // a read failed or was cancelled: there is nothing more to give
  int errorsInARow = 0;
  bool ffmpegLoaded =
      false;  // FFmpeg's libraries are loaded: the fields above are FFmpeg's to free

  ~State() {
    if (ffmpegLoaded) {
      ffResample().swr_free(&swr);
      if (fifo) ffDecode().av_audio_fifo_free(fifo);
      ffDecode().av_frame_free(&frame);
      ffDecode().av_packet_free(&packet);
      ffDecode().avcodec_free_context(&codec);
      ffDecode().avformat_close_input(&format);  // leaves our own I/O context to us
      if (io) ffDecode().av_freep(&io->buffer);
      ffDecode().avio_context_free(&io);
      ffResample().av_channel_layout_uninit(&outLayout);
      ffResample().av_channel_layout_uninit(&swrInLayout);
    }
    if (fd >= 0) ::close(fd);
  }

  // FFmpeg's interrupt callback: nonzero abandons the blocking operation in progress.
  static int interrupted(void* opaque) {
    return static_cast<State*>(opaque)->cancel.stop_requested() ? 1 : 0;
  }

  // FFmpeg's reads and seeks on the open file.
  static int readFile(void* opaque, uint8_t* data, int size) {
    auto* self = static_cast<State*>(opaque);
    if (self->cancel.stop_requested()) return AVERROR_EXIT;
    for (;;) {
      const ssize_t n = ::read(self->fd, data, static_cast<size_t>(size));
      if (n > 0) return static_cast<int>(n);
      if (n == 0) return AVERROR_EOF;
      if (errno != EINTR) return AVERROR(errno);
    }
  }
  static int64_t seekFile(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<State*>(opaque);
    if (whence == AVSEEK_SIZE) {
      struct stat info {};
      return ::fstat(self->fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : AVERROR(errno);
    }
    const off_t at = ::lseek(self->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
  }

  // Converts whatever the resampler holds (or `frame`, when given) into the FIFO.
  bool convertIntoFifo(const AVFrame* in) {
    const int inSamples = in ? in->nb_samples : 0;
    const int room = ffResample().swr_get_out_samples(swr, inSamples);
    if (room < 0) return false;
    if (room == 0) return true;
    std::vector<uint8_t*> planes;
    for (auto& channel : scratch) {
      if (channel.size() < static_cast<size_t>(room)) channel.resize(static_cast<size_t>(room));
      planes.push_back(reinterpret_cast<uint8_t*>(channel.data()));
    }
    const int made = ffResample().swr_convert(
        swr, planes.data(), room, in ? const_cast<const uint8_t**>(in->extended_data) : nullptr,
        inSamples);
    if (made < 0) return false;
    if (made == 0) return true;
    return ffDecode().av_audio_fifo_write(fifo, reinterpret_cast<void**>(planes.data()), made) ==
           made;
  }

  // Makes the SwrContext for the decoded frame's format when it is not the one in use. A stream
  // whose format changes midway keeps its processing format; the old context is drained first.
  bool prepareConverter(const AVFrame* in) {
    AVChannelLayout layout{};
    usableLayout(layout, in->ch_layout);
    const bool same = swr && swrInRate == in->sample_rate && swrInFormat == in->format &&
                      ffDecode().av_channel_layout_compare(&swrInLayout, &layout) == 0;
    if (same) {
      ffResample().av_channel_layout_uninit(&layout);
      return true;
    }
    if (swr && !convertIntoFifo(nullptr)) {
      ffResample().av_channel_layout_uninit(&layout);
      return false;
    }
    ffResample().swr_free(&swr);
    const int rc = ffResample().swr_alloc_set_opts2(
        &swr, &outLayout, AV_SAMPLE_FMT_FLTP, outRate, &layout,
        static_cast<AVSampleFormat>(in->format), in->sample_rate, 0, nullptr);
    ffResample().av_channel_layout_uninit(&swrInLayout);
    swrInLayout = layout;  // takes ownership of the layout
    swrInRate = in->sample_rate;
    swrInFormat = in->format;
    return rc >= 0 && ffResample().swr_init(swr) >= 0;
  }

  // One step of decoding: takes a frame out of the decoder, or feeds it the next packet. Returns
  // false when the file cannot be read further.
  bool decodeMore() {
    int rc = ffDecode().avcodec_receive_frame(codec, frame);
    if (rc == 0) {
      errorsInARow = 0;
      const bool ok = prepareConverter(frame) && convertIntoFifo(frame);
      ffDecode().av_frame_unref(frame);
      return ok;
    }
    if (rc == AVERROR_EOF) {
      drained = true;
      return !swr || convertIntoFifo(nullptr);
    }
    if (rc != AVERROR(EAGAIN)) return ++errorsInARow < kMaxDecodeErrorsInARow;
    if (inputEnded) {  // the decoder wants more, but there is none: it has given all it had
      drained = true;
      return !swr || convertIntoFifo(nullptr);
    }
    rc = ffDecode().av_read_frame(format, packet);
    if (rc == AVERROR_EXIT) return false;  // cancelled: what was read so far is not all there is
    if (rc < 0) {
      // The end of the file, or a file cut short: drain what the decoder still holds.
      inputEnded = true;
      ffDecode().avcodec_send_packet(codec, nullptr);
      return true;
    }
    if (packet->stream_index == stream) {
      rc = ffDecode().avcodec_send_packet(codec, packet);
      // A damaged packet is skipped, as players do; many in a row mean the file is unreadable.
      if (rc < 0 && rc != AVERROR(EAGAIN) && ++errorsInARow >= kMaxDecodeErrorsInARow) {
        ffDecode().av_packet_unref(packet);
        return false;
      }
    }
    ffDecode().av_packet_unref(packet);
    return true;
  }
};

std::unique_ptr<FfmpegAudioFile> FfmpegAudioFile::open(const std::string& path, OpenError& error,
                                                       std::stop_token cancel) {
  const auto fail = [&](Failure failure, std::string reason) {
    error = OpenError{failure, std::move(reason)};
    return nullptr;
  };
  // FFmpeg's failures: a cancelled call may fail with any code.
  const auto ffmpegFailure = [&](int rc) {
    if (cancel.stop_requested()) return fail(Failure::cancelled, avErrorText(AVERROR_EXIT));
    return fail(Failure::unreadable, avErrorText(rc));
  };
  if (cancel.stop_requested()) return fail(Failure::cancelled, avErrorText(AVERROR_EXIT));

  // Look first, so that a device or a pipe is not even opened (opening some devices does
  // something), and an unreachable path reads as a missing file.
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    return fail(Failure::notFound, avErrorText(AVERROR(path.empty() ? ENOENT : errno)));
  }
  if (auto refusal = refusalFor(info.st_mode)) return fail(refusal->failure, refusal->reason);

  // Then open without waiting for a writer, and check what was opened: the path may have been
  // replaced since it was looked at. FFmpeg reads this same open file, never the path again.
  auto s = std::make_unique<State>();
  s->fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (s->fd < 0) {
    const int code = errno;
    if (code == ENOENT || code == ENOTDIR)
      return fail(Failure::notFound, avErrorText(AVERROR(code)));
    if (code == ENXIO) return fail(Failure::notRegularFile, "not a regular file");  // a socket
    return fail(Failure::unreadable, avErrorText(AVERROR(code)));
  }
  if (::fstat(s->fd, &info) != 0) return fail(Failure::unreadable, avErrorText(AVERROR(errno)));
  if (auto refusal = refusalFor(info.st_mode)) return fail(refusal->failure, refusal->reason);

  std::string missing;
  if (!loadFfmpegDecoding(&missing)) {
    return fail(Failure::unreadable, "FFmpeg cannot be loaded: " + missing);
  }
  s->ffmpegLoaded = true;
  quietFfmpegLogging();
  s->cancel = cancel;
  s->format = ffDecode().avformat_alloc_context();
  auto* buffer = static_cast<unsigned char*>(ffDecode().av_malloc(kIoBufferSize));
  if (buffer) {
    s->io = ffDecode().avio_alloc_context(buffer, kIoBufferSize, 0, s.get(), &State::readFile,
                                          nullptr, &State::seekFile);
  }
  if (!s->format || !s->io) {
    if (!s->io) ffDecode().av_free(buffer);
    return fail(Failure::unreadable, avErrorText(AVERROR(ENOMEM)));
  }
  s->format->pb = s->io;
  s->format->interrupt_callback = AVIOInterruptCB{&State::interrupted, s.get()};
  // A file source is that one file. The file itself is read through our I/O context, so no
  // protocol is needed: with none allowed, a playlist (an ffconcat or HLS list, which FFmpeg
  // recognises by its content) cannot send FFmpeg to other files, which might be FIFOs, or URLs.
  // FFmpeg hands the list on to the inner contexts such playlists open.
  AVDictionary* options = nullptr;
  ffDecode().av_dict_set(&options, "protocol_whitelist", "", 0);
  // The path names the file only for the demuxers' guesses from its extension. On failure FFmpeg
  // frees the format context, but not our I/O context.
  int rc = ffDecode().avformat_open_input(&s->format, path.c_str(), nullptr, &options);
  ffDecode().av_dict_free(&options);
  if (rc < 0) return ffmpegFailure(rc);
  if ((rc = ffDecode().avformat_find_stream_info(s->format, nullptr)) < 0) return ffmpegFailure(rc);
  const AVCodec* decoder = nullptr;
  rc = ffDecode().av_find_best_stream(s->format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (rc < 0) return ffmpegFailure(rc);
  s->stream = rc;
  for (unsigned i = 0; i < s->format->nb_streams; ++i) {
    if (static_cast<int>(i) != s->stream) s->format->streams[i]->discard = AVDISCARD_ALL;
  }
  AVStream* stream = s->format->streams[s->stream];
  s->codec = ffDecode().avcodec_alloc_context3(decoder);
  if (!s->codec) return fail(Failure::unreadable, avErrorText(AVERROR(ENOMEM)));
  if ((rc = ffDecode().avcodec_parameters_to_context(s->codec, stream->codecpar)) < 0 ||
      (rc = ffDecode().avcodec_open2(s->codec, decoder, nullptr)) < 0) {
    return ffmpegFailure(rc);
  }
  s->codec->pkt_timebase = stream->time_base;
  s->outRate = s->codec->sample_rate;
  s->outChannels = s->codec->ch_layout.nb_channels;
  if (s->outRate <= 0 || s->outChannels <= 0) {
    return fail(Failure::unreadable, avErrorText(AVERROR_INVALIDDATA));
  }
  usableLayout(s->outLayout, s->codec->ch_layout);
  s->scratch.resize(static_cast<size_t>(s->outChannels));
  s->fifo = ffDecode().av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, s->outChannels, 8192);
  s->packet = ffDecode().av_packet_alloc();
  s->frame = ffDecode().av_frame_alloc();
  if (!s->fifo || !s->packet || !s->frame) {
    return fail(Failure::unreadable, avErrorText(AVERROR(ENOMEM)));
  }
  const AudioFormat format{SampleType::float32, static_cast<double>(s->outRate),
                           static_cast<uint32_t>(s->outChannels), false};
  return std::unique_ptr<FfmpegAudioFile>(new FfmpegAudioFile(std::move(s), format));
}

FfmpegAudioFile::FfmpegAudioFile(std::unique_ptr<State> state, AudioFormat format)
    : state_(std::move(state)), format_(format) {}

FfmpegAudioFile::~FfmpegAudioFile() = default;

bool FfmpegAudioFile::read(PcmBuffer& buffer, std::stop_token cancel) {
  buffer.setFrameLength(0);
  if (!(buffer.format() == format_) || buffer.planeCount() != format_.channels) return false;
  if (state_->failed) return false;
  state_->cancel = std::move(cancel);
  const int want = static_cast<int>(std::min<uint32_t>(buffer.frameCapacity(), 1u << 30));
  while (ffDecode().av_audio_fifo_size(state_->fifo) < want && !state_->drained) {
    if (state_->cancel.stop_requested() || !state_->decodeMore()) {
      state_->failed = true;
      return false;
    }
  }
  const int frames = std::min(want, ffDecode().av_audio_fifo_size(state_->fifo));
  if (frames <= 0) return true;
  std::vector<void*> planes;
  for (uint32_t c = 0; c < buffer.planeCount(); ++c) planes.push_back(buffer.planeData(c));
  const int got = ffDecode().av_audio_fifo_read(state_->fifo, planes.data(), frames);
  if (got < 0) return false;
  buffer.setFrameLength(static_cast<uint32_t>(got));
  return true;
}

}  // namespace quorvel
