// Preferences round trips through real settings files in a temporary folder, never the
// user's own.
#include "app/preferences.h"

#include <QDir>
#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>

namespace zoranth {
namespace {

class PreferencesTest : public ::testing::Test {
  protected:
    QString path() const { return folder_.filePath(QStringLiteral("prefs.conf")); }

    // Writes a raw value the way another writer (or a hand edit) would leave it.
    void store(const QString& key, const QVariant& value) const {
        QSettings raw(path(), QSettings::IniFormat);
        raw.setValue(key, value);
    }

    QTemporaryDir folder_;
};

TEST_F(PreferencesTest, AnEmptyStoreReadsAsTheDefaults) {
    Preferences preferences(path());
    EXPECT_EQ(preferences.raveName(), QString());
    EXPECT_EQ(preferences.bufferDelayMs(), 4500);
    EXPECT_EQ(preferences.qualityFloor(), QualityTier::minimum);
    EXPECT_TRUE(preferences.isQualityAutomatic());
    EXPECT_EQ(preferences.maxGuests(), 256U);
}

TEST_F(PreferencesTest, EverySettingSurvivesARelaunch) {
    {
        Preferences preferences(path());
        preferences.setRaveName(QStringLiteral("Rooftop Sessions"));
        preferences.setBufferDelayMs(2750.5);
        preferences.setQualityFloor(QualityTier::medium);
        preferences.setQualityAutomatic(false);
        preferences.setMaxGuests(40);
    }
    Preferences reopened(path());
    EXPECT_EQ(reopened.raveName(), QStringLiteral("Rooftop Sessions"));
    EXPECT_EQ(reopened.bufferDelayMs(), 2750.5);
    EXPECT_EQ(reopened.qualityFloor(), QualityTier::medium);
    EXPECT_FALSE(reopened.isQualityAutomatic());
    EXPECT_EQ(reopened.maxGuests(), 40U);
}

TEST_F(PreferencesTest, TheRaveNameIsStoredAndLoadedWithoutSurroundingSpacesAndTabs) {
    {
        Preferences preferences(path());
        preferences.setRaveName(QStringLiteral(" \t Basement  Party\t  "));
    }
    EXPECT_EQ(QSettings(path(), QSettings::IniFormat).value("raveName").toString(),
              QStringLiteral("Basement  Party"));

    store(QStringLiteral("raveName"), QStringLiteral("   Garden Rave  "));
    EXPECT_EQ(Preferences(path()).raveName(), QStringLiteral("Garden Rave"));

    // Only spaces and tabs go; a name of nothing else is empty.
    EXPECT_EQ(Preferences::trimmedName(QStringLiteral("\nName\n")), QStringLiteral("\nName\n"));
    EXPECT_EQ(Preferences::trimmedName(QStringLiteral(" \t ")), QString());
}

TEST_F(PreferencesTest, AStoredFloorOutsideTheTiersReadsAsMinimum) {
    struct Row {
        QVariant stored;
        QualityTier expected;
    };
    const Row rows[] = {
        {7, QualityTier::minimum},
        {-1, QualityTier::minimum},
        {QStringLiteral("high"), QualityTier::minimum},
        {QStringLiteral("2.5"), QualityTier::minimum},
        {0, QualityTier::full},
        {QStringLiteral("3"), QualityTier::low},
    };
    for (const Row& row : rows) {
        store(QStringLiteral("qualityFloor"), row.stored);
        EXPECT_EQ(Preferences(path()).qualityFloor(), row.expected)
            << row.stored.toString().toStdString();
    }
}

TEST_F(PreferencesTest, ADelayTheWireCannotCarryReadsAsTheDefault) {
    struct Row {
        QVariant stored;
        double expected;
    };
    const Row rows[] = {
        {0.0, 4500},
        {-250.0, 4500},
        {QStringLiteral("soon"), 4500},
        {QStringLiteral("inf"), 4500},
        {QStringLiteral("nan"), 4500},
        {70000.0, 4500},
        {1.0, 1},
        {65535.0, 65535},
    };
    for (const Row& row : rows) {
        store(QStringLiteral("bufferDelayMs"), row.stored);
        EXPECT_EQ(Preferences(path()).bufferDelayMs(), row.expected)
            << row.stored.toString().toStdString();
    }
}

TEST_F(PreferencesTest, AStoredGuestLimitOutsideOneTo4096ReadsAsTheDefault) {
    struct Row {
        QVariant stored;
        std::size_t expected;
    };
    const Row rows[] = {
        {0, 256},
        {-3, 256},
        {4097, 256},
        {QStringLiteral("many"), 256},
        {QStringLiteral("12.5"), 256},
        {QStringLiteral("99999999999"), 256},
        {1, 1},
        {QStringLiteral(" 300 "), 300},
        {4096, 4096},
    };
    for (const Row& row : rows) {
        store(QStringLiteral("maxGuests"), row.stored);
        EXPECT_EQ(Preferences(path()).maxGuests(), row.expected)
            << row.stored.toString().toStdString();
    }
}

TEST_F(PreferencesTest, AGuestLimitOutOfRangeIsStoredAsTheNearestOneItCanBe) {
    struct Row {
        std::size_t given;
        std::size_t stored;
    };
    const Row rows[] = {{0, 1}, {4097, 4096}, {SIZE_MAX, 4096}, {1, 1}, {4096, 4096}};
    for (const Row& row : rows) {
        Preferences(path()).setMaxGuests(row.given);
        EXPECT_EQ(QSettings(path(), QSettings::IniFormat).value("maxGuests").toULongLong(),
                  row.stored)
            << row.given;
        EXPECT_EQ(Preferences(path()).maxGuests(), row.stored) << row.given;
    }
}

TEST_F(PreferencesTest, AnUnreadableAutomaticFlagReadsAsAutomatic) {
    store(QStringLiteral("isQualityAutomatic"), QStringLiteral("perhaps"));
    EXPECT_TRUE(Preferences(path()).isQualityAutomatic());
    store(QStringLiteral("isQualityAutomatic"), false);
    EXPECT_FALSE(Preferences(path()).isQualityAutomatic());
}

TEST_F(PreferencesTest, TheUsersStoreIsNamedAfterTheOrganizationAndTheApplication) {
    // Qt puts per-user settings under $XDG_CONFIG_HOME (~/.config); pointing that root at
    // the temporary folder shows where the file lands without touching the real one.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, folder_.path());
    {
        Preferences preferences;
        preferences.setRaveName(QStringLiteral("Loft"));
        EXPECT_EQ(preferences.filePath(),
                  folder_.filePath(QStringLiteral("Zoranth/ZoranthHost.conf")));
    }
    EXPECT_TRUE(QDir(folder_.path()).exists(QStringLiteral("Zoranth/ZoranthHost.conf")));
    EXPECT_EQ(Preferences().raveName(), QStringLiteral("Loft"));
}

}  // namespace
}  // namespace zoranth
