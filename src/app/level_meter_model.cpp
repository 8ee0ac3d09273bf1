#include "app/level_meter_model.h"

#include <QStringList>

#include <chrono>
#include <cmath>

namespace zoranth {
namespace {

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

LevelMeterModel::LevelMeterModel(QObject* parent)
    : QAbstractListModel(parent), now_(steadySeconds) {
    dropTimer_.setSingleShot(true);
    connect(&dropTimer_, &QTimer::timeout, this, &LevelMeterModel::hold);
}

int LevelMeterModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(channels_.size());
}

QVariant LevelMeterModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const Channel& channel = channels_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case LevelRole:
            return channel.level;
        case HeldRole:
            return channel.held;
        case Qt::DisplayRole:
        case HeldTextRole:
            return channel.heldText;
        default:
            return {};
    }
}

QHash<int, QByteArray> LevelMeterModel::roleNames() const {
    return {{LevelRole, "level"}, {HeldRole, "held"}, {HeldTextRole, "heldText"}};
}

void LevelMeterModel::show(std::vector<float> peak, std::vector<float> rms) {
    peak_ = std::move(peak);
    rms_ = std::move(rms);
    hold();
}

void LevelMeterModel::hold() {
    const double now = now_();
    holder_.update(peak_, now);
    if (const auto drop = holder_.nextDrop(peak_)) {
        // A hair past the hold so the held peak counts as older than it.
        const double wait = std::max(0.0, *drop - now) + 0.01;
        dropTimer_.start(static_cast<int>(std::ceil(wait * 1000)));
    } else {
        dropTimer_.stop();
    }

    const auto& held = holder_.held();
    std::vector<Channel> channels;
    channels.reserve(held.size());
    for (std::size_t i = 0; i < held.size(); ++i) {
        const float level = i < rms_.size() ? rms_[i] : 0.0F;
        channels.push_back(
            {PeakHold::fraction(level), PeakHold::fraction(held[i]), decibelText(held[i])});
    }
    if (channels.size() != channels_.size()) {
        beginResetModel();
        channels_ = std::move(channels);
        endResetModel();
        emit accessibleTextChanged();
        return;
    }
    bool heldMoved = false;
    for (std::size_t i = 0; i < channels.size(); ++i) {
        if (channels[i] == channels_[i]) {
            continue;
        }
        heldMoved = heldMoved || channels[i].heldText != channels_[i].heldText;
        channels_[i] = channels[i];
        const QModelIndex row = index(static_cast<int>(i));
        emit dataChanged(row, row);
    }
    if (heldMoved) {
        emit accessibleTextChanged();
    }
}

QString LevelMeterModel::accessibleText() const {
    QStringList parts;
    for (const Channel& channel : channels_) {
        parts.push_back(channel.heldText + QStringLiteral(" decibels"));
    }
    return parts.join(QStringLiteral(", "));
}

QVariantList LevelMeterModel::scale() {
    QVariantList marks;
    for (int value = static_cast<int>(PeakHold::floorDecibels); value <= 0;
         value += scaleStepDecibels) {
        marks.push_back(QVariantMap{
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
