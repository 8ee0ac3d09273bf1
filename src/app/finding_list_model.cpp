#include "app/finding_list_model.h"

#include "app/desktop_actions.h"

namespace zoranth {
namespace {

using Reason = MacCheckup::Reason;

FindingListModel::Verdict verdictOf(MacCheckup::Verdict verdict) {
    switch (verdict) {
        case MacCheckup::Verdict::ok:
            return FindingListModel::Verdict::Ok;
        case MacCheckup::Verdict::warning:
            return FindingListModel::Verdict::Warning;
        case MacCheckup::Verdict::problem:
            return FindingListModel::Verdict::Problem;
        case MacCheckup::Verdict::unknown:
            break;
    }
    return FindingListModel::Verdict::Unknown;
}

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

}  // namespace

FindingListModel::FindingListModel(Place place, QObject* parent)
    : QAbstractListModel(parent), place_(place) {}

int FindingListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant FindingListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) {
        return {};
    }
    const MacCheckup::Finding& finding = findings_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
        case TitleRole:
            return text(finding.title);
        case DetailRole:
            return text(finding.detail);
        case FixRole:
            return text(finding.fix);
        case VerdictRole:
            return QVariant::fromValue(verdictOf(finding.verdict));
        case SymbolRole:
            return verdictSymbol(finding.verdict);
        case ActionRole:
            return QVariant::fromValue(actionFor(place_, finding));
        case ActionLabelRole:
            return actionLabel(place_, finding);
        default:
            return {};
    }
}

QHash<int, QByteArray> FindingListModel::roleNames() const {
    return {
        {TitleRole, "title"},
        {DetailRole, "detail"},
        {FixRole, "fix"},
        {VerdictRole, "verdict"},
        {SymbolRole, "symbol"},
        {ActionRole, "action"},
        {ActionLabelRole, "actionLabel"},
    };
}

void FindingListModel::show(std::vector<MacCheckup::Finding> findings) {
    if (findings == findings_) {
        return;
    }
    const int before = count();
    beginResetModel();
    findings_ = std::move(findings);
    endResetModel();
    if (count() != before) {
        emit countChanged();
    }
}

void FindingListModel::act(int index) {
    if (index < 0 || index >= count()) {
        return;
    }
    const MacCheckup::Finding& finding = findings_[static_cast<std::size_t>(index)];
    DesktopActions desktop;
    switch (actionFor(place_, finding)) {
        case Action::Firewall:
            emit firewallRequested();
            break;
        case Action::Reveal:
            desktop.revealFinding(finding);
            break;
        case Action::OpenSettings:
            desktop.openUrl(text(finding.settingsURL.value_or("")));
            break;
        case Action::None:
            break;
    }
}

FindingListModel::Action FindingListModel::actionFor(Place place,
                                                     const MacCheckup::Finding& finding) {
    switch (finding.reason) {
        case Reason::appBlocked:
        case Reason::notInList:
            return Action::Firewall;
        case Reason::translocated:
        case Reason::duplicateInstall:
            return Action::Reveal;
        case Reason::firewallOff:
        case Reason::allowed:
        case Reason::audioGranted:
        case Reason::networkOK:
            if (place == Place::checkup) {
                return Action::None;
            }
            break;
        default:
            break;
    }
    // The card offers the settings for every other finding; the checkup only where a
    // finding names its settings page.
    return place == Place::troubleCard || finding.settingsURL ? Action::OpenSettings : Action::None;
}

QString FindingListModel::actionLabel(Place place, const MacCheckup::Finding& finding) {
    switch (actionFor(place, finding)) {
        case Action::Firewall:
            if (place == Place::troubleCard) {
                return QStringLiteral("Allow guests through the firewall");
            }
            return finding.reason == Reason::appBlocked ? QStringLiteral("Unblock Zoranth")
                                                        : QStringLiteral("Allow guests");
        case Action::Reveal:
            return QStringLiteral("Reveal in Finder");
        case Action::OpenSettings:
            return QStringLiteral("Open Settings");
        case Action::None:
            break;
    }
    return {};
}

QString FindingListModel::verdictSymbol(MacCheckup::Verdict verdict) {
    switch (verdict) {
        case MacCheckup::Verdict::ok:
            return QStringLiteral("checkmark.circle.fill");
        case MacCheckup::Verdict::warning:
            return QStringLiteral("exclamationmark.triangle.fill");
        case MacCheckup::Verdict::problem:
            return QStringLiteral("xmark.octagon.fill");
        case MacCheckup::Verdict::unknown:
            break;
    }
    return QStringLiteral("questionmark.circle.fill");
}

}  // namespace zoranth
