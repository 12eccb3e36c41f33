#pragma once
// Offline speech recognition with pocketsphinx and its US-English model. One
// decoder is loaded on first use and shared; it is not thread-safe, so
// recognitions take turns.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct ps_decoder_s;

namespace vell::service {

class SpeechRecogniser {
public:
    explicit SpeechRecogniser(std::string modelDir);
    ~SpeechRecogniser();

    // 16 kHz mono samples in, lower-case words out ("" for silence).
    std::string recognise(const std::vector<std::int16_t>& samples);
    // Loads the model now rather than on the first request.
    void warmUp();

private:
    ps_decoder_s* decoder();  // with mutex_ held

    std::string modelDir_;
    std::mutex mutex_;
    struct DecoderFree {
        void operator()(ps_decoder_s* decoder) const;
    };
    std::unique_ptr<ps_decoder_s, DecoderFree> decoder_;
};

}  // namespace vell::service
