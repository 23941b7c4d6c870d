// Start-up failures of a desktop run are message boxes, also those of the
// steps before any window exists.
#include "core/App.h"
#include "core/Startup.h"
#include "support/TempDir.h"
#include "ui/MessageBoxes.h"
#include "ui/UiTestApp.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

using namespace kestrova;

TEST(StartupBoxes, TempThatIsAFileIsShownBeforeAnyWindow) {
    test::uiApp();
    test::TempDir dir;
    test::writeFile(dir / "libbsmtp.so", ""); // only looked for
    test::writeFile(dir / "Temp", "a file, not a folder");
    App app;
    installMessageBoxes(app);

    // Answers each box as it comes up, noting what it said.
    std::vector<std::string> seen;
    QTimer answer;
    answer.setInterval(20);
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            seen.push_back(box->windowTitle().toStdString() + "|" + box->text().toStdString());
            box->buttons().front()->click();
        }
    });
    answer.start();
    StartOptions interactive;
    std::string failure;
    EXPECT_EQ(
        prepareApp(app, dir.path().string(), dir.path().string(), "kestrova", interactive, failure),
        StartResult::Failed);
    answer.stop();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rfind(app.settings.AppTitle + "|＜システムエラー＞CommonModule:Main", 0), 0u)
        << seen[0];
    EXPECT_NE(seen[0].find(dir / "Temp"), std::string::npos) << seen[0];
}
