#include "app/firewall_fix_model.h"

#include <QCoreApplication>
#include <QPointer>

#include "app/desktop_actions.h"

namespace zoranth {

FirewallFixModel::FirewallFixModel(QObject* parent) : QObject(parent) {
    applier_ = [fix = fix_](std::function<void(FirewallFix::Outcome)> done) {
        fix.applyAsync(std::move(done));
    };
}

QString FirewallFixModel::manualCommand() const {
    return QString::fromStdString(fix_.manualCommand());
}

QString FirewallFixModel::commandPreview() const {
    return QString::fromStdString(fix_.commandPreview());
}

void FirewallFixModel::copyCommand() {
    DesktopActions().copyText(manualCommand());
}

void FirewallFixModel::apply() {
    if (isRunning_) {
        return;
    }
    isRunning_ = true;
    emit isRunningChanged();
    applier_([guard = QPointer<FirewallFixModel>(this)](FirewallFix::Outcome outcome) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, outcome = std::move(outcome)] {
                if (guard) {
                    guard->finish(outcome);
                }
            },
            Qt::QueuedConnection);
    });
}

void FirewallFixModel::finish(const FirewallFix::Outcome& outcome) {
    isRunning_ = false;
    emit isRunningChanged();
    const auto failure = failureText(outcome);
    emit finished(failure ? QVariant(*failure) : QVariant());
}

std::optional<QString> FirewallFixModel::failureText(const FirewallFix::Outcome& outcome) {
    if (outcome.kind != FirewallFix::Outcome::Case::failed) {
        return std::nullopt;
    }
    return QString::fromStdString(outcome.message) +
           QStringLiteral("\n\nYou can also change this in ") +
           QStringLiteral("System Settings > Network > Firewall > Options.");
}

}  // namespace zoranth
