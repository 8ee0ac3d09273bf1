// The level meters: the dB scale, the held peak and what the meter draws and reads out.
#include "app/level_meter_model.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "gui_application.h"
#include "qt_printing.h"

namespace zoranth {
namespace {

TEST(PeakHold, LevelsSitOnASixtyDecibelScale) {
    EXPECT_DOUBLE_EQ(PeakHold::decibels(0), -60);
    EXPECT_DOUBLE_EQ(PeakHold::decibels(-0.5F), -60);
    EXPECT_DOUBLE_EQ(PeakHold::decibels(0.0001F), -60);
    EXPECT_DOUBLE_EQ(PeakHold::decibels(1), 0);
    EXPECT_NEAR(PeakHold::decibels(0.5F), -6.02, 0.01);
    EXPECT_DOUBLE_EQ(PeakHold::fraction(0), 0);
    EXPECT_DOUBLE_EQ(PeakHold::fraction(1), 1);
    EXPECT_NEAR(PeakHold::fraction(0.1F), 2.0 / 3.0, 1e-6);
}

TEST(PeakHold, AFallingPeakIsHeldThenDrops) {
    PeakHold hold;
    const float loud[] = {0.8F, 0.5F};
    const float quiet[] = {0.2F, 0.6F};
    hold.update(loud, 10.0);
    hold.update(quiet, 10.5);
    // The left channel fell and is held; the right one rose and moved at once.
    EXPECT_EQ(hold.held(), (std::vector<float>{0.8F, 0.6F}));
    EXPECT_DOUBLE_EQ(hold.nextDrop(quiet).value(), 11.2);
    hold.update(quiet, 11.2);
    EXPECT_EQ(hold.held(), (std::vector<float>{0.8F, 0.6F})) << "held for 1.2 s, not less";
    hold.update(quiet, 11.21);
    EXPECT_EQ(hold.held(), (std::vector<float>{0.2F, 0.6F}));
    EXPECT_FALSE(hold.nextDrop(quiet).has_value());
}

TEST(PeakHold, AChangeOfChannelCountStartsOver) {
    PeakHold hold;
    const float stereo[] = {0.9F, 0.9F};
    const float surround[] = {0.1F, 0.2F, 0.3F, 0.4F, 0.5F, 0.6F};
    hold.update(stereo, 0);
    hold.update(surround, 0.1);
    EXPECT_EQ(hold.held(), (std::vector<float>(std::begin(surround), std::end(surround))));
}

class LevelMeter : public ::testing::Test {
  protected:
    void SetUp() override {
        guiApplication();
        model.setClock([this] { return now; });
    }

    double now = 100;
    LevelMeterModel model;
};

TEST_F(LevelMeter, DrawsRmsAsTheBarAndThePeakAsTheMarker) {
    model.setRms({0.0, 1.0});
    model.setPeak({0.0, 1.0});
    const auto channels = model.channels();
    ASSERT_EQ(channels.size(), 2);
    const auto silent = channels[0].toMap();
    const auto full = channels[1].toMap();
    EXPECT_DOUBLE_EQ(silent["level"].toDouble(), 0);
    EXPECT_DOUBLE_EQ(silent["held"].toDouble(), 0);
    EXPECT_EQ(silent["heldText"].toString(), QString("-60.0"));
    EXPECT_DOUBLE_EQ(full["level"].toDouble(), 1);
    EXPECT_EQ(full["heldText"].toString(), QString("  0.0"));
    EXPECT_EQ(model.accessibleText(), QString("-60.0 decibels,   0.0 decibels"));
}

TEST_F(LevelMeter, ScaleMarksEveryTenDecibels) {
    const auto marks = LevelMeterModel::scale();
    ASSERT_EQ(marks.size(), 7);
    for (int i = 0; i < 7; ++i) {
        const auto mark = marks[i].toMap();
        EXPECT_EQ(mark["text"].toString(), QString::number(-60 + 10 * i));
        EXPECT_NEAR(mark["position"].toDouble(), i / 6.0, 1e-9);
    }
}

TEST_F(LevelMeter, AHeldPeakDropsOnTimeWhenTheLevelsStandStill) {
    model.setPeak({0.9, 0.9});
    now = 101.19;
    model.setPeak({0.1, 0.1});
    EXPECT_NEAR(model.channels()[0].toMap()["held"].toDouble(), PeakHold::fraction(0.9F), 1e-9);
    // No further meter update arrives; the marker still comes down after the hold.
    now = 101.3;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 2000 &&
           model.channels()[0].toMap()["held"].toDouble() > PeakHold::fraction(0.1F) + 1e-9) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_NEAR(model.channels()[0].toMap()["held"].toDouble(), PeakHold::fraction(0.1F), 1e-9);
}

}  // namespace
}  // namespace zoranth
