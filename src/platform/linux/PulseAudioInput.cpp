#include "platform/linux/PulseAudioInput.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/Folders.h"

namespace vell::platform {
namespace {

constexpr std::size_t samplesPerRead = PulseAudioInput::sampleRate / 100;  // 10 ms: bounds how long a stop waits
constexpr std::size_t samplesPerLevel = PulseAudioInput::sampleRate / 10;  // 100 ms
constexpr float silenceLevel = -160;                                       // dBFS reported for digital silence

std::string ffmpegText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct SimpleDeleter {
    void operator()(pa_simple* stream) const { pa_simple_free(stream); }
};
struct FormatDeleter {
    void operator()(AVFormatContext* format) const {
        if (format->pb) avio_closep(&format->pb);
        avformat_free_context(format);
    }
};
struct CodecDeleter {
    void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// AAC in an MPEG-4 audio file, fed 16-bit mono samples as they arrive.
class AacFileWriter {
public:
    explicit AacFileWriter(const std::filesystem::path& file) : file_(file) {
        try {
            open();
        } catch (...) {
            format_.reset();
            std::error_code ignored;
            std::filesystem::remove(file_, ignored);
            throw;
        }
    }

    void write(const std::int16_t* samples, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) pending_.push_back(static_cast<float>(samples[i]) / 32768.0f);
        const auto frameSize = static_cast<std::size_t>(codec_->frame_size);
        std::size_t used = 0;
        while (pending_.size() - used >= frameSize) {
            encodeSamples(pending_.data() + used, frameSize);
            used += frameSize;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    }

    // Encodes what is left (a short last frame is allowed), drains the encoder
    // and writes the container's index, so the file is complete.
    void finish() {
        // The MPEG-4 writer leaves out a track without samples; one silent
        // sample keeps even an empty take a playable audio file.
        if (nextPts_ == 0 && pending_.empty()) pending_.push_back(0.0f);
        if (!pending_.empty()) encodeSamples(pending_.data(), pending_.size());
        pending_.clear();
        encode(nullptr);
        if (!failed_) av_write_trailer(format_.get());
        avio_closep(&format_->pb);
    }

private:
    void open() {
        AVFormatContext* format = nullptr;
        int rc = avformat_alloc_output_context2(&format, nullptr, "ipod", file_.c_str());
        if (rc < 0 || !format) throw AudioInput::Failure("The MPEG-4 audio writer is missing: " + ffmpegText(rc));
        format_.reset(format);

        const AVCodec* aac = avcodec_find_encoder_by_name("aac");
        if (!aac) throw AudioInput::Failure("The AAC encoder is missing.");
        codec_.reset(avcodec_alloc_context3(aac));
        codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        codec_->sample_rate = PulseAudioInput::sampleRate;
        codec_->time_base = {1, PulseAudioInput::sampleRate};
        av_channel_layout_default(&codec_->ch_layout, 1);
        // No bit rate is set: the encoder keeps its own default.
        if (format_->oformat->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((rc = avcodec_open2(codec_.get(), aac, nullptr)) < 0)
            throw AudioInput::Failure("The AAC encoder cannot start: " + ffmpegText(rc));

        stream_ = avformat_new_stream(format_.get(), nullptr);
        if (!stream_) throw AudioInput::Failure("The audio file cannot be prepared.");
        avcodec_parameters_from_context(stream_->codecpar, codec_.get());
        stream_->time_base = codec_->time_base;

        // A voice is private from its first byte: the file exists, empty and
        // readable by its owner only, before the writer opens it.
        const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 || ::fchmod(fd, 0600) != 0) {
            if (fd >= 0) ::close(fd);
            throw AudioInput::Failure("The audio file cannot be written.");
        }
        ::close(fd);
        if ((rc = avio_open(&format_->pb, file_.c_str(), AVIO_FLAG_WRITE)) < 0)
            throw AudioInput::Failure("The audio file cannot be written: " + ffmpegText(rc));
        if ((rc = avformat_write_header(format_.get(), nullptr)) < 0)
            throw AudioInput::Failure("The audio file cannot be written: " + ffmpegText(rc));

        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        frame_->format = codec_->sample_fmt;
        frame_->sample_rate = codec_->sample_rate;
        frame_->nb_samples = codec_->frame_size;
        av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout);
        if (av_frame_get_buffer(frame_.get(), 0) < 0) throw AudioInput::Failure("Out of memory for audio.");
        pending_.reserve(static_cast<std::size_t>(codec_->frame_size) + samplesPerRead);
    }

    void encodeSamples(const float* samples, std::size_t count) {
        if (failed_ || av_frame_make_writable(frame_.get()) < 0) return;
        frame_->nb_samples = static_cast<int>(count);
        std::copy_n(samples, count, reinterpret_cast<float*>(frame_->data[0]));
        frame_->pts = nextPts_;
        nextPts_ += static_cast<std::int64_t>(count);
        encode(frame_.get());
    }

    // A write error (disk full) stops the file from growing; capture goes on
    // so the take still ends normally.
    void encode(AVFrame* frame) {
        if (failed_ || avcodec_send_frame(codec_.get(), frame) < 0) return;
        while (avcodec_receive_packet(codec_.get(), packet_.get()) == 0) {
            av_packet_rescale_ts(packet_.get(), codec_->time_base, stream_->time_base);
            packet_->stream_index = stream_->index;
            if (av_interleaved_write_frame(format_.get(), packet_.get()) < 0) failed_ = true;
        }
    }

    std::filesystem::path file_;
    std::unique_ptr<AVFormatContext, FormatDeleter> format_;
    std::unique_ptr<AVCodecContext, CodecDeleter> codec_;
    AVStream* stream_ = nullptr;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::vector<float> pending_;
    std::int64_t nextPts_ = 0;
    bool failed_ = false;
};

// Average power of the latest 100 ms, kept as a ring of squared samples.
class LevelMeter {
public:
    float add(const std::int16_t* samples, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            const double value = samples[i] / 32768.0;
            squares_[next_] = value * value;
            next_ = (next_ + 1) % squares_.size();
            filled_ = std::min(filled_ + 1, squares_.size());
        }
        double sum = 0;
        for (std::size_t i = 0; i < filled_; ++i) sum += squares_[i];
        const double mean = filled_ ? sum / static_cast<double>(filled_) : 0;
        if (mean <= 0) return silenceLevel;
        return std::max(silenceLevel, static_cast<float>(10 * std::log10(mean)));
    }

private:
    std::vector<double> squares_ = std::vector<double>(samplesPerLevel, 0.0);
    std::size_t next_ = 0;
    std::size_t filled_ = 0;
};

// One take: the capture thread reads 10 ms at a time, meters and encodes it.
// What the thread uses is shared with it, so a stop that cannot wait for a
// read from a hung sound server leaves the thread its own state and returns.
class PulseCapture final : public AudioInput::Capture {
public:
    // Longest wait for the capture thread's current read at a stop.
    static constexpr auto stopLimit = std::chrono::milliseconds(500);

    PulseCapture(std::unique_ptr<pa_simple, SimpleDeleter> stream, std::unique_ptr<AacFileWriter> writer)
        : take_(std::make_shared<Take>(std::move(stream), std::move(writer))),
          thread_([take = take_] { take->run(); }) {}

    ~PulseCapture() override { finish(); }

    double duration() const override {
        return static_cast<double>(take_->samples.load()) / PulseAudioInput::sampleRate;
    }
    float averagePower() const override { return take_->level.load(); }
    bool lost() const override { return take_->lost.load(); }

    void finish() override {
        if (finished_) return;
        finished_ = true;
        {
            std::unique_lock lock(take_->mutex);
            take_->stopping = true;
            take_->ended.wait_for(lock, stopLimit, [&] { return take_->done; });
            // Nothing more is written once stopping is set; the file is completed here.
            take_->writer->finish();
        }
        if (take_->done)
            thread_.join();
        else
            thread_.detach();  // still inside a read: it ends by itself when the server answers
    }

private:
    struct Take {
        Take(std::unique_ptr<pa_simple, SimpleDeleter> stream, std::unique_ptr<AacFileWriter> writer)
            : stream(std::move(stream)), writer(std::move(writer)) {}

        void run() {
            std::vector<std::int16_t> chunk(samplesPerRead);
            LevelMeter meter;
            for (;;) {
                int error = 0;
                const bool read =
                    pa_simple_read(stream.get(), chunk.data(), chunk.size() * sizeof(std::int16_t), &error) >= 0;
                std::lock_guard lock(mutex);
                if (!read) lost = !stopping;
                if (!read || stopping) break;
                writer->write(chunk.data(), chunk.size());
                level = meter.add(chunk.data(), chunk.size());
                samples += chunk.size();
            }
            std::lock_guard lock(mutex);
            done = true;
            ended.notify_all();
        }

        std::unique_ptr<pa_simple, SimpleDeleter> stream;
        std::unique_ptr<AacFileWriter> writer;
        std::atomic<std::uint64_t> samples{0};
        std::atomic<float> level{silenceLevel};
        std::atomic<bool> lost{false};  // the sound server went away mid-take
        std::mutex mutex;               // the writer, stopping and done
        std::condition_variable ended;
        bool stopping = false;
        bool done = false;
    };

    std::shared_ptr<Take> take_;
    bool finished_ = false;
    std::thread thread_;  // last: starts once everything it uses exists
};

// ---- the default source's description, through the asynchronous API ------------

struct MainloopDeleter {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct ContextDeleter {
    void operator()(pa_context* context) const {
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct OperationDeleter {
    void operator()(pa_operation* operation) const { pa_operation_unref(operation); }
};

using Deadline = std::chrono::steady_clock::time_point;

// Runs the loop until `done` holds; false on a loop failure or at the deadline.
bool iterateUntil(pa_mainloop* loop, const std::function<bool()>& done, Deadline deadline) {
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        if (pa_mainloop_prepare(loop, 50'000) < 0 || pa_mainloop_poll(loop) < 0 || pa_mainloop_dispatch(loop) < 0)
            return false;
    }
    return true;
}

bool awaitOperation(pa_mainloop* loop, pa_operation* raw, Deadline deadline) {
    if (!raw) return false;
    std::unique_ptr<pa_operation, OperationDeleter> operation(raw);
    return iterateUntil(
        loop, [&] { return pa_operation_get_state(operation.get()) != PA_OPERATION_RUNNING; }, deadline);
}

// The default source's description on a connected context; nothing when it
// has none, is a monitor, or the server does not answer by the deadline.
std::optional<std::string> describeDefaultSource(pa_mainloop* loop, pa_context* context, Deadline deadline) {
    std::string sourceName;
    auto onServer = [](pa_context*, const pa_server_info* info, void* target) {
        if (info && info->default_source_name) *static_cast<std::string*>(target) = info->default_source_name;
    };
    if (!awaitOperation(loop, pa_context_get_server_info(context, onServer, &sourceName), deadline) ||
        sourceName.empty())
        return std::nullopt;

    std::optional<std::string> description;
    auto onSource = [](pa_context*, const pa_source_info* info, int endOfList, void* target) {
        if (endOfList || !info) return;
        // The monitor of an output hears what is played, not the person.
        if (info->monitor_of_sink != PA_INVALID_INDEX) return;
        *static_cast<std::optional<std::string>*>(target) = info->description ? info->description : info->name;
    };
    if (!awaitOperation(loop, pa_context_get_source_info_by_name(context, sourceName.c_str(), onSource, &description),
                        deadline))
        return std::nullopt;
    return description;
}

}  // namespace

// The microphone's name, kept current on a thread of its own from the sound
// server's server and source events: asking answers from memory, and a hung
// or missing server never holds the caller. Without a server it tries again
// every two seconds.
class PulseAudioInput::SourceWatch {
public:
    SourceWatch() : thread_([this] { run(); }) {}
    ~SourceWatch() {
        stopping_ = true;
        thread_.join();
    }

    std::optional<std::string> name() {
        // Only the first question may wait, briefly, for the first answer.
        std::unique_lock lock(mutex_);
        answered_.wait_for(lock, std::chrono::milliseconds(500), [&] { return known_; });
        return name_;
    }

private:
    static constexpr auto answerLimit = std::chrono::seconds(2);
    static constexpr auto retryPause = std::chrono::seconds(2);

    void publish(std::optional<std::string> name) {
        std::lock_guard lock(mutex_);
        name_ = std::move(name);
        known_ = true;
        answered_.notify_all();
    }

    void run() {
        while (!stopping_) {
            watchOneConnection();
            for (auto until = std::chrono::steady_clock::now() + retryPause;
                 !stopping_ && std::chrono::steady_clock::now() < until;)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    // Until the connection ends (or we stop): describe the default source
    // again after every change the server reports.
    void watchOneConnection() {
        std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
        if (!loop) return publish(std::nullopt);
        std::unique_ptr<pa_context, ContextDeleter> context(pa_context_new(pa_mainloop_get_api(loop.get()), "Vell"));
        if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return publish(std::nullopt);
        auto ready = [&] { return pa_context_get_state(context.get()) == PA_CONTEXT_READY; };
        auto ended = [&] { return stopping_ || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get())); };
        iterateUntil(
            loop.get(), [&] { return ready() || ended(); }, std::chrono::steady_clock::now() + answerLimit);
        if (!ready()) return publish(std::nullopt);

        bool changed = true;
        pa_context_set_subscribe_callback(
            context.get(),
            [](pa_context*, pa_subscription_event_type_t, std::uint32_t, void* flag) {
                *static_cast<bool*>(flag) = true;
            },
            &changed);
        pa_operation_unref(pa_context_subscribe(
            context.get(),
            static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE), nullptr,
            nullptr));
        while (!ended()) {
            if (changed) {
                changed = false;
                publish(
                    describeDefaultSource(loop.get(), context.get(), std::chrono::steady_clock::now() + answerLimit));
                continue;
            }
            if (pa_mainloop_prepare(loop.get(), 50'000) < 0 || pa_mainloop_poll(loop.get()) < 0 ||
                pa_mainloop_dispatch(loop.get()) < 0)
                break;
        }
        if (!stopping_) publish(std::nullopt);  // the server went away
    }

    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable answered_;
    bool known_ = false;
    std::optional<std::string> name_;
    std::thread thread_;  // last: starts once everything it uses exists
};

PulseAudioInput::PulseAudioInput() : sources_(std::make_unique<SourceWatch>()) {
    // The encoder's statistics and notices would land on standard error.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

PulseAudioInput::~PulseAudioInput() = default;

std::unique_ptr<AudioInput::Capture> PulseAudioInput::record(const std::filesystem::path& file) {
    const pa_sample_spec sampleFormat{PA_SAMPLE_S16NE, sampleRate, 1};
    pa_buffer_attr buffer{};
    buffer.maxlength = static_cast<std::uint32_t>(-1);
    buffer.tlength = buffer.prebuf = buffer.minreq = static_cast<std::uint32_t>(-1);
    buffer.fragsize = static_cast<std::uint32_t>(samplesPerRead * sizeof(std::int16_t));
    int error = 0;
    std::unique_ptr<pa_simple, SimpleDeleter> stream(pa_simple_new(
        nullptr, "Vell", PA_STREAM_RECORD, nullptr, "Dictation", &sampleFormat, nullptr, &buffer, &error));
    if (!stream) throw Failure(std::string("The microphone cannot be opened: ") + pa_strerror(error));

    auto writer = std::make_unique<AacFileWriter>(file);
    return std::make_unique<PulseCapture>(std::move(stream), std::move(writer));
}

Task<bool> PulseAudioInput::requestAccess() { co_return true; }

std::optional<std::string> PulseAudioInput::defaultDeviceName() { return sources_->name(); }

std::filesystem::path PulseAudioInput::temporaryDirectory() {
    // Recordings hold a person's voice: they live in a folder only this user
    // can open, in the per-user runtime folder when there is one.
    const uid_t user = ::getuid();
    auto isPrivate = [user](const std::filesystem::path& folder) {
        ::mkdir(folder.c_str(), 0700);
        struct stat info {};
        if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != user) return false;
        return (info.st_mode & 0777) == 0700 || ::chmod(folder.c_str(), 0700) == 0;
    };
    std::filesystem::path folder;
    if (auto runtime = folders::runtime(); !runtime.empty())
        folder = runtime / "vell";
    else {
        std::error_code error;
        auto shared = std::filesystem::temp_directory_path(error);
        folder = (error ? std::filesystem::path("/tmp") : shared) / ("vell-" + std::to_string(user));
    }
    if (isPrivate(folder)) return folder;
    // Someone else holds that name: a fresh folder of our own for this run.
    std::string pattern = (folder.parent_path() / "vell-XXXXXX").string();
    if (::mkdtemp(pattern.data())) return pattern;
    throw Failure("No private folder for recordings.");
}

}  // namespace vell::platform
