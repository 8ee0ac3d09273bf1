// The window's texts for QML: each function takes the broadcast controller's values as
// QML holds them and returns what a view shows, worded by the host's own helpers
// (RootViewText, GuestRows, SettingsText). Registered as the singleton ViewText.
// Main thread only.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

namespace zoranth {

class ViewText : public QObject {
    Q_OBJECT
    // { name, text } for every tier, best first: the quality pickers' entries.
    Q_PROPERTY(QVariantList tiers READ tiers CONSTANT)

  public:
    explicit ViewText(QObject* parent = nullptr);

    // Seconds on the clock of the guests' statsAt; tests drive their own.
    void setClock(std::function<double()> now) { now_ = std::move(now); }

    // The main window.
    Q_INVOKABLE QString status(const QString& state, const QString& failureMessage) const;
    Q_INVOKABLE QString listening(const QVariantList& clients) const;
    Q_INVOKABLE QString address(const QString& advertisedName, const QStringList& addresses,
                                int port) const;
    Q_INVOKABLE QString buffer(double milliseconds) const;
    // { symbol, headline, detail, button, mutes }.
    Q_INVOKABLE QVariantMap silence(bool isMacMuted, const QString& muteStrategy,
                                    double bufferDelayMs) const;
    Q_INVOKABLE QString hogWarning(const QString& owner) const;
    // The trouble card's findings: each finding's map plus action ("firewall", "reveal",
    // "openSettings") and actionLabel.
    Q_INVOKABLE QVariantList troubleRows(const QVariantList& findings) const;

    // Guests: { id, name, address, strain, strainWord, tierLabel, sync, syncText,
    // needsCalibration } per guest for the list; the table's formatted cells, ten per
    // guest, row after row; the diagnostics lines.
    Q_INVOKABLE QVariantList guestRows(const QVariantList& clients, const QVariantMap& health,
                                       const QVariantMap& clientTiers) const;
    Q_INVOKABLE QStringList guestTableCells(const QVariantList& clients) const;
    Q_INVOKABLE QStringList guestDiagnosticsLines(const QVariantList& clients) const;
    // The guest list's headline figure: "1.23 Mbps", or "" while nothing is offered.
    Q_INVOKABLE QString offeredLoadCaption(const QVariantMap& health) const;

    // The settings window.
    QVariantList tiers() const;
    Q_INVOKABLE QString tierText(const QString& tier) const;
    Q_INVOKABLE QString tierLabel(const QString& tier) const;
    Q_INVOKABLE QString bufferMilliseconds(double milliseconds) const;
    Q_INVOKABLE QString roundTrip(const QVariantMap& health) const;
    Q_INVOKABLE QString aboveThat(const QVariantMap& health) const;
    Q_INVOKABLE QStringList advice(const QVariant& link, const QString& attachment) const;

    // The diagnostics screen.
    Q_INVOKABLE QString ioBuffer(double frames) const;
    Q_INVOKABLE QString count(double value) const;
    Q_INVOKABLE QString captureState(const QVariantMap& diagnosis) const;
    Q_INVOKABLE QString comfortableAt(const QVariantMap& health) const;
    Q_INVOKABLE QString offeredLoad(const QVariantMap& health) const;
    Q_INVOKABLE QString strain(const QVariantMap& health) const;
    Q_INVOKABLE QString raveName(const QString& advertisedName) const;
    Q_INVOKABLE QString diagnosticsAddress(const QStringList& addresses, int port) const;
    Q_INVOKABLE QString sleep(bool isKeepingAwake) const;

  private:
    std::function<double()> now_;
};

}  // namespace zoranth
