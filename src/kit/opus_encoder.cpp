#include "kit/opus_encoder.h"

#include <opus.h>

#include "opus_shim/opus_shim.h"

namespace zoranth {
namespace {

// The handle only ever points at the library's encoder; it is never dereferenced.
::OpusEncoder* library(void* handle) {
    return static_cast<::OpusEncoder*>(handle);
}

}  // namespace

void OpusEncoder::Destroy::operator()(Handle* state) const {
    opus_encoder_destroy(library(state));
}

std::expected<std::shared_ptr<OpusEncoder>, OpusCodec::Failure> OpusEncoder::create(
    int channels, std::int32_t bitrate) {
    if (channels != 1 && channels != 2) {
        return std::unexpected(Failure::unsupportedChannels(channels));
    }
    int error = OPUS_OK;
    ::OpusEncoder* state =
        opus_encoder_create(OpusCodec::sampleRate, channels, OPUS_APPLICATION_AUDIO, &error);
    if (state == nullptr || error != OPUS_OK) {
        opus_encoder_destroy(state);  // accepts null
        return std::unexpected(Failure::createFailed(error));
    }
    return std::make_shared<OpusEncoder>(Token{}, reinterpret_cast<Handle*>(state), channels,
                                         bitrate);
}

OpusEncoder::OpusEncoder(Token, Handle* state, int channels, std::int32_t bitrate)
    : state_(state), channels_(channels), bitrate_(bitrate) {
    zoranth_opus_encoder_set_bitrate(library(state_.get()), bitrate_);
    // Music is what a rave plays; every other control keeps the library's default.
    zoranth_opus_encoder_set_signal_music(library(state_.get()));
}

std::expected<std::vector<std::uint8_t>, OpusCodec::Failure> OpusEncoder::encode(
    std::span<const float> pcm) {
    const auto packet = encodeInPlace(pcm);
    if (!packet) {
        return std::unexpected(packet.error());
    }
    return std::vector<std::uint8_t>(packet->begin(), packet->end());
}

std::expected<std::span<const std::uint8_t>, OpusCodec::Failure> OpusEncoder::encodeInPlace(
    std::span<const float> pcm) {
    if (pcm.size() < static_cast<std::size_t>(channels_) * OpusCodec::frameSize) {
        return std::unexpected(Failure::encodeFailed(OPUS_BAD_ARG));
    }
    const opus_int32 result =
        opus_encode_float(library(state_.get()), pcm.data(), OpusCodec::frameSize, scratch_.data(),
                          OpusCodec::maxPacketBytes);
    if (result < 1) {
        return std::unexpected(Failure::encodeFailed(result));
    }
    return std::span<const std::uint8_t>(scratch_.data(), static_cast<std::size_t>(result));
}

void OpusEncoder::setBitrate(std::int32_t bitrate) {
    bitrate_ = bitrate;
    zoranth_opus_encoder_set_bitrate(library(state_.get()), bitrate_);
}

}  // namespace zoranth
