// What the level meters draw, one row per channel: the RMS bar and the held peak as
// fractions of a -60…0 dB scale and the held peak in dB as text; also the scale's marks
// and what accessibility tools read. The broadcast controller shows each meter tick here
// (30 a second while live, silence otherwise). Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QString>
#include <QTimer>
#include <QVariantList>

#include <functional>
#include <vector>

#include "app/peak_hold.h"

namespace zoranth {

class LevelMeterModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The levels belong to the window's models.")
    // "-12.0 decibels, -14.5 decibels".
    Q_PROPERTY(QString accessibleText READ accessibleText NOTIFY accessibleTextChanged)
    // One map per mark: position (0…1 along the bar) and text ("-60").
    Q_PROPERTY(QVariantList scale READ scale CONSTANT)

  public:
    static constexpr int scaleStepDecibels = 10;

    enum Role {
        LevelRole = Qt::UserRole + 1,  // the RMS bar, 0…1 along the bar
        HeldRole,                      // the held peak's marker, 0…1
        HeldTextRole,                  // the held peak, "%5.1f" dB
    };

    explicit LevelMeterModel(QObject* parent = nullptr);

    // Seconds on a steady clock; tests drive their own.
    void setClock(std::function<double()> now) { now_ = std::move(now); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    // Per-channel linear levels, 0…1 at full scale.
    void show(std::vector<float> peak, std::vector<float> rms);

    QString accessibleText() const;
    static QVariantList scale();

    // "%5.1f" of a level in dB.
    static QString decibelText(float level);

  signals:
    void accessibleTextChanged();

  private:
    struct Channel {
        double level = 0;
        double held = 0;
        QString heldText;
        friend bool operator==(const Channel&, const Channel&) = default;
    };

    void hold();

    std::function<double()> now_;
    std::vector<float> peak_;
    std::vector<float> rms_;
    PeakHold holder_;
    std::vector<Channel> channels_;
    // Lets a held peak drop on time even when the levels stop changing.
    QTimer dropTimer_;
};

}  // namespace zoranth
