// The single-instance handshake inside one process: the later launch talks from a thread
// of its own while the first one's event loop answers.
#include "app/single_instance.h"

#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "gui_application.h"

namespace zoranth {
namespace {

using namespace std::chrono_literals;
using Outcome = SingleInstance::Outcome;

TEST(SingleInstance, ALaterLaunchAsksTheFirstToRaiseItsWindow) {
    guiApplication();
    QTemporaryDir folder;
    SingleInstance first(folder.path(), QStringLiteral("zoranth-host-test"));
    ASSERT_EQ(first.claim(1s), Outcome::first) << first.failureText().toStdString();
    int raises = 0;
    QObject::connect(&first, &SingleInstance::raiseRequested, [&] { ++raises; });

    auto later = std::async(std::launch::async, [&] {
        SingleInstance second(folder.path(), QStringLiteral("zoranth-host-test"));
        return second.claim(5s);
    });
    QEventLoop loop;
    QTimer::singleShot(10s, &loop, &QEventLoop::quit);
    QObject::connect(&first, &SingleInstance::raiseRequested, &loop, &QEventLoop::quit);
    loop.exec();

    ASSERT_EQ(later.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(later.get(), Outcome::handedOver);
    EXPECT_EQ(raises, 1);

    // Another name is another application: it runs on its own.
    SingleInstance other(folder.path(), QStringLiteral("zoranth-host-other"));
    EXPECT_EQ(other.claim(1s), Outcome::first);
}

TEST(SingleInstance, ASocketLeftByACrashedLaunchDoesNotBlockTheNext) {
    guiApplication();
    QTemporaryDir folder;
    QFile leftover(folder.filePath(QStringLiteral("zoranth-host-test")));
    ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    leftover.close();

    SingleInstance next(folder.path(), QStringLiteral("zoranth-host-test"));
    EXPECT_EQ(next.claim(1s), Outcome::first) << next.failureText().toStdString();
}

TEST(SingleInstance, AFolderThatCannotBeMadeIsReportedNotIgnored) {
    guiApplication();
    QTemporaryDir folder;
    QFile blocker(folder.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    SingleInstance instance(folder.filePath(QStringLiteral("not-a-folder/run")),
                            QStringLiteral("zoranth-host-test"));
    EXPECT_EQ(instance.claim(200ms), Outcome::failed);
    EXPECT_FALSE(instance.failureText().isEmpty());
}

}  // namespace
}  // namespace zoranth
