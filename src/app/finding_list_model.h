// Checkup findings as a list for the views: each finding's title, detail and fix, its
// verdict and symbol, and the one action it offers where it is shown — the trouble card
// during a rave nobody joins, or the checkup screen. The one action that works from the
// window is letting guests through the firewall; act() asks the view to open its sheet.
// Main thread only.
#pragma once

#include <QtQml/qqmlregistration.h>
#include <QAbstractListModel>
#include <QString>

#include <vector>

#include "host/checks/system_checkup.h"

namespace zoranth {

class FindingListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Findings come from the checkup and the trouble card.")
    Q_PROPERTY(int count READ count NOTIFY countChanged)

  public:
    enum class Verdict { Ok, Warning, Problem, Unknown };
    Q_ENUM(Verdict)
    enum class Action { None, Firewall };
    Q_ENUM(Action)
    // Where the findings are shown, which decides the buttons.
    enum class Place { troubleCard, checkup };

    enum Role {
        TitleRole = Qt::UserRole + 1,
        DetailRole,
        FixRole,
        VerdictRole,
        SymbolRole,
        ActionRole,
        ActionLabelRole,  // empty: no button
    };

    explicit FindingListModel(Place place, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

    int count() const { return static_cast<int>(findings_.size()); }
    const std::vector<SystemCheckup::Finding>& findings() const { return findings_; }
    void show(std::vector<SystemCheckup::Finding> findings);

    // The action of the finding at `index`: asks for the firewall sheet
    // (firewallRequested).
    Q_INVOKABLE void act(int index);

    // What a finding offers at a place, by its reason.
    static Action actionFor(Place place, const SystemCheckup::Finding& finding);
    static QString actionLabel(Place place, const SystemCheckup::Finding& finding);
    static QString verdictSymbol(SystemCheckup::Verdict verdict);

  signals:
    void countChanged();
    void firewallRequested();

  private:
    Place place_;
    std::vector<SystemCheckup::Finding> findings_;
};

}  // namespace zoranth
