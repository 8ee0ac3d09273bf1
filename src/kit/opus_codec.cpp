#include "kit/opus_codec.h"

namespace zoranth {

std::string OpusCodec::label(std::int32_t bitrate) {
    return std::to_string(bitrate / 1000) + " kbps";
}

std::string OpusCodec::qualityNote(std::int32_t bitrate) {
    if (bitrate >= 192000) {
        return "transparent";
    }
    if (bitrate >= 128000) {
        return "excellent";
    }
    if (bitrate >= 96000) {
        return "very good";
    }
    if (bitrate >= 64000) {
        return "good — slightly softened";
    }
    return "compressed but musical";
}

std::string OpusCodec::errorName(std::int32_t code) {
    switch (code) {
        case -1:
            return "bad argument";
        case -2:
            return "buffer too small";
        case -3:
            return "internal error";
        case -4:
            return "invalid packet";
        case -5:
            return "unimplemented";
        case -6:
            return "invalid state";
        case -7:
            return "allocation failed";
        default:
            return "code " + std::to_string(code);
    }
}

std::string OpusCodec::Failure::description() const {
    switch (kind) {
        case Case::createFailed:
            return "opus init failed (" + errorName(code) + ")";
        case Case::encodeFailed:
            return "opus encode failed (" + errorName(code) + ")";
        case Case::decodeFailed:
            return "opus decode failed (" + errorName(code) + ")";
        case Case::unsupportedChannels:
            return "opus supports 1 or 2 channels, not " + std::to_string(channels);
        case Case::unexpectedFrameCount:
            return "opus decoded " + std::to_string(got) + " frames, expected " +
                   std::to_string(expected);
    }
    return {};
}

}  // namespace zoranth
