#pragma once
// What the audio integration tests need around the virtual microphone of the
// headless session: sounds played into it, and a look inside the files made.

#include <spawn.h>
#include <sys/wait.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace vell::test {

// Polls `done` every 5 ms until it holds or the time-out passes.
inline bool waitFor(const std::function<bool()>& done, double timeoutSeconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The level on the controller's meter: -50 dBFS and below is empty, 0 dBFS full.
inline double meterScale(float decibels) { return std::clamp((decibels + 50.0) / 50.0, 0.0, 1.0); }

// A child process started with the given arguments; waited for on destruction.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> arguments) {
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
    }
    ~ChildProcess() { wait(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    // The exit status, or -1 when it did not run.
    int wait() {
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exitStatus_;
    }

private:
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

// Plays a sound file into the virtual microphone (what the default source hears).
inline std::unique_ptr<ChildProcess> playIntoMicrophone(const std::filesystem::path& sound) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{"paplay", "-d", "vell_mic_sink", sound.string()});
}

// Speech of a known text by flite.
inline std::filesystem::path speechFile(const std::string& text, const std::filesystem::path& file) {
    ChildProcess flite({"flite", "-t", text, "-o", file.string()});
    return flite.wait() == 0 ? file : std::filesystem::path();
}

// A 440 Hz sine at 16 kHz mono whose RMS is `decibels` dBFS.
inline std::filesystem::path toneFile(double decibels, double seconds, const std::filesystem::path& file) {
    constexpr int rate = 16000;
    const double amplitude = std::pow(10.0, decibels / 20.0) * std::sqrt(2.0);
    const auto count = static_cast<std::uint32_t>(seconds * rate);
    std::vector<std::int16_t> samples(count);
    for (std::uint32_t i = 0; i < count; ++i)
        samples[i] = static_cast<std::int16_t>(std::lround(32767 * amplitude * std::sin(2 * M_PI * 440 * i / rate)));
    std::ofstream out(file, std::ios::binary);
    auto put32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto put16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out << "RIFF";
    put32(36 + count * 2);
    out << "WAVEfmt ";
    put32(16), put16(1), put16(1), put32(rate), put32(rate * 2), put16(2), put16(16);
    out << "data";
    put32(count * 2);
    out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(count * 2));
    return file;
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
