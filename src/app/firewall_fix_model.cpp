#include "app/firewall_fix_model.h"

#include <QCoreApplication>
#include <QPointer>

#include <thread>

#include "app/desktop_actions.h"

namespace zoranth {
namespace {

// Runs work on the main thread for the model, if it still exists by then.
template <class Work>
void onMain(const QPointer<FirewallFixModel>& model, Work work) {
    if (auto* application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            application,
            [model, work = std::move(work)]() mutable {
                if (model) {
                    work(*model);
                }
            },
            Qt::QueuedConnection);
    }
}

}  // namespace

FirewallFixModel::FirewallFixModel(QObject* parent) : QObject(parent) {
    applier_ = [](std::function<void(FirewallFix::Outcome)> done) {
        FirewallFix().applyAsync(std::move(done));
    };
    lookup_ = [] {
        const FirewallFix fix;
        return Commands{fix.manualCommand(), fix.commandPreview()};
    };
}

void FirewallFixModel::lookUp() {
    // The firewall is read over D-Bus and through its tools, which may take a while.
    std::thread([lookup = lookup_, guard = QPointer<FirewallFixModel>(this)] {
        Commands commands = lookup();
        onMain(guard, [commands = std::move(commands)](FirewallFixModel& model) {
            model.manualCommand_ = QString::fromStdString(commands.manual);
            model.commandPreview_ = QString::fromStdString(commands.preview);
            model.hasLookedUp_ = true;
            emit model.commandsChanged();
        });
    }).detach();
}

void FirewallFixModel::copyCommand() {
    DesktopActions().copyText(manualCommand_);
}

void FirewallFixModel::apply() {
    if (isRunning_) {
        return;
    }
    isRunning_ = true;
    emit isRunningChanged();
    applier_([guard = QPointer<FirewallFixModel>(this)](FirewallFix::Outcome outcome) {
        onMain(guard,
               [outcome = std::move(outcome)](FirewallFixModel& model) { model.finish(outcome); });
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
           QStringLiteral(
               "\n\nYou can also run the command from the sheet yourself in a "
               "terminal.");
}

}  // namespace zoranth
