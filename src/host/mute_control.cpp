#include "host/mute_control.h"

namespace zoranth {

std::string_view MuteControl::text(Strategy strategy) {
    switch (strategy) {
        case Strategy::device:
            return "device";
        case Strategy::tap:
            return "tap";
        case Strategy::unavailable:
            return "unavailable";
    }
    return "unavailable";
}

MuteControl::Strategy MuteControl::strategy(bool hasTapSession, bool deviceCanMute) {
    if (deviceCanMute) {
        return Strategy::device;
    }
    return hasTapSession ? Strategy::tap : Strategy::unavailable;
}

MuteControl::Strategy MuteControl::unmuteStrategy(Ownership ownership, Strategy current) {
    return ownership.weMuted ? ownership.strategy : current;
}

MuteControl::Ownership MuteControl::afterTeardown(Ownership ownership) {
    if (ownership.weMuted && ownership.strategy == Strategy::tap) {
        return Ownership::notMuted();
    }
    return ownership;
}

bool MuteControl::isMuted(Ownership ownership, bool deviceMuted) {
    return (ownership.weMuted && ownership.strategy == Strategy::tap) || deviceMuted;
}

std::string MuteControl::logLine(bool muting, Strategy strategy, bool succeeded) {
    return std::string(muting ? "mute via " : "unmute via ") + std::string(text(strategy)) + ": " +
           (succeeded ? "ok" : "FAILED");
}

}  // namespace zoranth
