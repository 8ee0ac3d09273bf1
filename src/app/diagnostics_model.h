// The settings' Diagnostics screen: one labelled row per figure behind the main window —
// the capture's format and counters, its state, the network's headroom, where the rave
// listens and whether the computer is kept awake — in a fixed order, and where the host
// log is. Rows keep their place; only a changed value is announced. The broadcast
// controller shows the session here after each refresh. Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

#include "host/network_health.h"
#include "kit/silence_watchdog.h"

namespace zoranth {

class DiagnosticsModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("The diagnostics belong to the window's models.")
    // Where the host log is written, for "Show in Files".
    Q_PROPERTY(QString hostLogPath READ hostLogPath CONSTANT)

  public:
    enum Role { LabelRole = Qt::UserRole + 1, ValueRole };

    // Everything the rows show.
    struct Facts {
        QString tapFormat = QStringLiteral("—");
        std::uint32_t ioBufferFrames = 0;
        std::int64_t chunksProduced = 0;
        std::uint32_t ringDepth = 0;
        std::uint64_t ringOverruns = 0;
        std::int64_t discontinuities = 0;
        SilenceWatchdog::Diagnosis diagnosis = SilenceWatchdog::Diagnosis::idle(0);
        NetworkHealth::Headroom headroom;
        QString advertisedName;
        QStringList addresses;
        int listenPort = 0;
        int guests = 0;
        bool isKeepingAwake = false;
        std::uint64_t captureDeliveries = 0;
        QString admission = QStringLiteral("—");
    };

    explicit DiagnosticsModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    void show(const Facts& facts);
    QString hostLogPath() const;

    // "Tap format", "IO buffer", … in the screen's order.
    static QStringList labels();
    // The values in the same order.
    static QStringList values(const Facts& facts);

  private:
    QStringList values_;
};

}  // namespace zoranth
