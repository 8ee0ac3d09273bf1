#include "app/preferences.h"

#include <QSettings>

#include <algorithm>
#include <cmath>

#include "host/net/guest_admission.h"

namespace zoranth {
namespace {

const QString raveNameKey = QStringLiteral("raveName");
const QString bufferDelayKey = QStringLiteral("bufferDelayMs");
const QString qualityFloorKey = QStringLiteral("qualityFloor");
const QString automaticKey = QStringLiteral("isQualityAutomatic");
const QString maxGuestsKey = QStringLiteral("maxGuests");
constexpr std::size_t defaultMaxGuests = GuestAdmission::defaultMaxGuests;
constexpr std::size_t maxGuestsCeiling = GuestAdmission::maxGuestsCeiling;

bool isSpaceOrTab(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

}  // namespace

Preferences::Preferences()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            QString::fromLatin1(organizationName),
                                            QString::fromLatin1(applicationName))) {}

Preferences::Preferences(const QString& filePath)
    : settings_(std::make_unique<QSettings>(filePath, QSettings::IniFormat)) {}

Preferences::~Preferences() = default;

QString Preferences::filePath() const {
    return settings_->fileName();
}

QString Preferences::trimmedName(const QString& name) {
    qsizetype begin = 0;
    qsizetype end = name.size();
    while (begin < end && isSpaceOrTab(name[begin])) {
        ++begin;
    }
    while (end > begin && isSpaceOrTab(name[end - 1])) {
        --end;
    }
    return name.mid(begin, end - begin);
}

QString Preferences::raveName() const {
    return trimmedName(settings_->value(raveNameKey).toString());
}

void Preferences::setRaveName(const QString& name) {
    settings_->setValue(raveNameKey, trimmedName(name));
}

double Preferences::bufferDelayMs() const {
    bool ok = false;
    const double stored = settings_->value(bufferDelayKey).toString().trimmed().toDouble(&ok);
    // A delay the wire cannot carry would break every hello, so it reads as the default.
    if (!ok || !std::isfinite(stored) || stored <= 0 || stored > maximumBufferDelayMs) {
        return defaultBufferDelayMs;
    }
    return stored;
}

void Preferences::setBufferDelayMs(double milliseconds) {
    settings_->setValue(bufferDelayKey, milliseconds);
}

QualityTier Preferences::qualityFloor() const {
    bool ok = false;
    const int stored = settings_->value(qualityFloorKey).toString().trimmed().toInt(&ok);
    if (!ok) {
        return QualityTier::minimum;
    }
    return QualityTier::fromRawValue(stored).value_or(QualityTier::minimum);
}

void Preferences::setQualityFloor(QualityTier tier) {
    settings_->setValue(qualityFloorKey, tier.rawValue());
}

bool Preferences::isQualityAutomatic() const {
    const QString stored = settings_->value(automaticKey).toString().trimmed().toLower();
    if (stored == QLatin1String("false") || stored == QLatin1String("0")) {
        return false;
    }
    return true;
}

void Preferences::setQualityAutomatic(bool automatic) {
    settings_->setValue(automaticKey, automatic);
}

std::size_t Preferences::maxGuests() const {
    bool ok = false;
    const int stored = settings_->value(maxGuestsKey).toString().trimmed().toInt(&ok);
    if (!ok || stored < 1 || static_cast<std::size_t>(stored) > maxGuestsCeiling) {
        return defaultMaxGuests;
    }
    return static_cast<std::size_t>(stored);
}

void Preferences::setMaxGuests(std::size_t guests) {
    // Kept in range, so that what is stored reads back as itself rather than the default.
    const std::size_t kept = std::clamp<std::size_t>(guests, 1, maxGuestsCeiling);
    settings_->setValue(maxGuestsKey, static_cast<qulonglong>(kept));
}

void Preferences::sync() {
    settings_->sync();
}

}  // namespace zoranth
