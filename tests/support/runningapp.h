#ifndef RUNNINGAPP_H
#define RUNNINGAPP_H

#include "modaldriver.h"
#include "outputsettings.h"

#include <memory>

class App;
class MainUI;
class QPushButton;

// The application as main runs it, with its window found and its dialogs
// answered, operated through its buttons as a user would.
class RunningApp
{
public:
    explicit RunningApp(const OutputSettings &settings = OutputSettings());
    // One that was not quit yet leaves as the operator would.
    ~RunningApp();

    QPushButton *button(const char *name) const;
    // Clicks a button; returns once the file it may have asked for is read.
    void click(const char *name);
    // Chooses path in the file dialog; then answers what the choice brings up.
    void choose(const QString &path, const ModalDriver::Answer &then = {});
    // Quits as the operator does (switching off first if need be), after what
    // is queued, inside the event loop: a quit outside it would end the next
    // modal dialog at once. The loop's result, or 1 when Quit did not end it.
    int quit();

    ModalDriver modals;
    std::unique_ptr<App> app;
    MainUI *window = nullptr;
};

#endif // RUNNINGAPP_H
