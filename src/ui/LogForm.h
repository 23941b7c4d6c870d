// The log viewer: the newest lines of the operation log, time and message
// only, newest at the bottom. Closing it only hides it.
#pragma once

#include <QPlainTextEdit>
#include <QTimer>
#include <QWidget>
#include <string>

namespace kestrova {

struct App;

class LogForm : public QWidget {
    Q_OBJECT
public:
    explicit LogForm(App& app, QWidget* parent = nullptr);

    // Rebuilds the text from the log file and the old log file. A reload
    // asked for while one runs (a failure report of the reload itself) is
    // skipped, so a lasting failure cannot nest without bound.
    void LoadLogFile();

    // The text LoadLogFile shows for two files' contents (decoded text).
    static std::string buildLogText(const std::string& logText, const std::string& oldLogText);

    // Saves the placement when the window is in its normal state; the main
    // window calls it when the program ends.
    void savePlacement();

    static constexpr int kMaxLines = 100;
    static constexpr int kMaxBytes = 65534;

    QPlainTextEdit* LogText;
    QTimer Timer1;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void Form_Load();
    void Timer1_Timer();
    void caretToEnd();

    App& app_;
    bool loading_ = false;
};

} // namespace kestrova
