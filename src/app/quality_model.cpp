#include "app/quality_model.h"

#include <utility>

#include "app/settings_text.h"

namespace zoranth {

QualityModel::QualityModel(RaveControls& controls, QObject* parent)
    : QObject(parent), controls_(controls) {}

QualityTier QualityModel::of(Tier tier) {
    return QualityTier::fromRawValue(static_cast<int>(tier)).value_or(QualityTier::minimum);
}

QStringList QualityModel::tierTexts() const {
    QStringList texts;
    for (const QualityTier tier : QualityTier::allCases) {
        texts.push_back(SettingsText::tier(tier));
    }
    return texts;
}

void QualityModel::setQualityFloor(Tier floor) {
    if (std::exchange(floor_, of(floor)) != of(floor)) {
        emit qualityFloorChanged();
    }
    controls_.setQualityFloor(of(floor));
}

void QualityModel::setQualityAutomatic(bool automatic) {
    if (std::exchange(automatic_, automatic) != automatic) {
        emit isQualityAutomaticChanged();
    }
    controls_.setQualityAutomatic(automatic);
}

void QualityModel::setQuality(Tier tier) {
    if (std::exchange(tier_, of(tier)) != of(tier)) {
        emit tierChanged();
    }
    controls_.setQuality(of(tier));
}

void QualityModel::show(QualityTier tier, QualityTier floor, bool automatic) {
    if (std::exchange(tier_, tier) != tier) {
        emit tierChanged();
    }
    if (std::exchange(floor_, floor) != floor) {
        emit qualityFloorChanged();
    }
    if (std::exchange(automatic_, automatic) != automatic) {
        emit isQualityAutomaticChanged();
    }
}

}  // namespace zoranth
