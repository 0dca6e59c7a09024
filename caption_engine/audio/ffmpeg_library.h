// The FFmpeg functions the engine calls, looked up in FFmpeg's libraries the first time they are
// needed rather than linked: FFmpeg's decoders bring in over a hundred libraries of their own,
// which a helper that only answers commands, or only captures, need not load. Resampling (for
// every session) and file decoding (for file sources) load separately, so capture loads only
// libswresample and libavutil. The libraries of the FFmpeg version the engine was built with are
// loaded, by their sonames.
//
// Threads: any thread; the first call loads, later calls share the result.
#pragma once

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace quorvel {

// X(library, function) for each function, library being one of avutil, avcodec, avformat and
// swresample.
#define QUORVEL_FFMPEG_RESAMPLING_FUNCTIONS(X) \
  X(avutil, av_channel_layout_default)         \
  X(avutil, av_channel_layout_uninit)          \
  X(swresample, swr_alloc_set_opts2)           \
  X(swresample, swr_convert)                   \
  X(swresample, swr_free)                      \
  X(swresample, swr_get_out_samples)           \
  X(swresample, swr_init)                      \
  X(swresample, swr_set_matrix)

#define QUORVEL_FFMPEG_DECODING_FUNCTIONS(X) \
  X(avutil, av_audio_fifo_alloc)             \
  X(avutil, av_audio_fifo_free)              \
  X(avutil, av_audio_fifo_read)              \
  X(avutil, av_audio_fifo_size)              \
  X(avutil, av_audio_fifo_write)             \
  X(avutil, av_channel_layout_check)         \
  X(avutil, av_channel_layout_compare)       \
  X(avutil, av_channel_layout_copy)          \
  X(avutil, av_dict_free)                    \
  X(avutil, av_dict_set)                     \
  X(avutil, av_frame_alloc)                  \
  X(avutil, av_frame_free)                   \
  X(avutil, av_frame_unref)                  \
  X(avutil, av_free)                         \
  X(avutil, av_freep)                        \
  X(avutil, av_log_set_level)                \
  X(avutil, av_malloc)                       \
  X(avutil, av_strerror)                     \
  X(avcodec, av_packet_alloc)                \
  X(avcodec, av_packet_free)                 \
  X(avcodec, av_packet_unref)                \
  X(avcodec, avcodec_alloc_context3)         \
  X(avcodec, avcodec_free_context)           \
  X(avcodec, avcodec_open2)                  \
  X(avcodec, avcodec_parameters_to_context)  \
  X(avcodec, avcodec_receive_frame)          \
  X(avcodec, avcodec_send_packet)            \
  X(avformat, av_find_best_stream)           \
  X(avformat, av_read_frame)                 \
  X(avformat, avformat_alloc_context)        \
  X(avformat, avformat_close_input)          \
  X(avformat, avformat_find_stream_info)     \
  X(avformat, avformat_open_input)           \
  X(avformat, avio_alloc_context)            \
  X(avformat, avio_context_free)

#define QUORVEL_FFMPEG_FUNCTION_FIELD(library, name) decltype(&::name) name = nullptr;

// libswresample and what it needs from libavutil.
struct FfmpegResampling {
  QUORVEL_FFMPEG_RESAMPLING_FUNCTIONS(QUORVEL_FFMPEG_FUNCTION_FIELD)
};

// libavformat, libavcodec and libavutil, for reading files (which resample too).
struct FfmpegDecoding {
  QUORVEL_FFMPEG_DECODING_FUNCTIONS(QUORVEL_FFMPEG_FUNCTION_FIELD)
};

#undef QUORVEL_FFMPEG_FUNCTION_FIELD

// The functions, loading their libraries on the first call; nothing when a library or a function
// cannot be found, with the reason in `error` when one is given.
const FfmpegResampling* loadFfmpegResampling(std::string* error = nullptr);
const FfmpegDecoding* loadFfmpegDecoding(std::string* error = nullptr);

}  // namespace quorvel
