#include "app/quit_prompt.h"

namespace zoranth {

QuitPrompt::QuitPrompt(QuitCoordinator& coordinator, QObject* parent)
    : QObject(parent), coordinator_(coordinator) {}

bool QuitPrompt::ask() {
    asked_ = coordinator_.shouldTerminate();
    emit questionChanged();
    return asked_.has_value();
}

bool QuitPrompt::answer(bool quitChosen, bool unmuteTicked) {
    if (!asked_) {
        return true;
    }
    return coordinator_.answer(*asked_, quitChosen, unmuteTicked);
}

}  // namespace zoranth
