#pragma once
// What the audio integration tests need around the virtual microphone of the
// headless session: sounds played into it, and a look inside the files made.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/AudioFixture.h"
#include "support/ChildProcesses.h"
#include "support/Polling.h"

namespace vell::test {

// Plays a sound file into the virtual microphone (what the default source hears).
inline std::unique_ptr<ChildProcess> playIntoMicrophone(const std::filesystem::path& sound) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{"paplay", "-d", "vell_mic_sink", sound.string()});
}

// What a recording holds, as FFmpeg reads it back.
struct AudioFileFacts {
    bool opened = false;
    std::string container;
    AVCodecID codec = AV_CODEC_ID_NONE;
    int sampleRate = 0;
    int channels = 0;
    double duration = -1;  // the container's, in seconds
    std::int64_t decodedSamples = 0;
    double loudestWindowDecibels = -160;  // RMS of the loudest 100 ms decoded
};

inline AudioFileFacts inspect(const std::filesystem::path& file) {
    AudioFileFacts facts;
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, file.c_str(), nullptr, nullptr) < 0) return facts;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> owner(
        format, [](AVFormatContext* f) { avformat_close_input(&f); });
    if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams != 1) return facts;
    facts.opened = true;
    facts.container = format->iformat->name;
    const AVStream* stream = format->streams[0];
    facts.codec = stream->codecpar->codec_id;
    facts.sampleRate = stream->codecpar->sample_rate;
    facts.channels = stream->codecpar->ch_layout.nb_channels;
    if (format->duration != AV_NOPTS_VALUE) facts.duration = static_cast<double>(format->duration) / AV_TIME_BASE;

    const AVCodec* decoder = avcodec_find_decoder(facts.codec);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> codec(
        avcodec_alloc_context3(decoder), [](AVCodecContext* c) { avcodec_free_context(&c); });
    avcodec_parameters_to_context(codec.get(), stream->codecpar);
    if (avcodec_open2(codec.get(), decoder, nullptr) < 0) return facts;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<float> samples;
    auto drain = [&] {
        while (avcodec_receive_frame(codec.get(), frame) == 0) {
            const auto* data = reinterpret_cast<const float*>(frame->data[0]);  // the AAC decoder gives planar float
            samples.insert(samples.end(), data, data + frame->nb_samples);
        }
    };
    while (av_read_frame(format, packet) >= 0) {
        avcodec_send_packet(codec.get(), packet);
        av_packet_unref(packet);
        drain();
    }
    avcodec_send_packet(codec.get(), nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&packet);

    facts.decodedSamples = static_cast<std::int64_t>(samples.size());
    const std::size_t window = 1600;
    for (std::size_t start = 0; start + window <= samples.size(); start += window / 2) {
        double sum = 0;
        for (std::size_t i = start; i < start + window; ++i) sum += double(samples[i]) * samples[i];
        if (sum > 0) facts.loudestWindowDecibels = std::max(facts.loudestWindowDecibels, 10 * std::log10(sum / window));
    }
    return facts;
}

}  // namespace vell::test
