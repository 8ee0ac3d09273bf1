// The audio quality as the settings' Audio tab shows and sets it: the room's tier, the
// floor automatic steering keeps to, whether steering is automatic, and the tiers as the
// pickers list them (best first, so a tier's place in the list is its value). Edits go
// to RaveControls; the broadcast controller shows the session's choice here. Main thread
// only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QObject>
#include <QStringList>

#include "app/rave_controls.h"
#include "kit/quality_tier.h"

namespace zoranth {

class QualityModel : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The quality model belongs to the window's models.")
    Q_PROPERTY(Tier tier READ tier NOTIFY tierChanged)
    Q_PROPERTY(Tier qualityFloor READ qualityFloor WRITE setQualityFloor NOTIFY qualityFloorChanged)
    Q_PROPERTY(bool isQualityAutomatic READ isQualityAutomatic WRITE setQualityAutomatic NOTIFY
                   isQualityAutomaticChanged)
    // "256 kbps — …" for every tier, best first.
    Q_PROPERTY(QStringList tierTexts READ tierTexts CONSTANT)

  public:
    // The tiers by their raw values.
    enum class Tier { Full, High, Medium, Low, Minimum };
    Q_ENUM(Tier)

    explicit QualityModel(RaveControls& controls, QObject* parent = nullptr);

    Tier tier() const { return of(tier_); }
    Tier qualityFloor() const { return of(floor_); }
    bool isQualityAutomatic() const { return automatic_; }
    QStringList tierTexts() const;

    void setQualityFloor(Tier floor);
    void setQualityAutomatic(bool automatic);
    // The room tier chosen by hand.
    Q_INVOKABLE void setQuality(Tier tier);

    // What the session steers by and chose.
    void show(QualityTier tier, QualityTier floor, bool automatic);

    static Tier of(QualityTier tier) { return static_cast<Tier>(tier.rawValue()); }
    static QualityTier of(Tier tier);

  signals:
    void tierChanged();
    void qualityFloorChanged();
    void isQualityAutomaticChanged();

  private:
    RaveControls& controls_;
    QualityTier tier_ = QualityTier::full;
    QualityTier floor_ = QualityTier::minimum;
    bool automatic_ = true;
};

}  // namespace zoranth
