#include "platform/linux/PulseAudioInput.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>

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

// The server hands audio over in 10 ms blocks: what a stop leaves unsent is at most that.
constexpr std::size_t samplesPerFragment = PulseAudioInput::sampleRate / 100;
constexpr std::size_t samplesPerLevel = PulseAudioInput::sampleRate / 10;  // 100 ms
constexpr float silenceLevel = -160;                                       // dBFS reported for digital silence

std::string ffmpegText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

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
        AVDictionary* options = nullptr;
        // The fast coder costs about a third less of a core than the default
        // search at the same (default) bit rate; speech loses nothing audible.
        av_dict_set(&options, "aac_coder", "fast", 0);
        rc = avcodec_open2(codec_.get(), aac, &options);
        av_dict_free(&options);
        if (rc < 0) throw AudioInput::Failure("The AAC encoder cannot start: " + ffmpegText(rc));

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
        pending_.reserve(static_cast<std::size_t>(codec_->frame_size) + samplesPerFragment);
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

// The sound server, connected at the first take and kept, so that a start only
// opens a stream. Audio arrives on PulseAudio's own thread (its threaded main
// loop), which meters and encodes it as it comes: nothing is ever in flight
// that a stop waits for. A stop takes the loop's lock (held at most while one
// block is encoded), keeps what has reached us, cuts the stream and completes
// the file, so a hung server cannot hold it either.
class PulseAudioInput::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection() : loop_(pa_threaded_mainloop_new()) {
        if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) throw Failure("The sound system cannot be started.");
    }
    ~Connection() {
        pa_threaded_mainloop_stop(loop_);
        context_.reset();
        pa_threaded_mainloop_free(loop_);
    }

    std::unique_ptr<Capture> record(const std::filesystem::path& file) {
        return std::make_unique<Take>(shared_from_this(), file);
    }

private:
    class Lock {
    public:
        explicit Lock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

    struct StreamCloser {
        pa_threaded_mainloop* loop;
        void operator()(pa_stream* stream) const {
            Lock lock(loop);  // the loop's lock is recursive
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_disconnect(stream);  // queued for the server, not waited for
            pa_stream_unref(stream);
        }
    };
    using Stream = std::unique_ptr<pa_stream, StreamCloser>;

    // One take, fed by the loop's thread; everything but the atomics is
    // touched under the loop's lock only.
    class Take final : public Capture {
    public:
        Take(std::shared_ptr<Connection> connection, const std::filesystem::path& file)
            : connection_(std::move(connection)), stream_(nullptr, StreamCloser{connection_->loop_}) {
            Lock lock(connection_->loop_);
            stream_ = connection_->openStream(this);
            writer_ = std::make_unique<AacFileWriter>(file);
            // Audio that came while the file was opened waits in the stream for the next block.
            pa_stream_set_read_callback(stream_.get(), &Take::onReadable, this);
        }
        ~Take() override { finish(); }

        double duration() const override { return static_cast<double>(samples_.load()) / sampleRate; }
        float averagePower() const override { return level_.load(); }
        bool lost() const override { return lost_.load(); }

        void finish() override {
            if (!stream_) return;
            {
                Lock lock(connection_->loop_);
                if (pa_stream_get_state(stream_.get()) == PA_STREAM_READY) drain(stream_.get());
                stream_.reset();
            }
            writer_->finish();
        }

    private:
        friend class Connection;

        static void onReadable(pa_stream* stream, std::size_t, void* take) { static_cast<Take*>(take)->drain(stream); }

        void drain(pa_stream* stream) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            while (pa_stream_peek(stream, &data, &bytes) == 0 && bytes > 0) {
                const std::size_t count = bytes / sizeof(std::int16_t);
                // A hole (audio the server dropped) is silence of its length.
                if (!data) silence_.assign(count, 0);
                const auto* samples = data ? static_cast<const std::int16_t*>(data) : silence_.data();
                writer_->write(samples, count);
                level_ = meter_.add(samples, count);
                samples_ += count;
                pa_stream_drop(stream);
            }
        }

        std::shared_ptr<Connection> connection_;
        Stream stream_;
        std::unique_ptr<AacFileWriter> writer_;
        LevelMeter meter_;
        std::vector<std::int16_t> silence_;
        std::atomic<std::uint64_t> samples_{0};
        std::atomic<float> level_{silenceLevel};
        std::atomic<bool> lost_{false};  // the sound server or the source went away mid-take
    };

    static void wake(pa_threaded_mainloop* loop) { pa_threaded_mainloop_signal(loop, 0); }

    Failure failure() const {
        return Failure(std::string("The microphone cannot be opened: ") +
                       pa_strerror(context_ ? pa_context_errno(context_.get()) : PA_ERR_CONNECTIONREFUSED));
    }

    // The connected context, connecting anew when there is none or the last
    // one ended (the server restarted). Under the lock.
    pa_context* context() {
        if (context_ && pa_context_get_state(context_.get()) == PA_CONTEXT_READY) return context_.get();
        context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop_), "Vell"));
        if (!context_) throw failure();
        pa_context_set_state_callback(
            context_.get(), [](pa_context*, void* loop) { wake(static_cast<pa_threaded_mainloop*>(loop)); }, loop_);
        if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) throw failure();
        for (pa_context_state_t state; (state = pa_context_get_state(context_.get())) != PA_CONTEXT_READY;) {
            if (!PA_CONTEXT_IS_GOOD(state)) throw failure();
            pa_threaded_mainloop_wait(loop_);
        }
        return context_.get();
    }

    // A recording stream from the default source, ready. Under the lock.
    // FIXME: a server that accepts the connection but never answers holds the start (as it always has).
    Stream openStream(Take* take) {
        const pa_sample_spec format{PA_SAMPLE_S16NE, sampleRate, 1};
        Stream stream(pa_stream_new(context(), "Dictation", &format, nullptr), StreamCloser{loop_});
        if (!stream) throw failure();
        pa_stream_set_state_callback(
            stream.get(),
            [](pa_stream* stream, void* take) {
                auto* self = static_cast<Take*>(take);
                if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) self->lost_ = true;
                wake(self->connection_->loop_);
            },
            take);
        pa_buffer_attr buffer{};
        buffer.maxlength = buffer.tlength = buffer.prebuf = buffer.minreq = static_cast<std::uint32_t>(-1);
        buffer.fragsize = static_cast<std::uint32_t>(samplesPerFragment * sizeof(std::int16_t));
        if (pa_stream_connect_record(stream.get(), nullptr, &buffer, PA_STREAM_ADJUST_LATENCY) < 0) throw failure();
        for (pa_stream_state_t state; (state = pa_stream_get_state(stream.get())) != PA_STREAM_READY;) {
            if (!PA_STREAM_IS_GOOD(state)) throw failure();
            pa_threaded_mainloop_wait(loop_);
        }
        return stream;
    }

    pa_threaded_mainloop* loop_;
    std::unique_ptr<pa_context, ContextDeleter> context_;
};

// The microphone's name, kept current on a thread of its own from the sound
// server's server and source events: asking answers from memory, and a hung
// or missing server never holds the caller. Without a server it tries again
// every two seconds.
class PulseAudioInput::SourceWatch {
public:
    SourceWatch() : thread_([this] { run(); }) {}
    ~SourceWatch() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            if (loop_) pa_mainloop_wakeup(loop_);
            woken_.notify_all();
        }
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
            std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
            setLoop(loop.get());
            if (loop)
                watchOneConnection(loop.get());
            else
                publish(std::nullopt);
            setLoop(nullptr);
            std::unique_lock lock(mutex_);
            woken_.wait_for(lock, retryPause, [&] { return stopping_.load(); });
        }
    }

    // The loop the destructor wakes; between connections there is none.
    void setLoop(pa_mainloop* loop) {
        std::lock_guard lock(mutex_);
        loop_ = loop;
    }

    // Until the connection ends (or we stop): describe the default source
    // again after every change the server reports, asleep in between.
    void watchOneConnection(pa_mainloop* loop) {
        std::unique_ptr<pa_context, ContextDeleter> context(pa_context_new(pa_mainloop_get_api(loop), "Vell"));
        if (!context || pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return publish(std::nullopt);
        auto ready = [&] { return pa_context_get_state(context.get()) == PA_CONTEXT_READY; };
        auto ended = [&] { return stopping_ || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get())); };
        iterateUntil(
            loop, [&] { return ready() || ended(); }, std::chrono::steady_clock::now() + answerLimit);
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
                publish(describeDefaultSource(loop, context.get(), std::chrono::steady_clock::now() + answerLimit));
                continue;
            }
            if (pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
        }
        if (!stopping_) publish(std::nullopt);  // the server went away
    }

    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    std::condition_variable answered_;
    std::condition_variable woken_;  // the pause between connections ends early at destruction
    pa_mainloop* loop_ = nullptr;
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
    if (!connection_) connection_ = std::make_shared<Connection>();
    return connection_->record(file);
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
