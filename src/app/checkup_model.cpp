#include "app/checkup_model.h"

#include <QCoreApplication>

#include "app/contract_values.h"
#include "app/controller_values.h"
#include "app/desktop_actions.h"

namespace zoranth {
CheckupModel::CheckupModel(QObject* parent) : QObject(parent), runner_([](std::optional<AudioCapability::Verdict> audio, bool,
                         SystemCheckup::FindingsHandler done) {
          SystemCheckup::runAllAsync(std::move(audio), std::move(done));
      }) {}

void CheckupModel::setController(QObject* controller) {
    if (controller_ == controller) {
        return;
    }
    controller_ = controller;
    emit controllerChanged();
}

QVariantList CheckupModel::findings() const {
    QVariantList list;
    for (const auto& finding : findings_) {
        list.push_back(row(finding));
    }
    return list;
}

void CheckupModel::run() {
    if (isRunning_) {
        return;
    }
    isRunning_ = true;
    emit isRunningChanged();
    const bool denied =
        controller_ != nullptr && controller_->property("localNetworkDenied").toBool();
    runner_(audioVerdict(controller_), denied,
            [guard = QPointer<CheckupModel>(this)](std::vector<SystemCheckup::Finding> findings) {
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [guard, findings = std::move(findings)]() mutable {
                        if (guard) {
                            guard->finish(std::move(findings));
                        }
                    },
                    Qt::QueuedConnection);
            });
}

void CheckupModel::finish(std::vector<SystemCheckup::Finding> findings) {
    findings_ = std::move(findings);
    emit findingsChanged();
    if (!hasRun_) {
        hasRun_ = true;
        emit hasRunChanged();
    }
    isRunning_ = false;
    emit isRunningChanged();
}

void CheckupModel::act(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= findings_.size()) {
        return;
    }
    const auto& finding = findings_[static_cast<std::size_t>(index)];
    DesktopActions desktop;
    switch (actionFor(finding)) {
        case Action::firewall:
            emit firewallRequested(row(finding));
            break;
        case Action::reveal:
            desktop.revealFinding(finding);
            break;
        case Action::openSettings:
        case Action::none:
            break;
    }
}

CheckupModel::Action CheckupModel::actionFor(const SystemCheckup::Finding& finding) {
    using Reason = SystemCheckup::Reason;
    switch (finding.reason) {
        case Reason::firewallOff:
        case Reason::allowed:
        case Reason::audioGranted:
        case Reason::networkOK:
            return Action::none;
        case Reason::portBlocked:
        case Reason::mdnsBlocked:
            return Action::firewall;
        default:
            return Action::none;
    }
}

QString CheckupModel::actionLabel(const SystemCheckup::Finding& finding) {
    switch (actionFor(finding)) {
        case Action::firewall:
            return QStringLiteral("Allow guests");
        case Action::reveal:
            return QStringLiteral("Reveal in Finder");
        case Action::openSettings:
            return QStringLiteral("Open Settings");
        case Action::none:
            break;
    }
    return {};
}

QString CheckupModel::actionName(Action action) {
    switch (action) {
        case Action::firewall:
            return QStringLiteral("firewall");
        case Action::reveal:
            return QStringLiteral("reveal");
        case Action::openSettings:
            return QStringLiteral("openSettings");
        case Action::none:
            break;
    }
    return QStringLiteral("none");
}

QString CheckupModel::verdictSymbol(SystemCheckup::Verdict verdict) {
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

QVariantMap CheckupModel::row(const SystemCheckup::Finding& finding) {
    QVariantMap map = ControllerValues::finding(finding);
    map.insert(QStringLiteral("symbol"), verdictSymbol(finding.verdict));
    map.insert(QStringLiteral("action"), actionName(actionFor(finding)));
    map.insert(QStringLiteral("actionLabel"), actionLabel(finding));
    return map;
}

std::optional<AudioCapability::Verdict> CheckupModel::audioVerdict(const QObject* controller) {
    const QObject* audio =
        controller != nullptr ? controller->property("audio").value<QObject*>() : nullptr;
    if (audio == nullptr) {
        return std::nullopt;
    }
    const QString verdict = audio->property("verdict").toString();
    if (verdict == QLatin1String("granted")) {
        return AudioCapability::Verdict::granted();
    }
    if (verdict == QLatin1String("denied")) {
        return AudioCapability::Verdict::denied(
            audio->property("verdictReason").toString().toStdString(), Sandbox::detect());
    }
    if (verdict == QLatin1String("undetermined")) {
        return AudioCapability::Verdict::undetermined(
            audio->property("verdictReason").toString().toStdString());
    }
    return std::nullopt;
}

}  // namespace zoranth
