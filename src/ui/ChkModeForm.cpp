#include "ui/ChkModeForm.h"

#include "watch/WatchListEdit.h"

#include "core/App.h"
#include "core/Numeric.h"
#include "notify/Archiver.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <cmath>
#include <exception>
#include <stdexcept>

namespace kestrova {

namespace {

constexpr const char* kModule = "ChkModeForm";
constexpr const char* kArchiverMissing =
    "libunlha32.soが見つかりませんでした。\r\nlibunlha32.soのインストール状況を確認してください。";

// Design sizes are in twips; the dialog is laid out for the screen's dpi.
int px(const QWidget* w, int twips) {
    return twips * w->logicalDpiX() / 1440;
}

QCheckBox* makeCheck(QWidget* parent, const char* name, const char* caption) {
    auto* box = new QCheckBox(QString::fromUtf8(caption), parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* caption) {
    auto* label = new QLabel(QString::fromUtf8(caption), parent);
    label->setObjectName(QString::fromLatin1(name));
    return label;
}

} // namespace

ChkModeForm::ChkModeForm(App& app, QWidget* parent) : QDialog(parent), app_(app) {
    setObjectName(QStringLiteral("ChkModeForm"));
    setWindowTitle(QStringLiteral("メッセージ通知方法設定"));
    setModal(true);
    QFont font(QStringLiteral("Noto Sans Mono CJK JP"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(9.75);
    setFont(font);

    label1_ =
        makeLabel(this, "Label1", "送信先メールアドレス（user@example.com）or「メッセージ表示」");
    mailToCombo_ = new QComboBox(this);
    mailToCombo_->setObjectName(QStringLiteral("MailToCombo"));
    mailToCombo_->setEditable(true);
    // Typing never adds list items: the list is built on loading only.
    mailToCombo_->setInsertPolicy(QComboBox::NoInsert);
    mailToCombo_->setMinimumWidth(px(this, 6135));
    label2_ = makeLabel(this, "Label2", "通知タイミング");
    const char* eventCaptions[3] = {"新規作成時", "更新時", "削除時"};
    for (int i = 0; i < 3; ++i)
        fileCheck_[i] =
            makeCheck(this, ("FileCheck_" + std::to_string(i)).c_str(), eventCaptions[i]);
    fAppendBodyCheck_ =
        makeCheck(this, "FAppendBodyCheck", "指定ファイルの内容（テキスト文）をメール本文とする");
    mailBdLinesText_ = new QLineEdit(QStringLiteral("-9999"), this);
    mailBdLinesText_->setObjectName(QStringLiteral("MailBdLinesText"));
    mailBdLinesText_->setFixedWidth(px(this, 615));
    mailBdLinesLable_ =
        makeLabel(this, "MailBdLinesLable", "メール本文とする行数(マイナス値の時は末尾から)");
    fAppendFileCheck_ =
        makeCheck(this, "FAppendFileCheck", "指定のファイル／フォルダをメールに添付する");
    label3_ = makeLabel(this, "Label3", "（");
    fAppendLhaCheck_ = makeCheck(this, "FAppendLhaCheck", "LZH圧縮");
    fAppendSubCheck_ = makeCheck(this, "FAppendSubCheck", "サブフォルダを含む");
    label4_ = makeLabel(this, "Label4", ")");
    const char* buttonCaptions[2] = {"OK", "ｷｬﾝｾﾙ"};
    for (int i = 0; i < 2; ++i) {
        command1_[i] = new QPushButton(QString::fromUtf8(buttonCaptions[i]), this);
        command1_[i]->setObjectName(QStringLiteral("Command1_%1").arg(i));
        command1_[i]->setAutoDefault(false);
        command1_[i]->setMinimumWidth(px(this, 780));
    }

    // Rows of the design, top to bottom.
    auto* top = new QVBoxLayout(this);
    top->setSizeConstraint(QLayout::SetFixedSize);
    top->addWidget(label1_);
    top->addWidget(mailToCombo_);
    auto* events = new QHBoxLayout;
    events->addWidget(label2_);
    for (QCheckBox* box : fileCheck_)
        events->addWidget(box);
    events->addStretch();
    top->addLayout(events);
    top->addWidget(fAppendBodyCheck_);
    auto* lines = new QHBoxLayout;
    lines->addSpacing(px(this, 250));
    lines->addWidget(mailBdLinesText_);
    lines->addWidget(mailBdLinesLable_);
    lines->addStretch();
    top->addLayout(lines);
    top->addWidget(fAppendFileCheck_);
    auto* options = new QHBoxLayout;
    options->setSpacing(0);
    options->addWidget(label3_);
    options->addWidget(fAppendLhaCheck_);
    options->addSpacing(px(this, 75));
    options->addWidget(fAppendSubCheck_);
    options->addWidget(label4_);
    options->addStretch();
    options->addWidget(command1_[0]);
    options->addSpacing(px(this, 120));
    options->addWidget(command1_[1]);
    top->addLayout(options);

    setTabOrder(mailToCombo_, fileCheck_[0]);
    setTabOrder(fileCheck_[0], fileCheck_[1]);
    setTabOrder(fileCheck_[1], fileCheck_[2]);
    setTabOrder(fileCheck_[2], fAppendBodyCheck_);
    setTabOrder(fAppendBodyCheck_, mailBdLinesText_);
    setTabOrder(mailBdLinesText_, fAppendFileCheck_);
    setTabOrder(fAppendFileCheck_, fAppendLhaCheck_);
    setTabOrder(fAppendLhaCheck_, fAppendSubCheck_);
    setTabOrder(fAppendSubCheck_, command1_[0]);
    setTabOrder(command1_[0], command1_[1]);

    // toggled fires exactly when a box's state changes, whoever changed it,
    // which is when each rule below must run.
    for (int i = 0; i < 3; ++i)
        connect(fileCheck_[i], &QCheckBox::toggled, this, [this, i] { FileCheck_Click(i); });
    connect(fAppendBodyCheck_, &QCheckBox::toggled, this, [this] { FAppendBodyCheck_Click(); });
    connect(fAppendFileCheck_, &QCheckBox::toggled, this, [this] { FAppendFileCheck_Click(); });
    connect(fAppendLhaCheck_, &QCheckBox::toggled, this, [this] { FAppendLhaCheck_Click(); });
    connect(fAppendSubCheck_, &QCheckBox::toggled, this, [this] { FAppendSubCheck_Click(); });
    connect(mailToCombo_, &QComboBox::editTextChanged, this, [this] { MailToCombo_Change(); });
    connect(mailToCombo_, &QComboBox::activated, this,
            [this] { guarded("MailToCombo_Click", [this] { enableRule(); }); });
    for (int i = 0; i < 2; ++i)
        connect(command1_[i], &QPushButton::clicked, this, [this, i] { Command1_Click(i); });

    Form_Load();
}

void ChkModeForm::keyPressEvent(QKeyEvent* event) {
    // Neither button is the default; Esc is ｷｬﾝｾﾙ.
    switch (event->key()) {
    case Qt::Key_Escape:
        Command1_Click(1);
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->ignore();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void ChkModeForm::guarded(const char* procedure, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        app_.log.WriteLog(-1, LogError, kModule, procedure, e.what(), 0);
    } catch (...) {
        app_.log.WriteLog(-1, LogError, kModule, procedure, "予期しないエラーです。", 0);
    }
}

int ChkModeForm::showMessage(const std::string& text, int style) {
    MessageBoxRequest request{"Kestrova", text, style};
    if (app_.messageBox)
        return app_.messageBox(request);
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Kestrova"), QString::fromStdString(text),
                    QMessageBox::Ok, this);
    box.exec();
    return IdOk;
}

void ChkModeForm::Form_Load() {
    guarded("Form_Load", [this] {
        DialogValues& d = app_.dialog;
        d.DialogAccepted = false;

        enableRule(); // the recipient text is still empty
        // Items first, so that adding the first one cannot replace the text.
        const QString recipient = QString::fromStdString(d.EditMailTo);
        mailToCombo_->addItem(recipient);
        mailToCombo_->setEditText(recipient);
        MailToCombo_Change(); // also when the text was already equal
        const std::string& sender = app_.settings.MailFromAddr;
        for (const WatchEntry& entry : app_.watchList) {
            const std::string& to = entry.SendMailTo;
            if (to.empty() || to == kMessageDisplay || to == sender)
                continue;
            if (mailToCombo_->findText(QString::fromStdString(to),
                                       Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
                mailToCombo_->addItem(QString::fromStdString(to));
        }
        if (!sender.empty() && QString::fromStdString(sender) != mailToCombo_->currentText())
            mailToCombo_->addItem(QString::fromStdString(sender));
        if (mailToCombo_->currentText() != QString::fromUtf8(kMessageDisplay)) {
            mailToCombo_->addItem(QString::fromUtf8(kMessageDisplay));
        } else {
            for (QCheckBox* box :
                 {fAppendBodyCheck_, fAppendFileCheck_, fAppendLhaCheck_, fAppendSubCheck_})
                box->setEnabled(false);
        }

        // Each check runs its rule, so a stored combination that breaks the
        // coupling is corrected here.
        const std::int32_t mode = d.EditChkMode;
        const std::pair<QCheckBox*, std::uint32_t> bits[] = {
            {fileCheck_[0], NotifyNew},           {fileCheck_[1], NotifyUpdate},
            {fileCheck_[2], NotifyDelete},        {fAppendBodyCheck_, BodyFromFile},
            {fAppendFileCheck_, AttachFiles},     {fAppendLhaCheck_, LhaArchive},
            {fAppendSubCheck_, IncludeSubfolders}};
        for (const auto& [box, bit] : bits)
            if (static_cast<std::uint32_t>(mode) & bit)
                box->setChecked(true);

        mailBdLinesText_->setText(QString::number(d.EditBdLines));
    });
}

void ChkModeForm::MailToCombo_Change() {
    guarded("MailToCombo_Change", [this] { enableRule(); });
}

void ChkModeForm::enableRule() {
    QCheckBox* const options[] = {fAppendBodyCheck_, fAppendFileCheck_, fAppendLhaCheck_,
                                  fAppendSubCheck_};
    const std::uint8_t kinds = app_.dialog.SelectionKinds;
    const bool anyEvent =
        fileCheck_[0]->isChecked() || fileCheck_[1]->isChecked() || fileCheck_[2]->isChecked();
    if (mailToCombo_->currentText() == QString::fromUtf8(kMessageDisplay) || !anyEvent) {
        for (QCheckBox* box : options)
            box->setEnabled(false);
    } else {
        if (!(kinds & SelFolder))
            fAppendBodyCheck_->setEnabled(true);
        fAppendFileCheck_->setEnabled(true);
        fAppendLhaCheck_->setEnabled(true);
        if (!(kinds & SelFile))
            fAppendSubCheck_->setEnabled(true);
    }
    bodyLinesRule();
}

void ChkModeForm::bodyLinesRule() {
    const bool on = fAppendBodyCheck_->isEnabled() && fAppendBodyCheck_->isChecked();
    mailBdLinesText_->setEnabled(on);
    mailBdLinesLable_->setEnabled(on);
}

void ChkModeForm::FileCheck_Click(int) {
    guarded("FileCheck_Click", [this] { enableRule(); });
}

void ChkModeForm::FAppendBodyCheck_Click() {
    guarded("FAppendBodyCheck_Click", [this] { bodyLinesRule(); });
}

void ChkModeForm::FAppendFileCheck_Click() {
    guarded("FAppendFileCheck_Click", [this] {
        if (!fAppendFileCheck_->isChecked())
            fAppendLhaCheck_->setChecked(false);
        else if (app_.dialog.SelectionKinds & SelFolder)
            fAppendLhaCheck_->setChecked(true); // a folder goes only as an archive
    });
}

void ChkModeForm::FAppendLhaCheck_Click() {
    guarded("FAppendLhaCheck_Click", [this] {
        if (fAppendLhaCheck_->isChecked()) {
            fAppendFileCheck_->setChecked(true); // an archive is an attachment
        } else {
            if (app_.dialog.SelectionKinds & SelFolder)
                fAppendFileCheck_->setChecked(false);
            fAppendSubCheck_->setChecked(false);
        }
        // Only a warning: the choice stays.
        if (fAppendLhaCheck_->isChecked() && GetUnlhaVersion(app_) < 0)
            showMessage(kArchiverMissing, MbOk);
    });
}

void ChkModeForm::FAppendSubCheck_Click() {
    guarded("FAppendSubCheck_Click", [this] {
        if (fAppendSubCheck_->isChecked())
            fAppendLhaCheck_->setChecked(true); // subfolders only inside an archive
    });
}

void ChkModeForm::Command1_Click(int index) {
    guarded("Command1_Click", [this, index] {
        if (index == 0) {
            DialogValues& d = app_.dialog;
            std::uint32_t mode = static_cast<std::uint32_t>(d.EditChkMode);
            const std::pair<QCheckBox*, std::uint32_t> bits[] = {
                {fileCheck_[0], NotifyNew},           {fileCheck_[1], NotifyUpdate},
                {fileCheck_[2], NotifyDelete},        {fAppendBodyCheck_, BodyFromFile},
                {fAppendFileCheck_, AttachFiles},     {fAppendLhaCheck_, LhaArchive},
                {fAppendSubCheck_, IncludeSubfolders}};
            for (const auto& [box, bit] : bits)
                mode = box->isChecked() ? (mode | bit) : (mode & ~bit);

            const std::string linesText = mailBdLinesText_->text().toStdString();
            std::int32_t lines = 0;
            if (!bodyLinesValue(numericValue(linesText), lines))
                throw std::overflow_error("オーバーフローしました。");

            d.EditMailTo = mailToCombo_->currentText().toStdString();
            d.EditChkMode = static_cast<std::int32_t>(mode);
            d.EditBdLines = lines;
            d.DialogAccepted = true;
            accept();
        } else {
            reject();
        }
    });
}

} // namespace kestrova
