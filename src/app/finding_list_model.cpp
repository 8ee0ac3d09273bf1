#include "app/finding_list_model.h"

namespace zoranth {
namespace {

using Reason = SystemCheckup::Reason;

FindingListModel::Verdict verdictOf(SystemCheckup::Verdict verdict) {
    switch (verdict) {
        case SystemCheckup::Verdict::ok:
            return FindingListModel::Verdict::Ok;
        case SystemCheckup::Verdict::warning:
            return FindingListModel::Verdict::Warning;
        case SystemCheckup::Verdict::problem:
            return FindingListModel::Verdict::Problem;
        case SystemCheckup::Verdict::unknown:
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
    const SystemCheckup::Finding& finding = findings_[static_cast<std::size_t>(index.row())];
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

void FindingListModel::show(std::vector<SystemCheckup::Finding> findings) {
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
    if (actionFor(place_, findings_[static_cast<std::size_t>(index)]) == Action::Firewall) {
        emit firewallRequested();
    }
}

FindingListModel::Action FindingListModel::actionFor(Place, const SystemCheckup::Finding& finding) {
    switch (finding.reason) {
        case Reason::portBlocked:
        case Reason::mdnsBlocked:
            return Action::Firewall;
        default:
            return Action::None;
    }
}

QString FindingListModel::actionLabel(Place place, const SystemCheckup::Finding& finding) {
    if (actionFor(place, finding) != Action::Firewall) {
        return {};
    }
    return place == Place::troubleCard ? QStringLiteral("Allow guests through the firewall")
                                       : QStringLiteral("Allow guests");
}

QString FindingListModel::verdictSymbol(SystemCheckup::Verdict verdict) {
    switch (verdict) {
        case SystemCheckup::Verdict::ok:
            return QStringLiteral("checkmark.circle.fill");
        case SystemCheckup::Verdict::warning:
            return QStringLiteral("exclamationmark.triangle.fill");
        case SystemCheckup::Verdict::problem:
            return QStringLiteral("xmark.octagon.fill");
        case SystemCheckup::Verdict::unknown:
            break;
    }
    return QStringLiteral("questionmark.circle.fill");
}

}  // namespace zoranth
