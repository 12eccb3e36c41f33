#include "service/AudioDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

namespace vell::service {

namespace {

// The upload as a read-only, seekable stream (MP4 keeps its index at the end).
struct MemoryStream {
    std::string_view bytes;
    std::int64_t position = 0;

    static int read(void* opaque, std::uint8_t* buffer, int size) {
        auto* self = static_cast<MemoryStream*>(opaque);
        auto remaining = static_cast<std::int64_t>(self->bytes.size()) - self->position;
        if (remaining <= 0) return AVERROR_EOF;
        int count = static_cast<int>(std::min<std::int64_t>(remaining, size));
        std::memcpy(buffer, self->bytes.data() + self->position, static_cast<size_t>(count));
        self->position += count;
        return count;
    }

    static std::int64_t seek(void* opaque, std::int64_t offset, int whence) {
        auto* self = static_cast<MemoryStream*>(opaque);
        auto size = static_cast<std::int64_t>(self->bytes.size());
        if (whence & AVSEEK_SIZE) return size;
        std::int64_t target = 0;
        switch (whence & ~AVSEEK_FORCE) {
            case SEEK_SET:
                target = offset;
                break;
            case SEEK_CUR:
                target = self->position + offset;
                break;
            case SEEK_END:
                target = size + offset;
                break;
            default:
                return AVERROR(EINVAL);
        }
        if (target < 0 || target > size) return AVERROR(EINVAL);
        self->position = target;
        return target;
    }
};

struct IoContextFree {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct FormatClose {
    void operator()(AVFormatContext* format) const { avformat_close_input(&format); }
};
struct CodecFree {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct SwrFree {
    void operator()(SwrContext* swr) const { swr_free(&swr); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};

// Converts decoded frames and appends them, enforcing the length limit.
class Resampler {
public:
    Resampler(const AVCodecContext& codec, double maxSeconds)
        : maxSamples_(static_cast<size_t>(maxSeconds * AudioDecoder::kSampleRate)) {
        AVChannelLayout in{};
        if (codec.ch_layout.nb_channels > 0 && codec.ch_layout.order != AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_copy(&in, &codec.ch_layout);
        else
            av_channel_layout_default(&in, codec.ch_layout.nb_channels > 0 ? codec.ch_layout.nb_channels : 1);
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* raw = nullptr;
        int rc = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_S16, AudioDecoder::kSampleRate, &in, codec.sample_fmt,
                                     codec.sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in);
        swr_.reset(raw);
        if (rc < 0 || swr_init(raw) < 0) throw AudioDecoder::Unreadable("unsupported sample layout");
    }

    // frame == nullptr drains what the resampler still holds.
    void convert(const AVFrame* frame) {
        int inSamples = frame ? frame->nb_samples : 0;
        int room = swr_get_out_samples(swr_.get(), inSamples);
        if (room < 0) throw AudioDecoder::Unreadable("resampling failed");
        size_t start = samples_.size();
        samples_.resize(start + static_cast<size_t>(room) + 32);
        auto* out = reinterpret_cast<std::uint8_t*>(samples_.data() + start);
        int produced = swr_convert(swr_.get(), &out, room + 32,
                                   frame ? const_cast<const std::uint8_t**>(frame->extended_data) : nullptr, inSamples);
        if (produced < 0) throw AudioDecoder::Unreadable("resampling failed");
        samples_.resize(start + static_cast<size_t>(produced));
        if (samples_.size() > maxSamples_) throw AudioDecoder::TooLong("recording too long");
    }

    std::vector<std::int16_t> take() { return std::move(samples_); }

private:
    size_t maxSamples_;
    std::unique_ptr<SwrContext, SwrFree> swr_;
    std::vector<std::int16_t> samples_;
};

}  // namespace

std::vector<std::int16_t> AudioDecoder::decode(std::string_view bytes, double maxSeconds) {
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_QUIET); });
    if (bytes.empty()) throw Unreadable("empty body");

    MemoryStream stream{bytes};
    constexpr int kBufferSize = 16 * 1024;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kBufferSize));
    if (!buffer) throw std::bad_alloc();
    AVIOContext* rawIo =
        avio_alloc_context(buffer, kBufferSize, 0, &stream, &MemoryStream::read, nullptr, &MemoryStream::seek);
    if (!rawIo) {
        av_free(buffer);
        throw std::bad_alloc();
    }
    std::unique_ptr<AVIOContext, IoContextFree> io(rawIo);

    AVFormatContext* rawFormat = avformat_alloc_context();
    if (!rawFormat) throw std::bad_alloc();
    rawFormat->pb = io.get();
    rawFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&rawFormat, nullptr, nullptr, nullptr) < 0) throw Unreadable("not a known audio format");
    std::unique_ptr<AVFormatContext, FormatClose> format(rawFormat);
    if (avformat_find_stream_info(format.get(), nullptr) < 0) throw Unreadable("no stream information");

    const AVCodec* decoderCodec = nullptr;
    int streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoderCodec, 0);
    if (streamIndex < 0 || !decoderCodec) throw Unreadable("no audio stream");

    std::unique_ptr<AVCodecContext, CodecFree> codec(avcodec_alloc_context3(decoderCodec));
    if (!codec) throw std::bad_alloc();
    if (avcodec_parameters_to_context(codec.get(), format->streams[streamIndex]->codecpar) < 0 ||
        avcodec_open2(codec.get(), decoderCodec, nullptr) < 0)
        throw Unreadable("audio codec cannot be opened");
    if (codec->sample_rate <= 0 || codec->sample_rate > 384000 || codec->ch_layout.nb_channels > 64)
        throw Unreadable("implausible audio parameters");

    Resampler resampler(*codec, maxSeconds);
    std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    if (!packet || !frame) throw std::bad_alloc();

    bool decodedAny = false;
    auto drainFrames = [&] {
        for (;;) {
            int rc = avcodec_receive_frame(codec.get(), frame.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
            if (rc < 0) throw Unreadable("audio cannot be decoded");
            resampler.convert(frame.get());
            decodedAny = true;
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(format.get(), packet.get()) >= 0) {
        if (packet->stream_index == streamIndex) {
            int rc = avcodec_send_packet(codec.get(), packet.get());
            // A damaged packet is skipped; a stream with nothing decodable is refused below.
            if (rc >= 0 || rc == AVERROR(EAGAIN)) drainFrames();
        }
        av_packet_unref(packet.get());
    }
    avcodec_send_packet(codec.get(), nullptr);
    drainFrames();
    if (!decodedAny) throw Unreadable("no audio could be decoded");
    resampler.convert(nullptr);
    return resampler.take();
}

}  // namespace vell::service
