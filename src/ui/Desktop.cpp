#include "ui/Desktop.h"

#include "core/App.h"
#include "cycle/CheckCycle.h"
#include "ui/AppIcon.h"
#include "ui/DesktopNotifier.h"
#include "ui/LogForm.h"
#include "ui/MainForm.h"
#include "ui/MessageBoxes.h"
#include "ui/MsgForm.h"
#include "ui/SingleInstance.h"

#include <QApplication>

namespace kestrova {

struct Desktop::Impl {
    App& app;
    CheckCycle& cycle;
    std::unique_ptr<SingleInstance> instance;
    std::unique_ptr<DesktopNotifier> notifier;
    std::unique_ptr<MsgForm> msgForm;
    std::unique_ptr<LogForm> logForm;
    std::unique_ptr<MainForm> mainForm;
};

Desktop::Desktop(App& app, CheckCycle& cycle) : impl_(new Impl{app, cycle, {}, {}, {}, {}, {}}) {}

Desktop::~Desktop() {
    // The hooks point into the windows: take them down first.
    App& app = impl_->app;
    app.log.reloadViewer = nullptr;
    app.showMessageWindow = nullptr;
    impl_->mainForm.reset();
    impl_->logForm.reset();
    impl_->msgForm.reset();
    impl_->notifier.reset();
}

bool Desktop::start() {
    Impl& d = *impl_;
    App& app = d.app;
    d.instance = std::make_unique<SingleInstance>(app.settings.MainCaption);
    if (!d.instance->claim())
        return false;

    // The program lives on in the tray when every window is hidden; it ends
    // only through the main window.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(AppIcon());

    installMessageBoxes(app);

    d.notifier = std::make_unique<DesktopNotifier>(app);
    d.msgForm = std::make_unique<MsgForm>(app);
    d.msgForm->notifier = d.notifier.get();
    QObject::connect(d.notifier.get(), &DesktopNotifier::showRequested, d.msgForm.get(),
                     [&d](const QString& token) { d.msgForm->bringToFront(token); });
    d.logForm = std::make_unique<LogForm>(app);
    app.log.reloadViewer = [&d] { d.logForm->LoadLogFile(); };
    app.showMessageWindow = [&d] { d.msgForm->MsgShow(); };

    d.mainForm = std::make_unique<MainForm>(app, d.cycle, *d.logForm, *d.msgForm);
    QObject::connect(d.mainForm.get(), &MainForm::exitRequested, qApp, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    QObject::connect(d.instance.get(), &SingleInstance::showRequested, d.mainForm.get(),
                     [&d](const QString& token) { d.mainForm->bringToFront(token); });
    // A tray host shows the application name as the item's title. The X11
    // window class comes from the name too and stays "kestrova" (what the
    // desktop entry names): Qt takes it once, with the first native window.
    d.mainForm->winId();
    QCoreApplication::setApplicationName(QStringLiteral("ケストロバ"));
    d.mainForm->Form_Load();
    d.msgForm->Form_Load();
    return true;
}

} // namespace kestrova
