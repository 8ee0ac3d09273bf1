#include "app/speakers_model.h"

namespace zoranth {

SpeakersModel::SpeakersModel(RaveControls& controls, QObject* parent)
    : QObject(parent),
      controls_(controls),
      texts_(RootViewText::silence(isMuted_, strategy_, bufferDelayMs_)) {}

SpeakersModel::Strategy SpeakersModel::strategy() const {
    switch (strategy_) {
        case MuteControl::Strategy::device:
            return Strategy::Device;
        case MuteControl::Strategy::tap:
            return Strategy::Tap;
        case MuteControl::Strategy::unavailable:
            break;
    }
    return Strategy::Unavailable;
}

bool SpeakersModel::mute() {
    return controls_.muteSpeakers();
}

bool SpeakersModel::unmute() {
    return controls_.unmuteSpeakers();
}

void SpeakersModel::show(bool isMuted, const MuteControl::Ownership& ownership,
                         MuteControl::Strategy strategy, double bufferDelayMs) {
    if (isMuted == isMuted_ && ownership == ownership_ && strategy == strategy_ &&
        bufferDelayMs == bufferDelayMs_) {
        return;
    }
    isMuted_ = isMuted;
    ownership_ = ownership;
    strategy_ = strategy;
    bufferDelayMs_ = bufferDelayMs;
    texts_ = RootViewText::silence(isMuted_, strategy_, bufferDelayMs_);
    emit changed();
}

}  // namespace zoranth
