// Asking before quitting, as the window sees it: the question the quit coordinator wants
// asked (or none), and the answer the user gave. Also lets the coordinator reach the
// broadcast controller through its QML-visible properties and operations. Main thread only.
#pragma once

#include <QObject>
#include <QPointer>
#include <QVariant>

#include <optional>

#include "app/quit_coordinator.h"

namespace zoranth {

// The quit coordinator's view of a controller object: reads `state`, `clients` and
// `muteOwnership`, calls unmuteMac() and stop().
class ControllerQuitAdapter : public QuitCoordinator::Controller {
  public:
    explicit ControllerQuitAdapter(QObject* controller) : controller_(controller) {}

    bool isLive() const override;
    std::int64_t guestCount() const override;
    bool weMuted() const override;
    bool unmuteMac() override;
    void stop() override;

  private:
    QPointer<QObject> controller_;
};

class QuitPrompt : public QObject {
    Q_OBJECT

  public:
    QuitPrompt(QuitCoordinator& coordinator, QObject* parent = nullptr);

    // { title, informativeText, quitButton, cancelButton, unmuteCheckbox ("" when the
    // checkbox is not shown) }, or null when quitting needs no question.
    Q_INVOKABLE QVariant question();

    // The answer to the last question; true means quit now.
    Q_INVOKABLE bool answer(bool quitChosen, bool unmuteTicked);

  private:
    QuitCoordinator& coordinator_;
    std::optional<QuitCoordinator::Question> asked_;
};

}  // namespace zoranth
