#include "ui/LogForm.h"

#include "core/App.h"
#include "core/Text.h"
#include "ui/WindowPlacement.h"

#include <QCloseEvent>
#include <QFile>
#include <QKeyEvent>
#include <QScrollBar>
#include <deque>
#include <exception>
#include <stdexcept>
#include <vector>

namespace kestrova {

namespace {

constexpr double kTextOffset = 45;
constexpr double kTextMargin = 50;
constexpr double kVisibleMargin = 2000;

// The display lines of one file: first field, and " " + the fifth field
// (the message) when the line has at least five TAB-separated fields.
std::vector<std::string> displayLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        std::string line =
            content.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::vector<std::string> fields;
        size_t start = 0;
        for (;;) {
            size_t tab = line.find('\t', start);
            fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
            if (tab == std::string::npos)
                break;
            start = tab + 1;
        }
        std::string shown = fields.front();
        if (fields.size() >= 5)
            shown += " " + fields[4];
        lines.push_back(shown + "\r\n");
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return lines;
}

// The whole file decoded; an empty file is created when there is none.
std::string readOrCreate(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.exists()) {
        if (!file.open(QIODevice::WriteOnly))
            throw std::runtime_error("ファイルを作成できません: " + path);
        return {};
    }
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("ファイルを開けません: " + path);
    QByteArray bytes = file.readAll();
    return text::decodeFile(std::string_view(bytes.constData(), bytes.size()));
}

} // namespace

LogForm::LogForm(App& app, QWidget* parent) : QWidget(parent, Qt::Window), app_(app) {
    setWindowTitle(QStringLiteral("ファイル監視ログ"));
    LogText = new QPlainTextEdit(this);
    LogText->setObjectName(QStringLiteral("LogText"));
    LogText->setReadOnly(true);
    // Read-only, yet with a caret: it stands at the end, and the keys
    // (Ctrl+Home, Ctrl+End, arrows, Page Up/Down) move it through the text.
    LogText->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    setFocusProxy(LogText);
    LogText->setLineWrapMode(QPlainTextEdit::NoWrap);
    LogText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont font(QStringLiteral("Noto Sans Mono CJK JP"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(9);
    LogText->setFont(font);
    QPalette pal = LogText->palette();
    pal.setColor(QPalette::Base, pal.color(QPalette::Button));
    LogText->setPalette(pal);
    LogText->move(WindowPlacement::toPixelsX(kTextOffset), WindowPlacement::toPixelsY(kTextOffset));

    Timer1.setSingleShot(true);
    Timer1.setInterval(100);
    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    Form_Load();
    Timer1.start();
}

void LogForm::Form_Load() {
    try {
        WindowPlacement::load(app_, *this, "LogForm", kVisibleMargin, kVisibleMargin);
    } catch (const std::exception& e) {
        app_.logError("LogForm", "Form_Load", e.what(), true);
    }
}

void LogForm::Timer1_Timer() {
    Timer1.stop();
    LoadLogFile();
}

std::string LogForm::buildLogText(const std::string& logText, const std::string& oldLogText) {
    std::deque<std::string> taken;
    std::vector<std::string> lines = displayLines(logText);
    for (auto it = lines.rbegin(); it != lines.rend() && taken.size() < kMaxLines; ++it)
        taken.push_front(*it);
    if (lines.size() < kMaxLines) {
        std::vector<std::string> old = displayLines(oldLogText);
        for (auto it = old.rbegin(); it != old.rend() && taken.size() < kMaxLines; ++it)
            taken.push_front(*it);
    }
    std::string text;
    for (const std::string& line : taken)
        text += line;
    return text::tailByWidth(text, kMaxBytes);
}

void LogForm::LoadLogFile() {
    if (loading_)
        return;
    loading_ = true;
    try {
        std::string log = readOrCreate(app_.log.logFile());
        std::string old;
        if (displayLines(log).size() < kMaxLines)
            old = readOrCreate(app_.log.oldLogFile());
        std::string shown = text::replaceAll(buildLogText(log, old), "\r\n", "\n");
        LogText->setPlainText(QString::fromStdString(shown));
        caretToEnd();
    } catch (const std::exception& e) {
        app_.logError("LogForm", "LoadLogFile", e.what(), true);
    }
    loading_ = false;
}

void LogForm::caretToEnd() {
    LogText->moveCursor(QTextCursor::End);
    LogText->ensureCursorVisible();
}

void LogForm::savePlacement() {
    WindowPlacement::saveIfNormal(app_, *this, "LogForm");
}

bool LogForm::event(QEvent* event) {
    if (event->type() == QEvent::WindowActivate) {
        LogText->setFocus(Qt::ActiveWindowFocusReason);
        caretToEnd();
    }
    return QWidget::event(event);
}

void LogForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int margin = WindowPlacement::toPixelsX(kTextMargin);
    const int marginY = WindowPlacement::toPixelsY(kTextMargin);
    int w = width() - LogText->x() - margin;
    int h = height() - LogText->y() - marginY;
    // A window too small for the margin leaves that dimension as it was.
    LogText->resize(w > 0 ? w : LogText->width(), h > 0 ? h : LogText->height());
}

void LogForm::keyPressEvent(QKeyEvent* event) {
    // Esc is the close box.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier)
        close();
    else
        QWidget::keyPressEvent(event);
}

void LogForm::closeEvent(QCloseEvent* event) {
    try {
        savePlacement();
    } catch (const std::exception& e) {
        app_.logError("LogForm", "Form_Unload", e.what(), true);
    }
    // The viewer lives until the program ends: closing only hides it.
    event->ignore();
    hide();
}

} // namespace kestrova
