// The level meters: the dB scale, the held peak and what the meter draws and reads out.
#include "app/level_meter_model.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

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

    double value(int channel, LevelMeterModel::Role role) const {
        return model.data(model.index(channel), role).toDouble();
    }
    QString heldText(int channel) const {
        return model.data(model.index(channel), LevelMeterModel::HeldTextRole).toString();
    }

    double now = 100;
    LevelMeterModel model;
};

TEST_F(LevelMeter, DrawsRmsAsTheBarAndThePeakAsTheMarker) {
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.show({0.0F, 1.0F}, {0.0F, 1.0F});
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(reset.count(), 1) << "a new channel count lays the meters out anew";
    EXPECT_DOUBLE_EQ(value(0, LevelMeterModel::LevelRole), 0);
    EXPECT_DOUBLE_EQ(value(0, LevelMeterModel::HeldRole), 0);
    EXPECT_EQ(heldText(0), QString("-60.0"));
    EXPECT_DOUBLE_EQ(value(1, LevelMeterModel::LevelRole), 1);
    EXPECT_EQ(heldText(1), QString("  0.0"));
    EXPECT_EQ(model.accessibleText(), QString("-60.0 decibels,   0.0 decibels"));

    // The same levels again change nothing; a new level changes its own row only.
    model.show({0.0F, 1.0F}, {0.0F, 1.0F});
    EXPECT_EQ(changed.count(), 0);
    model.show({0.0F, 1.0F}, {0.5F, 1.0F});
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed[0][0].toModelIndex().row(), 0);
    EXPECT_EQ(reset.count(), 1);
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
    model.show({0.9F, 0.9F}, {});
    now = 101.19;
    model.show({0.1F, 0.1F}, {});
    EXPECT_NEAR(value(0, LevelMeterModel::HeldRole), PeakHold::fraction(0.9F), 1e-9);
    // No further meter update arrives; the marker still comes down after the hold.
    QSignalSpy spoken(&model, &LevelMeterModel::accessibleTextChanged);
    now = 101.3;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 2000 &&
           value(0, LevelMeterModel::HeldRole) > PeakHold::fraction(0.1F) + 1e-9) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_NEAR(value(0, LevelMeterModel::HeldRole), PeakHold::fraction(0.1F), 1e-9);
    EXPECT_EQ(spoken.count(), 1);
}

}  // namespace
}  // namespace zoranth
