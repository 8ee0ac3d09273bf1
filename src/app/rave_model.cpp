#include "app/rave_model.h"

#include <algorithm>
#include <utility>

#include "app/root_view_text.h"
#include "app/settings_text.h"

namespace zoranth {

RaveModel::RaveModel(RaveControls& controls, QObject* parent)
    : QObject(parent), controls_(controls) {}

RaveModel::State RaveModel::state() const {
    switch (state_.kind) {
        case RaveSession::State::Case::starting:
            return State::Starting;
        case RaveSession::State::Case::broadcasting:
            return State::Broadcasting;
        case RaveSession::State::Case::failed:
            return State::Failed;
        case RaveSession::State::Case::idle:
            break;
    }
    return State::Idle;
}

QString RaveModel::statusText() const {
    return RootViewText::status(state_);
}

QString RaveModel::bufferText() const {
    return RootViewText::buffer(bufferDelayMs_);
}

QString RaveModel::bufferMillisecondsText() const {
    return SettingsText::bufferMilliseconds(bufferDelayMs_);
}

void RaveModel::setRaveName(const QString& name) {
    if (std::exchange(raveName_, name) != name) {
        emit raveNameChanged();
    }
    controls_.setRaveName(name);
}

void RaveModel::setBufferDelayMs(double milliseconds) {
    if (std::exchange(bufferDelayMs_, milliseconds) != milliseconds) {
        emit bufferDelayMsChanged();
    }
    controls_.setBufferDelayMs(milliseconds);
}

int RaveModel::maxGuestsCeiling() {
    return static_cast<int>(GuestAdmission::maxGuestsCeiling);
}

void RaveModel::setMaxGuests(int guests) {
    const int kept = std::clamp(guests, 1, maxGuestsCeiling());
    if (std::exchange(maxGuests_, kept) != kept) {
        emit maxGuestsChanged();
    }
    controls_.setMaxGuests(static_cast<std::size_t>(kept));
}

void RaveModel::start() {
    controls_.start();
}

void RaveModel::stop() {
    controls_.stop();
}

void RaveModel::showState(const RaveSession::State& state) {
    if (std::exchange(state_, state) != state) {
        emit stateChanged();
    }
}

void RaveModel::showSettings(const RaveSession::Settings& settings) {
    const QString name = QString::fromStdString(settings.raveName);
    if (std::exchange(raveName_, name) != name) {
        emit raveNameChanged();
    }
    if (std::exchange(bufferDelayMs_, settings.bufferDelayMs) != settings.bufferDelayMs) {
        emit bufferDelayMsChanged();
    }
    const int guests = static_cast<int>(
        std::min<std::size_t>(settings.maxGuests, GuestAdmission::maxGuestsCeiling));
    if (std::exchange(maxGuests_, guests) != guests) {
        emit maxGuestsChanged();
    }
}

void RaveModel::showListening(std::uint16_t port,
                              const std::optional<std::string>& advertisedName) {
    if (std::exchange(listenPort_, port) != port) {
        emit listenPortChanged();
    }
    const QString name = QString::fromStdString(advertisedName.value_or(std::string()));
    if (std::exchange(advertisedName_, name) != name) {
        emit advertisedNameChanged();
    }
}

void RaveModel::showAddresses(const QStringList& addresses) {
    if (std::exchange(addresses_, addresses) != addresses) {
        emit addressesChanged();
    }
}

void RaveModel::showJoinLink(const QString& link) {
    if (std::exchange(joinLink_, link) != link) {
        emit joinLinkChanged();
    }
}

void RaveModel::showPermissionWarning(const std::optional<std::string>& warning) {
    const QString text = QString::fromStdString(warning.value_or(std::string()));
    if (std::exchange(permissionWarning_, text) != text) {
        emit permissionWarningChanged();
    }
}

}  // namespace zoranth
