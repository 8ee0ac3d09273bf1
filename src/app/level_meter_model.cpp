#include "app/level_meter_model.h"

#include <QStringList>

#include <chrono>
#include <cmath>
#include <vector>

namespace zoranth {
namespace {

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::vector<float> floats(const QList<qreal>& values) {
    return {values.begin(), values.end()};
}

}  // namespace

LevelMeterModel::LevelMeterModel(QObject* parent) : QObject(parent), now_(steadySeconds) {
    dropTimer_.setSingleShot(true);
    connect(&dropTimer_, &QTimer::timeout, this, &LevelMeterModel::hold);
}

void LevelMeterModel::setPeak(const QList<qreal>& peak) {
    peak_ = peak;
    emit peakChanged();
    hold();
}

void LevelMeterModel::setRms(const QList<qreal>& rms) {
    if (rms == rms_) {
        return;
    }
    rms_ = rms;
    emit rmsChanged();
    emit channelsChanged();
}

void LevelMeterModel::hold() {
    const auto peak = floats(peak_);
    const double now = now_();
    holder_.update(peak, now);
    if (const auto drop = holder_.nextDrop(peak)) {
        // A hair past the hold so the held peak counts as older than it.
        const double wait = std::max(0.0, *drop - now) + 0.01;
        dropTimer_.start(static_cast<int>(std::ceil(wait * 1000)));
    } else {
        dropTimer_.stop();
    }
    emit channelsChanged();
}

QVariantList LevelMeterModel::channels() const {
    QVariantList list;
    const auto& held = holder_.held();
    for (std::size_t channel = 0; channel < held.size(); ++channel) {
        const float level = channel < static_cast<std::size_t>(rms_.size())
                                ? static_cast<float>(rms_[static_cast<qsizetype>(channel)])
                                : 0.0F;
        list.push_back(QVariantMap{
            {QStringLiteral("level"), PeakHold::fraction(level)},
            {QStringLiteral("held"), PeakHold::fraction(held[channel])},
            {QStringLiteral("heldText"), decibelText(held[channel])},
        });
    }
    return list;
}

QString LevelMeterModel::accessibleText() const {
    QStringList parts;
    for (const float held : holder_.held()) {
        parts.push_back(decibelText(held) + QStringLiteral(" decibels"));
    }
    return parts.join(QStringLiteral(", "));
}

QVariantList LevelMeterModel::scale() {
    QVariantList marks;
    for (int value = static_cast<int>(PeakHold::floorDecibels); value <= 0;
         value += scaleStepDecibels) {
        marks.push_back(QVariantMap{
            {QStringLiteral("value"), value},
            {QStringLiteral("position"),
             (value - PeakHold::floorDecibels) / -PeakHold::floorDecibels},
            {QStringLiteral("text"), QString::asprintf("%lld", static_cast<long long>(value))},
        });
    }
    return marks;
}

QString LevelMeterModel::decibelText(float level) {
    return QString::asprintf("%5.1f", PeakHold::decibels(level));
}

}  // namespace zoranth
