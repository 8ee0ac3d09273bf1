// The host's settings kept between launches in the user's settings file
// (~/.config/Zoranth/ZoranthHost.conf): the rave's name, the buffer delay, the quality
// floor, whether quality is steered automatically and how many guests a rave takes.
// Main thread only.
#pragma once

#include <QString>

#include <cstddef>
#include <memory>

#include "kit/quality_tier.h"

class QSettings;

namespace zoranth {

class Preferences {
  public:
    // The settings file lands in <config folder>/<organizationName>/<applicationName>.conf.
    static constexpr const char* organizationName = "Zoranth";
    static constexpr const char* applicationName = "ZoranthHost";

    static constexpr double defaultBufferDelayMs = 4500;
    // The wire carries the delay in 16 bits of milliseconds.
    static constexpr double maximumBufferDelayMs = 65535;

    // The user's settings file.
    Preferences();
    // A settings file of its own (tools and tests).
    explicit Preferences(const QString& filePath);
    ~Preferences();
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    QString filePath() const;

    // "raveName": empty when absent. Stored and read without surrounding spaces and tabs.
    QString raveName() const;
    void setRaveName(const QString& name);

    // "bufferDelayMs": 4500 when absent, not a number, not above 0 or beyond 65535.
    double bufferDelayMs() const;
    void setBufferDelayMs(double milliseconds);

    // "qualityFloor", the tier's raw value: minimum when absent, not an integer or not 0…4.
    QualityTier qualityFloor() const;
    void setQualityFloor(QualityTier tier);

    // "isQualityAutomatic": true when absent or unreadable.
    bool isQualityAutomatic() const;
    void setQualityAutomatic(bool automatic);

    // "maxGuests", how many guests a rave takes: 256 when absent, not an integer or not
    // 1…4096. Stored brought into 1…4096, so what is stored reads back unchanged.
    std::size_t maxGuests() const;
    void setMaxGuests(std::size_t guests);

    // Writes pending changes to the file now (they are written on destruction anyway).
    void sync();

    // Without leading and trailing spaces and tabs; other white space stays.
    static QString trimmedName(const QString& name);

  private:
    std::unique_ptr<QSettings> settings_;
};

}  // namespace zoranth
