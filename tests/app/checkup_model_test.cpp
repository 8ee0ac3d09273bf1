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

using Reason = SystemCheckup::Reason;
using Action = FindingListModel::Action;
using Place = FindingListModel::Place;

SystemCheckup::Finding findingFor(Reason reason) {
    SystemCheckup::Finding finding;
    finding.id = "firewall";
    finding.title = "Letting guests connect";
    finding.reason = reason;
    return finding;
}

void waitFor(const std::function<bool()>& done) {
    QElapsedTimer waited;
    waited.start();
    while (!done() && waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

TEST(FindingActions, OnlyTheFirewallIsFixedFromTheWindow) {
    struct Row {
        Reason reason;
        Action action;
        const char* checkup;
        const char* card;
    };
    const Row rows[] = {
        {Reason::portBlocked, Action::Firewall, "Allow guests",
         "Allow guests through the firewall"},
        {Reason::mdnsBlocked, Action::Firewall, "Allow guests",
         "Allow guests through the firewall"},
        {Reason::firewallOff, Action::None, "", ""},
        {Reason::allowed, Action::None, "", ""},
        {Reason::firewallUnreadable, Action::None, "", ""},
        {Reason::audioDenied, Action::None, "", ""},
        {Reason::soundServerMissing, Action::None, "", ""},
        {Reason::avahiMissing, Action::None, "", ""},
        {Reason::networkUnconfirmed, Action::None, "", ""},
        {Reason::networkUnavailable, Action::None, "", ""},
    };
    for (const Row& row : rows) {
        const auto finding = findingFor(row.reason);
        SCOPED_TRACE(static_cast<int>(row.reason));
        EXPECT_EQ(FindingListModel::actionFor(Place::checkup, finding), row.action);
        EXPECT_EQ(FindingListModel::actionLabel(Place::checkup, finding), QString(row.checkup));
        EXPECT_EQ(FindingListModel::actionLabel(Place::troubleCard, finding), QString(row.card));
    }
}

TEST(FindingActions, VerdictsHaveTheirSymbols) {
    EXPECT_EQ(FindingListModel::verdictSymbol(SystemCheckup::Verdict::ok),
              QString("checkmark.circle.fill"));
    EXPECT_EQ(FindingListModel::verdictSymbol(SystemCheckup::Verdict::warning),
              QString("exclamationmark.triangle.fill"));
    EXPECT_EQ(FindingListModel::verdictSymbol(SystemCheckup::Verdict::problem),
              QString("xmark.octagon.fill"));
    EXPECT_EQ(FindingListModel::verdictSymbol(SystemCheckup::Verdict::unknown),
              QString("questionmark.circle.fill"));
}

TEST(FindingList, ListsEachFindingUnderItsRolesAndAsksForTheFirewallSheet) {
    guiApplication();
    FindingListModel model(Place::checkup);
    QSignalSpy counted(&model, &FindingListModel::countChanged);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy firewall(&model, &FindingListModel::firewallRequested);
    auto blocked = findingFor(Reason::portBlocked);
    blocked.verdict = SystemCheckup::Verdict::problem;
    blocked.detail = "Guests are blocked.";
    blocked.fix = "Unblock it.";
    model.show({blocked, SystemCheckup::audioFinding(AudioCapability::Verdict::granted())});
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
    EXPECT_EQ(role(0, "actionLabel").toString(), QString("Allow guests"));
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
        model.setRunner([this](std::optional<AudioCapability::Verdict> audio,
                               SystemCheckup::FindingsHandler done) {
            askedAudio = audio;
            ++runs;
            pending = std::move(done);
        });
    }

    CheckupModel model;
    SystemCheckup::FindingsHandler pending;
    std::optional<AudioCapability::Verdict> askedAudio;
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
        done({SystemCheckup::audioFinding(AudioCapability::Verdict::unreachable("refused")),
              findingFor(Reason::portBlocked)});
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
              QString());
    EXPECT_EQ(findings.data(findings.index(1), FindingListModel::ActionRole).value<Action>(),
              Action::Firewall);
}

TEST_F(CheckupRun, AsksWithTheWindowsPermissionVerdicts) {
    model.run();
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
              QString("The firewall said no.\n\nYou can also run the command from the sheet "
                      "yourself in a terminal."));
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
    EXPECT_TRUE(finished[0][0].toString().startsWith("nope\n\nYou can also run the command"));
}

TEST(FirewallFixReport, TheCommandsAreLookedUpOffTheWindowsThread) {
    guiApplication();
    FirewallFixModel model;
    std::thread::id lookedUpOn;
    model.setLookup([&lookedUpOn] {
        lookedUpOn = std::this_thread::get_id();
        return FirewallFixModel::Commands{"sudo ufw allow 40311/tcp && sudo ufw allow 5353/udp",
                                          "ufw allow 40311/tcp\nufw allow 5353/udp"};
    });
    QSignalSpy changed(&model, &FirewallFixModel::commandsChanged);
    EXPECT_FALSE(model.hasLookedUp());
    EXPECT_EQ(model.manualCommand(), QString());
    model.lookUp();
    waitFor([&model] { return model.hasLookedUp(); });
    EXPECT_EQ(changed.count(), 1);
    EXPECT_NE(lookedUpOn, std::this_thread::get_id());
    EXPECT_EQ(model.manualCommand(),
              QString("sudo ufw allow 40311/tcp && sudo ufw allow 5353/udp"));
    EXPECT_EQ(model.commandPreview(), QString("ufw allow 40311/tcp\nufw allow 5353/udp"));
}

}  // namespace
}  // namespace zoranth
