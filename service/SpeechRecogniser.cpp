#include "service/SpeechRecogniser.h"

#include <pocketsphinx.h>

#include <stdexcept>

namespace vell::service {

void SpeechRecogniser::DecoderFree::operator()(ps_decoder_s* decoder) const { ps_free(decoder); }

SpeechRecogniser::SpeechRecogniser(std::string modelDir) : modelDir_(std::move(modelDir)) {}
SpeechRecogniser::~SpeechRecogniser() = default;

SpeechRecogniser::Decoder SpeechRecogniser::borrow() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            Decoder decoder = std::move(idle_.back());
            idle_.pop_back();
            return decoder;
        }
    }
    std::string hmm = modelDir_ + "/en-us", lm = modelDir_ + "/en-us.lm.bin", dict = modelDir_ + "/cmudict-en-us.dict";
    cmd_ln_t* config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm", lm.c_str(), "-dict",
                                   dict.c_str(), "-logfn", "/dev/null", nullptr);
    if (!config) throw std::runtime_error("the speech model configuration is invalid");
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config);  // the decoder keeps its own reference
    if (!decoder) throw std::runtime_error("the speech model could not be loaded from " + modelDir_);
    return Decoder(decoder);
}

void SpeechRecogniser::giveBack(Decoder decoder) {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(decoder));
}

void SpeechRecogniser::warmUp() { giveBack(borrow()); }

std::string SpeechRecogniser::recognise(const std::vector<std::int16_t>& samples) {
    Decoder decoder = borrow();
    ps_decoder_t* ps = decoder.get();
    if (ps_start_utt(ps) < 0) throw std::runtime_error("the recogniser could not start");
    if (!samples.empty() && ps_process_raw(ps, samples.data(), samples.size(), FALSE, TRUE) < 0) {
        ps_end_utt(ps);
        throw std::runtime_error("the recogniser failed");
    }
    ps_end_utt(ps);
    std::int32_t score = 0;
    const char* hypothesis = ps_get_hyp(ps, &score);
    std::string text = hypothesis ? hypothesis : "";
    giveBack(std::move(decoder));
    return text;
}

}  // namespace vell::service
