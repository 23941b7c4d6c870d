#include "ui/EnvSetForm.h"

#include "core/App.h"
#include "core/Numeric.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>

#include <algorithm>
#include <exception>

namespace kestrova {

namespace {

constexpr const char* kModule = "EnvSetForm";
constexpr const char* kPopBeforeSmtp = "POP before SMTP";
const char* const kAuthModes[] = {kPopBeforeSmtp, "SMTP AUTH LOGIN", "SMTP AUTH CRAM-MD5",
                                  "SMTP AUTH PLAIN"};

int px(const QWidget* w, int twips) {
    return twips * w->logicalDpiX() / 1440;
}

// A field 330 twips high as drawn, or just the text's line and the frame
// where the font needs more.
int fieldHeight(const QWidget* w) {
    return std::max(px(w, 330), w->fontMetrics().height() + 4);
}

QLineEdit* makeText(QWidget* parent, const char* name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMinimumWidth(px(parent, 7035));
    edit->setFixedHeight(fieldHeight(parent));
    return edit;
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* caption) {
    auto* label = new QLabel(QString::fromUtf8(caption), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setMinimumWidth(px(parent, 2400));
    return label;
}

QString serverTip(int port) {
    return QStringLiteral(
               "サーバー名のみ指定（mail.example.com）、ポート番号指定（mail.example.com:%1）")
        .arg(port);
}

// Blank: nothing left once spaces (half- and full-width) are removed from
// both ends.
bool isBlank(const QString& text) {
    for (QChar c : text)
        if (c != QChar(u' ') && c != QChar(u'\u3000'))
            return false;
    return true;
}

std::string fromPlainText(const QString& text) {
    QString t = text;
    t.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
    return t.toStdString();
}

QString toPlainText(const std::string& text) {
    QString t = QString::fromStdString(text);
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    t.replace(QChar(u'\r'), QChar(u'\n'));
    return t;
}

} // namespace

EnvSetForm::EnvSetForm(App& app, QWidget* parent) : QDialog(parent), app_(app) {
    setObjectName(QStringLiteral("EnvSetForm"));
    setWindowTitle(QStringLiteral("共通設定"));
    setModal(true);
    QFont font(QStringLiteral("Noto Sans Mono CJK JP"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(9.75);
    setFont(font);

    authModeCombo_ = new QComboBox(this);
    authModeCombo_->setObjectName(QStringLiteral("AuthModeCombo"));
    authModeCombo_->setEditable(false);
    authModeCombo_->setFixedHeight(fieldHeight(this));
    popServerText_ = makeText(this, "PopServerText");
    popServerText_->setMinimumWidth(px(this, 6135));
    popServerText_->setToolTip(serverTip(110));
    apopCheck_ = new QCheckBox(QStringLiteral("APOP"), this);
    apopCheck_->setObjectName(QStringLiteral("ApopCheck"));
    smtpServerText_ = makeText(this, "SmtpServerText");
    smtpServerText_->setToolTip(serverTip(25));
    mailFromUserText_ = makeText(this, "MailFromUserText");
    mailFromPassText_ = makeText(this, "MailFromPassText");
    mailFromPassText_->setEchoMode(QLineEdit::Password);
    mailFromPassText_->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    mailFromPassText_->setAttribute(Qt::WA_InputMethodEnabled, false);
    mailFromNameText_ = makeText(this, "MailFromNameText");
    mailFromAddrText_ = makeText(this, "MailFromAddrText");
    mailTitleText_ = makeText(this, "MailTitleText");
    mailFListAddCheck_ =
        new QCheckBox(QStringLiteral("通知メッセージに更新ファイル一覧を付加する"), this);
    mailFListAddCheck_->setObjectName(QStringLiteral("MailFListAddCheck"));
    mailMsgText_ = new QPlainTextEdit(this);
    mailMsgText_->setObjectName(QStringLiteral("MailMsgText"));
    mailMsgText_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mailMsgText_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    mailMsgText_->setTabChangesFocus(true);
    mailMsgText_->setMinimumWidth(px(this, 9465));
    // Its own height, not the taller default of a text box.
    mailMsgText_->setFixedHeight(px(this, 1410));
    checkSecText_ = makeText(this, "CheckSecText");
    const char* buttonCaptions[2] = {"OK", "ｷｬﾝｾﾙ"};
    for (int i = 0; i < 2; ++i) {
        command1_[i] = new QPushButton(QString::fromUtf8(buttonCaptions[i]), this);
        command1_[i]->setObjectName(QStringLiteral("Command1_%1").arg(i));
        // Neither button answers Enter or Esc.
        command1_[i]->setAutoDefault(false);
        command1_[i]->setDefault(false);
        command1_[i]->setMinimumWidth(px(this, 780));
    }

    auto* grid = new QGridLayout(this);
    grid->setSizeConstraint(QLayout::SetFixedSize);
    // Rows 405 twips apart, 90 twips from the edges, as the form was drawn;
    // a font taller than that keeps at least a small gap.
    grid->setContentsMargins(px(this, 90), px(this, 90), px(this, 90), px(this, 90));
    grid->setVerticalSpacing(std::max(2, px(this, 405) - fieldHeight(this)));
    int row = 0;
    auto addRow = [&](const char* name, const char* caption, QWidget* field) {
        grid->addWidget(makeLabel(this, name, caption), row, 0);
        grid->addWidget(field, row, 1);
        ++row;
    };
    addRow("Label10", "メール送信認証方式", authModeCombo_);
    auto* pop = new QWidget(this);
    auto* popRow = new QHBoxLayout(pop);
    popRow->setContentsMargins(0, 0, 0, 0);
    popRow->addWidget(popServerText_, 1);
    popRow->addWidget(apopCheck_);
    addRow("Label9", "ＰＯＰサーバー", pop);
    addRow("Label1", "ＳＭＴＰサーバー", smtpServerText_);
    addRow("Label7", "ユーザＩＤ", mailFromUserText_);
    addRow("Label3", "パスワード", mailFromPassText_);
    addRow("Label8", "ユーザ名", mailFromNameText_);
    addRow("Label2", "送信元メールアドレス", mailFromAddrText_);
    addRow("Label4", "通知メッセージタイトル", mailTitleText_);
    auto* list = new QWidget(this);
    auto* listRow = new QHBoxLayout(list);
    listRow->setContentsMargins(0, 0, 0, 0);
    listRow->addSpacing(px(this, 2025));
    listRow->addWidget(mailFListAddCheck_, 1);
    addRow("Label5", "通知メッセージ", list);
    grid->addWidget(mailMsgText_, row++, 0, 1, 2);
    addRow("Label6", "ファイル監視間隔（秒）", checkSecText_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(command1_[0]);
    buttons->addWidget(command1_[1]);
    grid->addLayout(buttons, row, 0, 1, 2);

    QWidget* const tabOrder[] = {smtpServerText_,    mailFromUserText_, mailFromPassText_,
                                 mailFromNameText_,  mailFromAddrText_, mailTitleText_,
                                 mailFListAddCheck_, mailMsgText_,      checkSecText_,
                                 command1_[0],       command1_[1],      authModeCombo_,
                                 popServerText_,     apopCheck_};
    for (size_t i = 1; i < std::size(tabOrder); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    connect(authModeCombo_, &QComboBox::currentIndexChanged, this,
            [this] { AuthModeCombo_Click(); });
    mailFromUserText_->installEventFilter(this);
    for (int i = 0; i < 2; ++i)
        connect(command1_[i], &QPushButton::clicked, this, [this, i] { Command1_Click(i); });

    Form_Load();
}

void EnvSetForm::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->ignore();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

bool EnvSetForm::eventFilter(QObject* watched, QEvent* event) {
    // Leaving the field for another control of this dialog; switching to
    // another window is no leaving.
    if (watched == mailFromUserText_ && event->type() == QEvent::FocusOut) {
        const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
            MailFromUserText_Validate();
    }
    return QDialog::eventFilter(watched, event);
}

void EnvSetForm::guarded(const char* procedure, const std::function<void()>& body) {
    try {
        body();
    } catch (const std::exception& e) {
        app_.log.WriteLog(-1, LogError, kModule, procedure, e.what(), 0);
    } catch (...) {
        app_.log.WriteLog(-1, LogError, kModule, procedure, "予期しないエラーです。", 0);
    }
}

int EnvSetForm::showMessage(const std::string& text, int style) {
    MessageBoxRequest request{"Kestrova", text, style};
    if (app_.messageBox)
        return app_.messageBox(request);
    const bool yesNo = (style & 7) == MbYesNo;
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Kestrova"), QString::fromStdString(text),
                    yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, this);
    const int chosen = box.exec();
    if (yesNo)
        return chosen == QMessageBox::Yes ? IdYes : IdNo;
    return IdOk;
}

void EnvSetForm::Form_Load() {
    guarded("Form_Load", [this] {
        const AppSettings& s = app_.settings;
        app_.dialog.DialogAccepted = false;
        smtpServerText_->setText(QString::fromStdString(s.SmtpServer));
        authModeCombo_->clear();
        for (const char* mode : kAuthModes)
            authModeCombo_->addItem(QString::fromUtf8(mode));
        // An unknown stored mode leaves the first item.
        authModeCombo_->setCurrentIndex(0);
        AuthModeCombo_Click();
        const int stored = authModeCombo_->findText(QString::fromStdString(s.AuthMode),
                                                    Qt::MatchExactly | Qt::MatchCaseSensitive);
        if (stored >= 0)
            authModeCombo_->setCurrentIndex(stored);
        apopCheck_->setChecked(s.APopMode);
        popServerText_->setText(QString::fromStdString(s.PopServer));
        mailFromUserText_->setText(QString::fromStdString(s.MailFromUser));
        mailFromPassText_->setText(QString::fromStdString(s.MailFromPass));
        mailFromNameText_->setText(QString::fromStdString(s.MailFromName));
        mailFromAddrText_->setText(QString::fromStdString(s.MailFromAddr));
        mailTitleText_->setText(QString::fromStdString(s.MailTitle));
        mailMsgText_->setPlainText(toPlainText(s.MailMsg));
        mailFListAddCheck_->setChecked(s.MailFListAdd);
        checkSecText_->setText(QString::fromStdString(s.CheckSec));
        smtpServerText_->setFocus(Qt::OtherFocusReason);
    });
}

void EnvSetForm::AuthModeCombo_Click() {
    guarded("AuthModeCombo_Click", [this] {
        const bool pop = authModeCombo_->currentText() == QString::fromUtf8(kPopBeforeSmtp);
        // A disabled field keeps its text and is still saved; it is only
        // greyed with the button face.
        QPalette palette = popServerText_->palette();
        const QPalette standard = popServerText_->style()->standardPalette();
        const QColor background = pop ? standard.color(QPalette::Active, QPalette::Base)
                                      : palette.color(QPalette::Button);
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, QPalette::Base, background);
        popServerText_->setPalette(palette);
        popServerText_->setEnabled(pop);
        apopCheck_->setEnabled(pop);
    });
}

void EnvSetForm::MailFromUserText_Validate() {
    guarded("MailFromUserText_Validate", [this] {
        if (mailFromAddrText_->text().isEmpty())
            mailFromAddrText_->setText(mailFromUserText_->text());
    });
}

void EnvSetForm::Command1_Click(int index) {
    guarded("Command1_Click", [this, index] {
        if (index == 0) {
            if (acceptFields())
                accept();
        } else {
            reject();
        }
    });
}

bool EnvSetForm::acceptFields() {
    // Each failed check stops with its message and the focus on its field.
    auto stop = [this](const char* message, QWidget* field) {
        showMessage(message, MbOk);
        field->setFocus(Qt::OtherFocusReason);
        return false;
    };
    auto fillDefault = [this](const char* message, QLineEdit* field, const char* value) {
        showMessage(message, MbOk);
        field->setText(QString::fromUtf8(value));
        field->setFocus(Qt::OtherFocusReason);
        return false;
    };

    if (smtpServerText_->text().isEmpty()) {
        const int answer = showMessage("ＳＭＴＰサーバーが入力されていません。\r\n"
                                       "メール送信機能は使用できませんが宜しいですか？",
                                       MbYesNo);
        if (answer != IdYes) {
            smtpServerText_->setFocus(Qt::OtherFocusReason);
            return false;
        }
    } else {
        if (authModeCombo_->currentText() == QString::fromUtf8(kPopBeforeSmtp) &&
            popServerText_->text().isEmpty())
            return stop("ＰＯＰサーバーを入力してください", popServerText_);
        if (mailFromUserText_->text().isEmpty())
            return stop("ユーザＩＤを入力してください", mailFromUserText_);
        if (mailFromPassText_->text().isEmpty())
            return stop("パスワードを入力してください", mailFromPassText_);
        if (mailFromAddrText_->text().isEmpty())
            return stop("送信元メールアドレスを入力してください", mailFromAddrText_);
        if (isBlank(mailFromNameText_->text()))
            return fillDefault("ユーザ名が空白の場合は自動的に既定値が設定されます",
                               mailFromNameText_, "ケストロバ");
    }
    if (isBlank(mailTitleText_->text()))
        return fillDefault("通知メッセージタイトルが空白の場合は自動的に既定値が設定されます",
                           mailTitleText_, "ファイル更新通知");
    if (isBlank(mailMsgText_->toPlainText())) {
        showMessage("通知メッセージが空白の場合は自動的に既定値が設定されます", MbOk);
        mailMsgText_->setPlainText(QStringLiteral("監視中のファイルが更新されました。"));
        mailMsgText_->setFocus(Qt::OtherFocusReason);
        return false;
    }
    if (!(numericValue(checkSecText_->text().toStdString()) > 0))
        return fillDefault("ファイル監視間隔が空白の場合は自動的に既定値が設定されます",
                           checkSecText_, "10");

    AppSettings& s = app_.settings;
    const AppSettings previous = s;
    s.SmtpServer = smtpServerText_->text().toStdString();
    s.AuthMode = authModeCombo_->currentText().toStdString();
    s.APopMode = apopCheck_->isChecked();
    s.PopServer = popServerText_->text().toStdString();
    s.MailFromUser = mailFromUserText_->text().toStdString();
    s.MailFromPass = mailFromPassText_->text().toStdString();
    s.MailFromName = mailFromNameText_->text().toStdString();
    s.MailFromAddr = mailFromAddrText_->text().toStdString();
    s.MailTitle = mailTitleText_->text().toStdString();
    s.MailMsg = fromPlainText(mailMsgText_->toPlainText());
    s.CheckSec = checkSecText_->text().toStdString();
    s.MailFListAdd = mailFListAddCheck_->isChecked();
    app_.dialog.DialogAccepted = true;
    if (!WriteIni(app_)) {
        // The next pass reloads the files, so unsaved settings would vanish
        // silently: keep memory as stored and let the user retry or cancel.
        s = previous;
        app_.dialog.DialogAccepted = false;
        app_.log.WriteLog(-1, LogError, kModule, "Command1_Click",
                          "設定ファイルに保存できませんでした。", 0);
        return false;
    }
    return true;
}

} // namespace kestrova
