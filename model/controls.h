#ifndef CONTROLS_H
#define CONTROLS_H

// What a remote interface may ask of the front end that runs the program,
// beside the playback: the window or the headless mode.
class Controls
{
public:
    virtual ~Controls() = default;

    // Ends the program as Quitter (or SIGTERM headless) does.
    virtual void quit() = 0;
    // Whether there is a window, and bringing it to the front.
    virtual bool hasWindow() const = 0;
    virtual void raiseWindow() = 0;
};

#endif // CONTROLS_H
