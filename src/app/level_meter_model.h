// What the level meters draw: per channel the RMS bar and the held peak on a -60…0 dB
// scale, the peak in dB as text, and the scale's marks. QML sets `peak` and `rms` from
// the broadcast controller's meter tick. Main thread only.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantList>

#include <functional>

#include "app/peak_hold.h"

namespace zoranth {

class LevelMeterModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<qreal> peak READ peak WRITE setPeak NOTIFY peakChanged)
    Q_PROPERTY(QList<qreal> rms READ rms WRITE setRms NOTIFY rmsChanged)
    // One map per channel: level and held (0…1 along the bar), heldText ("%5.1f" dB).
    Q_PROPERTY(QVariantList channels READ channels NOTIFY channelsChanged)
    // "-12.0 decibels, -14.5 decibels".
    Q_PROPERTY(QString accessibleText READ accessibleText NOTIFY channelsChanged)
    // One map per mark: value (dB), position (0…1), text ("-60").
    Q_PROPERTY(QVariantList scale READ scale CONSTANT)

  public:
    static constexpr int scaleStepDecibels = 10;

    explicit LevelMeterModel(QObject* parent = nullptr);

    // Seconds on a steady clock; tests drive their own.
    void setClock(std::function<double()> now) { now_ = std::move(now); }

    QList<qreal> peak() const { return peak_; }
    void setPeak(const QList<qreal>& peak);
    QList<qreal> rms() const { return rms_; }
    void setRms(const QList<qreal>& rms);

    QVariantList channels() const;
    QString accessibleText() const;
    static QVariantList scale();

    // "%5.1f" of a level in dB.
    static QString decibelText(float level);

  signals:
    void peakChanged();
    void rmsChanged();
    void channelsChanged();

  private:
    void hold();

    std::function<double()> now_;
    QList<qreal> peak_;
    QList<qreal> rms_;
    PeakHold holder_;
    // Lets a held peak drop on time even when the levels stop changing.
    QTimer dropTimer_;
};

}  // namespace zoranth
