// Starts of the real program racing each other from one folder (offscreen
// platform): whatever the timing, exactly one runs on and every other ends
// with status 0 after asking it to come to the front.
#include "support/TempDir.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>

namespace {

namespace fs = std::filesystem;
using kestrova::test::TempDir;

constexpr int kRounds = 12;
constexpr int kStarts = 3;

TEST(SingleInstanceRace, ThreeStartsAtOnceLeaveExactlyOne) {
    TempDir dir;
    const std::string folder = dir / "app";
    fs::create_directories(folder);
    const std::string appDir = std::getenv("KESTROVA_APP_DIR");
    for (const char* f : {"kestrova", "libbsmtp.so", "libunlha32.so"})
        fs::copy_file(appDir + "/" + f, folder + "/" + f);
    fs::create_directories(dir / "run");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir / "run"));

    int survivorsSeen = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::array<std::unique_ptr<QProcess>, kStarts> runs;
        for (auto& p : runs) {
            p = std::make_unique<QProcess>();
            p->setProcessEnvironment(env);
            p->setProgram(QString::fromStdString(folder + "/kestrova"));
        }
        for (auto& p : runs)
            p->start();
        for (auto& p : runs)
            ASSERT_TRUE(p->waitForStarted(5000));

        // The others end by themselves; give them time, then look.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        int running = kStarts;
        while (running > 1 && std::chrono::steady_clock::now() < deadline) {
            QThread::msleep(50);
            running = 0;
            for (auto& p : runs) {
                p->waitForFinished(0);
                running += p->state() != QProcess::NotRunning;
            }
        }
        QThread::msleep(250); // nobody else ends late
        running = 0;
        for (auto& p : runs) {
            p->waitForFinished(0);
            if (p->state() != QProcess::NotRunning) {
                ++running;
                continue;
            }
            EXPECT_EQ(p->exitStatus(), QProcess::NormalExit) << "round " << round;
            EXPECT_EQ(p->exitCode(), 0) << "round " << round;
        }
        EXPECT_EQ(running, 1) << "round " << round;
        survivorsSeen += running == 1;

        for (auto& p : runs) {
            if (p->state() == QProcess::NotRunning)
                continue;
            p->terminate();
            if (!p->waitForFinished(5000)) {
                p->kill();
                p->waitForFinished(2000);
            }
        }
    }
    RecordProperty("roundsWithOneSurvivor", survivorsSeen);
}

} // namespace
