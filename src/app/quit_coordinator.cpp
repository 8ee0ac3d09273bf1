#include "app/quit_coordinator.h"

namespace zoranth {

QString QuitCoordinator::Prompt::message(bool live, std::int64_t guests) {
    if (!live) {
        return QStringLiteral("Zoranth silenced this computer's speakers.");
    }
    if (guests == 1) {
        return QStringLiteral("A rave is live and one guest is listening. Quitting ends it.");
    }
    if (guests > 1) {
        return QStringLiteral("A rave is live and ") + QString::number(guests) +
               QStringLiteral(" guests are listening. Quitting ends it.");
    }
    return QStringLiteral("A rave is live. Quitting ends it.");
}

std::optional<QuitCoordinator::Question> QuitCoordinator::shouldTerminate() const {
    if (controller_ == nullptr) {
        return std::nullopt;
    }
    const bool live = controller_->isLive();
    const bool weMuted = controller_->weMuted();
    if (!live && !weMuted) {
        return std::nullopt;
    }
    Question question{QStringLiteral("Quit Zoranth?"),
                      Prompt::message(live, controller_->guestCount()), QStringLiteral("Quit"),
                      QStringLiteral("Cancel"), std::nullopt};
    if (weMuted) {
        question.unmuteCheckbox = QStringLiteral("Unmute the speakers on the way out");
    }
    return question;
}

bool QuitCoordinator::answer(const Question& asked, bool quitChosen, bool unmuteTicked) {
    if (!quitChosen) {
        return false;
    }
    if (asked.unmuteCheckbox && unmuteTicked && controller_ != nullptr && controller_->weMuted()) {
        controller_->unmuteSpeakers();
    }
    return true;
}

void QuitCoordinator::willTerminate() {
    if (controller_ == nullptr) {
        return;
    }
    if (controller_->weMuted()) {
        controller_->unmuteSpeakers();
    }
    controller_->stop();
}

}  // namespace zoranth
