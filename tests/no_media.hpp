// SPDX-License-Identifier: MIT
// Media adapters that have nothing: each refusal names what was asked, so tests see that the
// pipeline goes through its adapters for every container, rate and output format WAVE lacks.
#pragma once

#include <string>

#include "io/errors.hpp"
#include "pipeline/media_adapters.hpp"

namespace imabox::test {

class NoMedia final : public MediaAdapters {
  public:
    Expected<std::optional<ContainerAudio>> OpenContainer(
        ByteSource&, const ContainerProbe& probe) const override {
        return MakeError(ErrorKind::Unavailable, "no reader for " + probe.name);
    }
    bool CanResample() const override { return false; }
    Expected<std::unique_ptr<RealStream>> Resample(std::unique_ptr<RealStream>,
                                                   std::uint32_t rate) const override {
        return MakeError(ErrorKind::Unavailable, "no resampler to " + std::to_string(rate));
    }
    Expected<std::unique_ptr<RateConverter>> CreateRateConverter(std::uint32_t, std::uint32_t,
                                                                 unsigned) const override {
        return MakeError(ErrorKind::Unavailable, "no rate converter");
    }
    std::vector<std::string> OutputFormats() const override { return {}; }
    std::optional<Error> CheckOutputFormat(const std::string& format) const override {
        return MakeError(ErrorKind::Unavailable, "no writer for " + format);
    }
    Expected<std::unique_ptr<AudioSink>> CreateSink(ByteSink&, const std::string& format, unsigned,
                                                    std::uint32_t) const override {
        return MakeError(ErrorKind::Unavailable, "no writer for " + format);
    }
};

}  // namespace imabox::test
