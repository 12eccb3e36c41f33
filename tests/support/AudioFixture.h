#pragma once
// Sounds for tests: a tone as WAV bytes or a WAV file, and speech of a known
// text spoken by flite.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "ChildProcesses.h"

namespace vell::test {

// A 440 Hz sine of 16-bit samples whose RMS is `decibels` dBFS, as a WAV file's bytes.
inline std::string wavTone(double decibels, double seconds, int sampleRate = 16000, int channels = 1) {
    const double amplitude = std::pow(10.0, decibels / 20.0) * std::sqrt(2.0);
    const auto frames = static_cast<std::uint32_t>(seconds * sampleRate);
    std::string data;
    for (std::uint32_t i = 0; i < frames; ++i)
        for (int c = 0; c < channels; ++c) {
            const auto sample =
                static_cast<std::int16_t>(std::lround(32767 * amplitude * std::sin(2 * M_PI * 440 * i / sampleRate)));
            data.append(reinterpret_cast<const char*>(&sample), 2);
        }
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    const auto rate = static_cast<std::uint32_t>(sampleRate);
    const auto width = static_cast<std::uint16_t>(channels * 2);
    return "RIFF" + u32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " + u32(16) + u16(1) +
           u16(static_cast<std::uint16_t>(channels)) + u32(rate) + u32(rate * width) + u16(width) + u16(16) + "data" +
           u32(static_cast<std::uint32_t>(data.size())) + data;
}

inline std::filesystem::path toneFile(double decibels, double seconds, const std::filesystem::path& file) {
    std::ofstream(file, std::ios::binary) << wavTone(decibels, seconds);
    return file;
}

// Speech of a known text by flite as a WAV file; an empty path when flite failed.
inline std::filesystem::path speechFile(const std::string& text, const std::filesystem::path& file) {
    ChildProcess flite({"flite", "-voice", "slt", "-t", text, "-o", file.string()});
    return flite.wait() == 0 ? file : std::filesystem::path();
}

}  // namespace vell::test
