#ifndef CONTROLS_H
#define CONTROLS_H

#include <QString>

class AppWorker;

// The commands that remote interfaces drive, as the window or the headless
// mode carries them out: the same checks and refusals, and the window shows
// what they did. Each returns the program's own message for a refusal, or an
// empty text once done.
class Controls
{
public:
    virtual ~Controls() = default;

    // The output worker, for its rate, length and read position; null once
    // the program is ending.
    virtual AppWorker *worker() const = 0;
    // The file chosen (empty for none), and the signal of it that plays, from 0.
    virtual QString file() const = 0;
    virtual int signal() const = 0;
    virtual bool playing() const = 0;

    // Chooses a file and its signal (a number from 1 or a label; empty: the
    // first) as the file dialog does; it plays from its first sample, at once
    // while the output is on.
    virtual QString choose(const QString &path, const QString &signal) = 0;
    virtual QString setPlaying(bool on) = 0;
    // Ends the program as Quitter does (the output switched off first).
    virtual void quit() = 0;
    // Whether there is a window, and bringing it to the front.
    virtual bool hasWindow() const = 0;
    virtual void raiseWindow() = 0;
};

// The refusal of a file that loadFile could not read (-1) or found no sample in (0).
inline QString loadRefusal(int loaded)
{
    return loaded < 0 ? QStringLiteral("Impossible d'ouvrir le fichier.") : QStringLiteral("Le fichier est vide.");
}

#endif // CONTROLS_H
