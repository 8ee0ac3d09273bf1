// The checkup list's symbols and actions, its run, and how a firewall fix reports back.
#include "app/checkup_model.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "app/contract_values.h"
#include "app/controller_values.h"
#include "app/firewall_fix_model.h"
#include "gui_application.h"
#include "qt_printing.h"

namespace zoranth {
namespace {

using Reason = SystemCheckup::Reason;
using Action = CheckupModel::Action;

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

TEST(CheckupActions, EachReasonOffersItsOneButton) {
    struct Row {
        Reason reason;
        Action action;
        const char* label;
    };
    const Row rows[] = {
        {Reason::firewallOff, Action::none, ""},
        {Reason::allowed, Action::none, ""},
        {Reason::audioGranted, Action::none, ""},
        {Reason::networkOK, Action::none, ""},
        {Reason::portBlocked, Action::firewall, "Allow guests"},
        {Reason::mdnsBlocked, Action::firewall, "Allow guests"},
        {Reason::audioDenied, Action::none, ""},
        {Reason::networkUnconfirmed, Action::none, ""},
        {Reason::firewallUnreadable, Action::none, ""},
    };
    for (const Row& row : rows) {
        const auto finding = findingFor(row.reason);
        const auto name = ControllerValues::reasonName(row.reason).toStdString();
        EXPECT_EQ(CheckupModel::actionFor(finding), row.action) << name;
        EXPECT_EQ(CheckupModel::actionLabel(finding), QString(row.label)) << name;
    }
}

TEST(CheckupActions, VerdictsHaveTheirSymbols) {
    EXPECT_EQ(CheckupModel::verdictSymbol(SystemCheckup::Verdict::ok),
              QString("checkmark.circle.fill"));
    EXPECT_EQ(CheckupModel::verdictSymbol(SystemCheckup::Verdict::warning),
              QString("exclamationmark.triangle.fill"));
    EXPECT_EQ(CheckupModel::verdictSymbol(SystemCheckup::Verdict::problem),
              QString("xmark.octagon.fill"));
    EXPECT_EQ(CheckupModel::verdictSymbol(SystemCheckup::Verdict::unknown),
              QString("questionmark.circle.fill"));
}

TEST(CheckupActions, FindingsReadBackAsTheControllerWritesThem) {
    for (int raw = 0; raw <= static_cast<int>(Reason::networkUnavailable); ++raw) {
        auto finding = findingFor(static_cast<Reason>(raw));
        finding.verdict = static_cast<SystemCheckup::Verdict>(raw % 4);
        finding.detail = "detail";
        finding.fix = "fix";
        EXPECT_EQ(ContractValues::finding(ControllerValues::finding(finding)), finding) << raw;
    }
}

class CheckupRun : public ::testing::Test {
  protected:
    void SetUp() override {
        guiApplication();
        model.setRunner([this](std::optional<AudioCapability::Verdict> audio, bool denied,
                               SystemCheckup::FindingsHandler done) {
            askedAudio = audio;
            askedDenied = denied;
            ++runs;
            pending = std::move(done);
        });
    }

    CheckupModel model;
    SystemCheckup::FindingsHandler pending;
    std::optional<AudioCapability::Verdict> askedAudio;
    bool askedDenied = false;
    int runs = 0;
};

TEST_F(CheckupRun, RunsOnceAtATimeAndListsWhatItFound) {
    EXPECT_FALSE(model.hasRun());
    model.run();
    model.run();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(model.isRunning());

    // The checks report from their own thread.
    std::thread([done = pending] {
        done({SystemCheckup::audioFinding(AudioCapability::Verdict::denied("Access denied", {})),
              SystemCheckup::firewallFinding(FirewallInspection{}, 40311)});
    }).join();
    waitFor([this] { return !model.isRunning(); });
    EXPECT_TRUE(model.hasRun());
    const auto findings = model.findings();
    ASSERT_EQ(findings.size(), 2);
    EXPECT_EQ(findings[0].toMap()["symbol"].toString(), QString("xmark.octagon.fill"));
    EXPECT_EQ(findings[0].toMap()["actionLabel"].toString(), QString(""));
    EXPECT_EQ(findings[1].toMap()["action"].toString(), QString("none"));
}

TEST_F(CheckupRun, AsksWithTheControllersPermissionVerdicts) {
    QObject controller;
    QObject audio;
    controller.setProperty("audio", QVariant::fromValue(&audio));
    controller.setProperty("localNetworkDenied", true);
    audio.setProperty("verdict", "undetermined");
    audio.setProperty("verdictReason", "no sound server");
    model.setController(&controller);
    model.run();
    EXPECT_TRUE(askedDenied);
    EXPECT_EQ(askedAudio, AudioCapability::Verdict::undetermined("no sound server"));

    pending({});
    waitFor([this] { return !model.isRunning(); });
    audio.setProperty("verdict", "");
    model.run();
    EXPECT_EQ(askedAudio, std::nullopt) << "not probed yet";
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
    QVariant reported = QStringLiteral("not yet");
    QObject::connect(&model, &FirewallFixModel::finished, &model,
                     [&reported](const QVariant& failure) { reported = failure; });
    model.apply();
    EXPECT_TRUE(model.isRunning());
    waitFor([&model] { return !model.isRunning(); });
    EXPECT_TRUE(reported.toString().startsWith("nope\n\nYou can also change this in"));
    // Nothing to paste where no firewall keeps guests out, as on this machine.
    EXPECT_TRUE(model.manualCommand().isEmpty() || model.manualCommand().startsWith("sudo "));
}

}  // namespace
}  // namespace zoranth
