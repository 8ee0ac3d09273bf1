// The checkup's findings as the views list them (symbols, buttons per place), its run,
// and how a firewall fix reports back.
#include "app/checkup_model.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>

#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "app/finding_list_model.h"
#include "app/firewall_fix_model.h"
#include "gui_application.h"
#include "qt_printing.h"

namespace zoranth {
namespace {

using Reason = MacCheckup::Reason;
using Action = FindingListModel::Action;
using Place = FindingListModel::Place;

MacCheckup::Finding findingFor(Reason reason, bool withSettings = true) {
    MacCheckup::Finding finding;
    finding.id = "firewall";
    finding.title = "Letting guests connect";
    finding.reason = reason;
    if (withSettings) {
        finding.settingsURL = "x-apple.systempreferences:com.apple.Network-Settings.extension";
    }
    return finding;
}

void waitFor(const std::function<bool()>& done) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

TEST(FindingActions, EachReasonOffersItsOneButtonInTheCheckup) {
    struct Row {
        Reason reason;
        bool withSettings;
        Action action;
        const char* label;
    };
    const Row rows[] = {
        {Reason::firewallOff, true, Action::None, ""},
        {Reason::allowed, true, Action::None, ""},
        {Reason::audioGranted, true, Action::None, ""},
        {Reason::networkOK, true, Action::None, ""},
        {Reason::appBlocked, true, Action::Firewall, "Unblock Zoranth"},
        {Reason::notInList, true, Action::Firewall, "Allow guests"},
        {Reason::translocated, false, Action::Reveal, "Reveal in Finder"},
        {Reason::duplicateInstall, false, Action::Reveal, "Reveal in Finder"},
        {Reason::blockAllIncoming, true, Action::OpenSettings, "Open Settings"},
        {Reason::audioDenied, true, Action::OpenSettings, "Open Settings"},
        {Reason::networkUnconfirmed, true, Action::OpenSettings, "Open Settings"},
        {Reason::stateUnreadable, false, Action::None, ""},
    };
    for (const Row& row : rows) {
        const auto finding = findingFor(row.reason, row.withSettings);
        SCOPED_TRACE(static_cast<int>(row.reason));
        EXPECT_EQ(FindingListModel::actionFor(Place::checkup, finding), row.action);
        EXPECT_EQ(FindingListModel::actionLabel(Place::checkup, finding), QString(row.label));
    }
}

TEST(FindingActions, TheTroubleCardOffersAFixForEveryFinding) {
    EXPECT_EQ(FindingListModel::actionLabel(Place::troubleCard, findingFor(Reason::notInList)),
              QString("Allow guests through the firewall"));
    EXPECT_EQ(FindingListModel::actionLabel(Place::troubleCard, findingFor(Reason::appBlocked)),
              QString("Allow guests through the firewall"));
    EXPECT_EQ(FindingListModel::actionLabel(Place::troubleCard,
                                            findingFor(Reason::duplicateInstall, false)),
              QString("Reveal in Finder"));
    EXPECT_EQ(
        FindingListModel::actionLabel(Place::troubleCard, findingFor(Reason::networkDenied, false)),
        QString("Open Settings"));
}

TEST(FindingActions, VerdictsHaveTheirSymbols) {
    EXPECT_EQ(FindingListModel::verdictSymbol(MacCheckup::Verdict::ok),
              QString("checkmark.circle.fill"));
    EXPECT_EQ(FindingListModel::verdictSymbol(MacCheckup::Verdict::warning),
              QString("exclamationmark.triangle.fill"));
    EXPECT_EQ(FindingListModel::verdictSymbol(MacCheckup::Verdict::problem),
              QString("xmark.octagon.fill"));
    EXPECT_EQ(FindingListModel::verdictSymbol(MacCheckup::Verdict::unknown),
              QString("questionmark.circle.fill"));
}

TEST(FindingList, ListsEachFindingUnderItsRolesAndAsksForTheFirewallSheet) {
    guiApplication();
    FindingListModel model(Place::checkup);
    QSignalSpy counted(&model, &FindingListModel::countChanged);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy firewall(&model, &FindingListModel::firewallRequested);
    auto blocked = findingFor(Reason::appBlocked);
    blocked.verdict = MacCheckup::Verdict::problem;
    blocked.detail = "Guests are blocked.";
    blocked.fix = "Unblock it.";
    model.show({blocked, MacCheckup::audioFinding(AudioCapability::Verdict::granted())});
    ASSERT_EQ(model.count(), 2);
    EXPECT_EQ(counted.count(), 1);

    const auto role = [&](int row, const QByteArray& name) {
        return model.data(model.index(row), model.roleNames().key(name));
    };
    EXPECT_EQ(role(0, "title").toString(), QString("Letting guests connect"));
    EXPECT_EQ(role(0, "detail").toString(), QString("Guests are blocked."));
    EXPECT_EQ(role(0, "fix").toString(), QString("Unblock it."));
    EXPECT_EQ(role(0, "verdict").value<FindingListModel::Verdict>(),
              FindingListModel::Verdict::Problem);
    EXPECT_EQ(role(0, "symbol").toString(), QString("xmark.octagon.fill"));
    EXPECT_EQ(role(0, "action").value<Action>(), Action::Firewall);
    EXPECT_EQ(role(0, "actionLabel").toString(), QString("Unblock Zoranth"));
    EXPECT_EQ(role(1, "actionLabel").toString(), QString());

    model.act(0);
    EXPECT_EQ(firewall.count(), 1);
    model.act(1);
    model.act(7);
    EXPECT_EQ(firewall.count(), 1) << "nothing to do, nothing out of range";

    // The same findings again leave the list alone.
    model.show(model.findings());
    EXPECT_EQ(reset.count(), 1);
    EXPECT_EQ(counted.count(), 1);
}

class CheckupRun : public ::testing::Test {
  protected:
    void SetUp() override {
        guiApplication();
        model.setRunner([this](std::optional<AudioCapability::Verdict> audio, bool denied,
                               MacCheckup::FindingsHandler done) {
            askedAudio = audio;
            askedDenied = denied;
            ++runs;
            pending = std::move(done);
        });
    }

    CheckupModel model;
    MacCheckup::FindingsHandler pending;
    std::optional<AudioCapability::Verdict> askedAudio;
    bool askedDenied = false;
    int runs = 0;
};

TEST_F(CheckupRun, RunsOnceAtATimeAndListsWhatItFound) {
    QSignalSpy running(&model, &CheckupModel::isRunningChanged);
    QSignalSpy ran(&model, &CheckupModel::hasRunChanged);
    EXPECT_FALSE(model.hasRun());
    model.run();
    model.run();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(model.isRunning());

    // The checks report from their own thread.
    std::thread([done = pending] {
        done({MacCheckup::audioFinding(AudioCapability::Verdict::denied()),
              MacCheckup::duplicateFinding("/opt/zoranth/bin/zoranth-host")});
    }).join();
    waitFor([this] { return !model.isRunning(); });
    EXPECT_TRUE(model.hasRun());
    EXPECT_EQ(running.count(), 2);
    EXPECT_EQ(ran.count(), 1);
    FindingListModel& findings = *model.findings();
    ASSERT_EQ(findings.count(), 2);
    EXPECT_EQ(findings.data(findings.index(0), FindingListModel::SymbolRole).toString(),
              QString("xmark.octagon.fill"));
    EXPECT_EQ(findings.data(findings.index(0), FindingListModel::ActionLabelRole).toString(),
              QString("Open Settings"));
    EXPECT_EQ(findings.data(findings.index(1), FindingListModel::ActionRole).value<Action>(),
              Action::Reveal);
}

TEST_F(CheckupRun, AsksWithTheWindowsPermissionVerdicts) {
    model.setProperty("localNetworkDenied", true);
    model.run();
    EXPECT_TRUE(askedDenied);
    EXPECT_EQ(askedAudio, std::nullopt) << "no monitor: not probed yet";
    pending({});
    waitFor([this] { return !model.isRunning(); });

    AudioCapabilityModel audio(
        {[] { return AudioCapability::Verdict::undetermined("no server"); }, {}});
    audio.check(AudioCapabilityModel::Trigger::UserRequest);
    waitFor([&audio] { return !audio.isProbing(); });
    QSignalSpy audioChanged(&model, &CheckupModel::audioChanged);
    model.setAudio(&audio);
    EXPECT_EQ(audioChanged.count(), 1);
    model.run();
    EXPECT_EQ(askedAudio, AudioCapability::Verdict::undetermined("no server"));
}

TEST(FirewallFixReport, OnlyAFailureIsReportedAndSaysWhereElseToChangeIt) {
    using Outcome = FirewallFix::Outcome;
    EXPECT_EQ(FirewallFixModel::failureText(Outcome::failed("The firewall said no.")),
              QString("The firewall said no.\n\nYou can also change this in System Settings > "
                      "Network > Firewall > Options."));
    for (const auto& quiet : {Outcome::alreadyAllowed(), Outcome::fixedWithoutPassword(),
                              Outcome::fixedWithPassword(), Outcome::cancelled()}) {
        EXPECT_EQ(FirewallFixModel::failureText(quiet), std::nullopt);
    }
}

TEST(FirewallFixReport, TheSheetHearsTheOutcomeOnTheWindowsThread) {
    guiApplication();
    FirewallFixModel model;
    model.setApplier([](std::function<void(FirewallFix::Outcome)> done) {
        std::thread([done] { done(FirewallFix::Outcome::failed("nope")); }).detach();
    });
    QSignalSpy finished(&model, &FirewallFixModel::finished);
    model.apply();
    EXPECT_TRUE(model.isRunning());
    waitFor([&model] { return !model.isRunning(); });
    ASSERT_EQ(finished.count(), 1);
    EXPECT_TRUE(finished[0][0].toString().startsWith("nope\n\nYou can also change this in"));
    EXPECT_TRUE(model.manualCommand().startsWith("sudo "));
}

}  // namespace
}  // namespace zoranth
