// The settings window's values and the diagnostics rows.
#include "app/settings_text.h"

#include <gtest/gtest.h>

#include "qt_printing.h"
#include "window_samples.h"

namespace zoranth {
namespace {

TEST(SettingsText, TiersReadAsLabelAndNote) {
    EXPECT_EQ(SettingsText::tier(QualityTier::medium), QString("128 kbps — very good"));
    EXPECT_EQ(SettingsText::tier(QualityTier::full), QString("256 kbps — transparent"));
}

TEST(SettingsText, BufferValueIsWholeMilliseconds) {
    EXPECT_EQ(SettingsText::bufferMilliseconds(4500), QString("4500 ms"));
    EXPECT_EQ(SettingsText::bufferMilliseconds(1000), QString("1000 ms"));
}

TEST(SettingsText, GuestMeasurementsWaitForTheFirstReports) {
    const auto none = samples::headroom();
    EXPECT_EQ(SettingsText::roundTrip(none), QString("—"));
    EXPECT_EQ(SettingsText::aboveThat(none), QString("measuring…"));

    const auto measured = samples::headroom(4.4, 14.2, true);
    EXPECT_EQ(SettingsText::roundTrip(measured), QString("4 ms"));
    EXPECT_EQ(SettingsText::aboveThat(measured), QString("14 ms, climbing"));
}

TEST(SettingsText, AdviceComesFromTheLinkAndTheAttachment) {
    LinkCapacity::Link wifi24;
    wifi24.band = LinkCapacity::Band::twoPointFour;
    wifi24.phyMode = LinkCapacity::PHYMode::n;
    wifi24.txRateMbps = 72;
    wifi24.rssi = -60;
    wifi24.noise = -95;
    const auto lines = SettingsText::advice(wifi24, LinkCapacity::HostAttachment::wifi);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith("You're on 2.4 GHz.")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].startsWith("Plug this computer into Ethernet.")) << lines[1].toStdString();

    EXPECT_TRUE(
        SettingsText::advice(std::nullopt, LinkCapacity::HostAttachment::ethernet).isEmpty());
}

TEST(SettingsText, CaptureStateSaysWhatTheWatchdogSees) {
    using Diagnosis = SilenceWatchdog::Diagnosis;
    struct Row {
        Diagnosis diagnosis;
        const char* text;
    };
    const Row rows[] = {
        {Diagnosis::receivingAudio(), "receiving audio"},
        {Diagnosis::idle(12.4), "silent 12s (nothing is playing)"},
        {Diagnosis::likelyDenied(7.6), "silent 8s while output is active"},
        {Diagnosis::notCapturing(3), "NO BUFFERS for 3s — capture is not running"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(SettingsText::captureState(row.diagnosis), QString(row.text));
    }
}

TEST(SettingsText, DiagnosticsRows) {
    EXPECT_EQ(SettingsText::ioBuffer(480),
              QString("480 frames (the wire chunk is 960 — these are unrelated)"));
    EXPECT_EQ(SettingsText::comfortableAt(0), QString("not measured yet"));
    EXPECT_EQ(SettingsText::comfortableAt(6), QString("6 guests"));
    EXPECT_EQ(SettingsText::offeredLoad(0.6149), QString("0.61 Mbps"));
    EXPECT_EQ(SettingsText::strain(0.72), QString("busy (72% of the struggling threshold)"));
    EXPECT_EQ(SettingsText::raveName(""), QString("not registered yet"));
    EXPECT_EQ(SettingsText::raveName("Rooftop"), QString("Rooftop"));
    EXPECT_EQ(SettingsText::address({}, 51234), QString("no address yet"));
    EXPECT_EQ(SettingsText::address({"192.168.1.24", "fd00::1"}, 51234),
              QString("192.168.1.24, fd00::1 : 51234"));
    EXPECT_EQ(SettingsText::sleep(true), QString("held off — don't close the lid"));
    EXPECT_EQ(SettingsText::sleep(false), QString("not held"));
}

}  // namespace
}  // namespace zoranth
