// Asking before quitting, as the window sees it: the question the quit coordinator wants
// asked (or none), and the answer the user gave; and the coordinator's view of the rave
// through the window's models. Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QString>

#include <optional>

#include "app/quit_coordinator.h"
#include "app/window_models.h"

namespace zoranth {

// Quitting reads the rave, the guests and the speakers from the window's models and ends
// the rave through them.
class ModelsQuitAdapter : public QuitCoordinator::Controller {
  public:
    explicit ModelsQuitAdapter(WindowModels& models) : models_(models) {}

    bool isLive() const override { return models_.rave()->isLive(); }
    std::int64_t guestCount() const override { return models_.guests()->count(); }
    bool weMuted() const override { return models_.speakers()->weMuted(); }
    bool unmuteSpeakers() override { return models_.speakers()->unmute(); }
    void stop() override { models_.rave()->stop(); }

  private:
    WindowModels& models_;
};

class QuitPrompt : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The quit prompt belongs to the application.")
    // The question last asked.
    Q_PROPERTY(QString title READ title NOTIFY questionChanged)
    Q_PROPERTY(QString informativeText READ informativeText NOTIFY questionChanged)
    Q_PROPERTY(QString quitButton READ quitButton NOTIFY questionChanged)
    Q_PROPERTY(QString cancelButton READ cancelButton NOTIFY questionChanged)
    // Empty when the checkbox is not shown.
    Q_PROPERTY(QString unmuteCheckbox READ unmuteCheckbox NOTIFY questionChanged)

  public:
    QuitPrompt(QuitCoordinator& coordinator, QObject* parent = nullptr);

    // Whether quitting needs asking; if so, the question's texts are set.
    Q_INVOKABLE bool ask();

    // The answer to the last question; true means quit now.
    Q_INVOKABLE bool answer(bool quitChosen, bool unmuteTicked);

    QString title() const { return asked_ ? asked_->title : QString(); }
    QString informativeText() const { return asked_ ? asked_->informativeText : QString(); }
    QString quitButton() const { return asked_ ? asked_->quitButton : QString(); }
    QString cancelButton() const { return asked_ ? asked_->cancelButton : QString(); }
    QString unmuteCheckbox() const {
        return asked_ ? asked_->unmuteCheckbox.value_or(QString()) : QString();
    }

  signals:
    void questionChanged();

  private:
    QuitCoordinator& coordinator_;
    std::optional<QuitCoordinator::Question> asked_;
};

}  // namespace zoranth
