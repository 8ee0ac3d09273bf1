#include "app/quit_coordinator.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zoranth {
namespace {

using Question = QuitCoordinator::Question;

// Records what quitting asks of the controller, in order.
class RecordingController : public QuitCoordinator::Controller {
  public:
    bool live = false;
    std::int64_t guests = 0;
    bool muted = false;
    std::vector<std::string> calls;

    bool isLive() const override { return live; }
    std::int64_t guestCount() const override { return guests; }
    bool weMuted() const override { return muted; }
    bool unmuteSpeakers() override {
        calls.push_back("unmute");
        muted = false;
        return true;
    }
    void stop() override {
        calls.push_back("stop");
        live = false;
    }
};

TEST(QuitPrompt, TheTextSaysWhatQuittingEnds) {
    struct Row {
        bool live;
        std::int64_t guests;
        const char* text;
    };
    const Row rows[] = {
        {false, 0, "Zoranth silenced this computer's speakers."},
        {false, 5, "Zoranth silenced this computer's speakers."},
        {true, 0, "A rave is live. Quitting ends it."},
        {true, 1, "A rave is live and one guest is listening. Quitting ends it."},
        {true, 2, "A rave is live and 2 guests are listening. Quitting ends it."},
        {true, 3, "A rave is live and 3 guests are listening. Quitting ends it."},
        {true, 1234, "A rave is live and 1234 guests are listening. Quitting ends it."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(QuitCoordinator::Prompt::message(row.live, row.guests).toStdString(), row.text)
            << row.live << " " << row.guests;
    }
}

TEST(QuitCoordinator, QuitsWithoutAskingWhenNothingIsAtStake) {
    QuitCoordinator quit;
    EXPECT_EQ(quit.shouldTerminate(), std::nullopt) << "no controller yet";

    RecordingController controller;
    quit.setController(&controller);
    EXPECT_EQ(quit.shouldTerminate(), std::nullopt);
    quit.willTerminate();
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"stop"}));
}

TEST(QuitCoordinator, ALiveRaveAsksWithTheGuestCountAndNoCheckbox) {
    RecordingController controller;
    controller.live = true;
    controller.guests = 3;
    QuitCoordinator quit;
    quit.setController(&controller);

    const auto question = quit.shouldTerminate();
    ASSERT_TRUE(question.has_value());
    EXPECT_EQ(question->title, QStringLiteral("Quit Zoranth?"));
    EXPECT_EQ(question->informativeText,
              QStringLiteral("A rave is live and 3 guests are listening. Quitting ends it."));
    EXPECT_EQ(question->quitButton, QStringLiteral("Quit"));
    EXPECT_EQ(question->cancelButton, QStringLiteral("Cancel"));
    EXPECT_EQ(question->unmuteCheckbox, std::nullopt);

    EXPECT_FALSE(quit.answer(*question, false, false)) << "Cancel keeps the application";
    EXPECT_TRUE(controller.calls.empty());
    EXPECT_TRUE(quit.answer(*question, true, false));
    quit.willTerminate();
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"stop"}));
}

TEST(QuitCoordinator, OurMuteAddsTheTickedCheckboxAndATickUnmutesBeforeQuitting) {
    RecordingController controller;
    controller.muted = true;
    QuitCoordinator quit;
    quit.setController(&controller);

    const auto question = quit.shouldTerminate();
    ASSERT_TRUE(question.has_value());
    EXPECT_EQ(question->informativeText,
              QStringLiteral("Zoranth silenced this computer's speakers."));
    EXPECT_EQ(question->unmuteCheckbox, QStringLiteral("Unmute the speakers on the way out"));

    EXPECT_TRUE(quit.answer(*question, true, true));
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"unmute"}));
    quit.willTerminate();
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"unmute", "stop"}));
}

TEST(QuitCoordinator, AnUntickedCheckboxStillEndsWithTheSpeakersUnmuted) {
    RecordingController controller;
    controller.live = true;
    controller.guests = 1;
    controller.muted = true;
    QuitCoordinator quit;
    quit.setController(&controller);

    const auto question = quit.shouldTerminate();
    ASSERT_TRUE(question.has_value());
    EXPECT_TRUE(question->unmuteCheckbox.has_value());
    EXPECT_TRUE(quit.answer(*question, true, false));
    EXPECT_TRUE(controller.calls.empty());

    quit.willTerminate();
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"unmute", "stop"}));
    EXPECT_FALSE(controller.muted);
}

TEST(QuitCoordinator, ATickAfterTheMuteWasUndoneUnmutesNothing) {
    RecordingController controller;
    controller.muted = true;
    QuitCoordinator quit;
    quit.setController(&controller);
    const auto question = quit.shouldTerminate();
    ASSERT_TRUE(question.has_value());

    controller.muted = false;  // unmuted from the window while the alert was up
    EXPECT_TRUE(quit.answer(*question, true, true));
    quit.willTerminate();
    EXPECT_EQ(controller.calls, (std::vector<std::string>{"stop"}));
}

}  // namespace
}  // namespace zoranth
