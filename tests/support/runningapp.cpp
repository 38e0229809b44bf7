#include "runningapp.h"

#include "app.h"
#include "mainui.h"

#include <QApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {
constexpr int quitWithinMs = 5000;

// The application keeps the file dialog's last folder in the user's config:
// operated from here, in a config folder of the run's own. Set before the
// first file dialog, since Qt reads XDG_CONFIG_HOME once.
void keepConfigApart()
{
    static QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
}

} // namespace

RunningApp::RunningApp(const OutputSettings &settings)
    : app(std::make_unique<App>(settings))
{
    keepConfigApart();
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *candidate = qobject_cast<MainUI *>(widget);
        if (candidate && !candidate->isVisible())
            window = candidate;
    }
    app->start();
}

RunningApp::~RunningApp()
{
    if (app)
        quit();
}

QPushButton *RunningApp::button(const char *name) const
{
    return window->findChild<QPushButton *>(name);
}

// Files are read in the background: a click is done once what it asked to read is.
void RunningApp::click(const char *name)
{
    QTest::mouseClick(button(name), Qt::LeftButton);
    if (!QTest::qWaitFor([this] { return !app || !app->playback()->loading(); }, quitWithinMs))
        qWarning("RunningApp: a file is still read 5 s after the click");
}

void RunningApp::choose(const QString &path, const ModalDriver::Answer &then)
{
    modals.expect(ModalDriver::chooseFile(path));
    if (then)
        modals.expect(then);
    click("openFileButton");
}

int RunningApp::quit()
{
    QMetaObject::invokeMethod(
        window,
        [this] {
            if (button("btnSimu")->isChecked())
                click("btnSimu");
            click("btnQuit");
        },
        Qt::QueuedConnection);
    QTimer timeout;
    QObject::connect(&timeout, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    timeout.start(quitWithinMs);
    const int status = QApplication::exec();
    app.reset();
    return status;
}
