#pragma once
// Offline speech recognition with pocketsphinx and its US-English model. A
// decoder is not thread-safe, so each recognition borrows one of its own;
// decoders are loaded when first needed and kept for the next recognition, so
// there are as many as recognitions ever ran at once (the caller bounds that).

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
    struct DecoderFree {
        void operator()(ps_decoder_s* decoder) const;
    };
    using Decoder = std::unique_ptr<ps_decoder_s, DecoderFree>;
    Decoder borrow();
    void giveBack(Decoder decoder);

    std::string modelDir_;
    std::mutex mutex_;
    std::vector<Decoder> idle_;
};

}  // namespace vell::service
