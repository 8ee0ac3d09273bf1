#include "kit/opus_decoder.h"

#include <opus.h>

#include "opus_shim/opus_shim.h"

namespace zoranth {
namespace {

// The handle only ever points at the library's decoder; it is never dereferenced.
::OpusDecoder* library(void* handle) {
    return static_cast<::OpusDecoder*>(handle);
}

}  // namespace

void OpusDecoder::Destroy::operator()(Handle* state) const {
    opus_decoder_destroy(library(state));
}

std::expected<std::shared_ptr<OpusDecoder>, OpusCodec::Failure> OpusDecoder::create(int channels) {
    if (channels != 1 && channels != 2) {
        return std::unexpected(Failure::unsupportedChannels(channels));
    }
    int error = OPUS_OK;
    ::OpusDecoder* state = opus_decoder_create(OpusCodec::sampleRate, channels, &error);
    if (state == nullptr || error != OPUS_OK) {
        opus_decoder_destroy(state);  // accepts null
        return std::unexpected(Failure::createFailed(error));
    }
    return std::make_shared<OpusDecoder>(Token{}, reinterpret_cast<Handle*>(state), channels);
}

OpusDecoder::OpusDecoder(Token, Handle* state, int channels)
    : state_(state),
      channels_(channels),
      scratch_(static_cast<std::size_t>(maxPacketFrames) * channels) {}

std::expected<std::vector<float>, OpusCodec::Failure> OpusDecoder::decode(
    std::span<const std::uint8_t> packet) {
    // A null packet asks the library for concealment; an empty span's pointer may be
    // anything, so it is not passed on.
    const unsigned char* data = packet.empty() ? nullptr : packet.data();
    // Concealment makes exactly as many frames as asked for, so ask for one chunk.
    const int room = packet.empty() ? OpusCodec::frameSize : maxPacketFrames;
    const int frames =
        opus_decode_float(library(state_.get()), data, static_cast<opus_int32>(packet.size()),
                          scratch_.data(), room, 0);
    if (frames < 0) {
        return std::unexpected(Failure::decodeFailed(frames));
    }
    if (frames != OpusCodec::frameSize) {
        return std::unexpected(Failure::unexpectedFrameCount(OpusCodec::frameSize, frames));
    }
    const auto samples = static_cast<std::ptrdiff_t>(frames) * channels_;
    return std::vector<float>(scratch_.begin(), scratch_.begin() + samples);
}

void OpusDecoder::reset() {
    zoranth_opus_decoder_reset(library(state_.get()));
}

}  // namespace zoranth
