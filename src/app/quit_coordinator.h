// Quitting the window: asks first while a rave is live or while this application keeps
// the computer's speakers muted, and on the way out unmutes them and ends the rave.
// Main thread only; lives as long as the application.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace zoranth {

class QuitCoordinator {
  public:
    // What quitting needs from the broadcast controller.
    class Controller {
      public:
        virtual ~Controller() = default;
        virtual bool isLive() const = 0;              // state is broadcasting
        virtual std::int64_t guestCount() const = 0;  // connected guests
        virtual bool weMuted() const = 0;             // this application muted the output
        virtual bool unmuteSpeakers() = 0;
        virtual void stop() = 0;
    };

    struct Prompt {
        // The alert's informative text for a live or finished rave with that many guests.
        static QString message(bool live, std::int64_t guests);
    };

    // The alert to show before quitting: "Quit" is the first button.
    struct Question {
        QString title;
        QString informativeText;
        QString quitButton;
        QString cancelButton;
        // "Unmute the speakers on the way out", shown ticked; only when we muted them.
        std::optional<QString> unmuteCheckbox;
        friend bool operator==(const Question&, const Question&) = default;
    };

    // None until the main window first shows; the controller outlives the coordinator's use.
    void setController(Controller* controller) { controller_ = controller; }
    Controller* controller() const { return controller_; }

    // Whether quitting needs asking: none means quit now.
    std::optional<Question> shouldTerminate() const;

    // The answer to the question asked; true means quit now, false cancels quitting.
    bool answer(const Question& asked, bool quitChosen, bool unmuteTicked);

    // The application is going: unmute if we still hold the mute, then end the rave.
    void willTerminate();

  private:
    Controller* controller_ = nullptr;
};

}  // namespace zoranth
