#ifndef SYNCLINE_H
#define SYNCLINE_H

#include <QString>

struct gpiod_chip;
struct gpiod_line;

// A GPIO line as the operator names it: the chip (name, number, path or label,
// as libgpiod's lookup takes them) and the line's offset on it.
struct GpioLineAddress
{
    QString chip;
    unsigned int offset = 0;
};

// Opens address's chip into *chip and finds its line there; null, with the
// system's error and what failed, when either cannot be done (*chip is then
// null or open, for the caller to close).
gpiod_line *findGpioLine(const GpioLineAddress &address, gpiod_chip **chip, int *error, QString *what);

// One GPIO output line, driven by libgpiod, that marks moments on a scope or a
// monitor's trigger input. Failures are reported by results and a French
// reason, never by exceptions.
class SyncLine
{
public:
    SyncLine() = default;
    ~SyncLine();

    SyncLine(const SyncLine &) = delete;
    SyncLine &operator=(const SyncLine &) = delete;

    // Reads "CHIP:LINE" (e.g. "gpiochip0:17"); false and the reason, naming the
    // line's role, when the text is not of that form.
    static bool parse(const QString &text, GpioLineAddress *address, QString *reason,
                      const QString &role = QStringLiteral("Synchro GPIO"));

    // Requests the line named "CHIP:LINE" as an output, low; true at once if a line is open.
    bool open(const QString &chipAndLine);
    // Drives the open line high or low; one ioctl, nothing allocated unless it fails.
    bool set(bool high);
    // Releases the line and closes its chip; the line keeps its last level.
    void close();

    bool opened() const { return line != nullptr; }
    // Why the last open or set failed.
    const QString &lastFailure() const { return failure; }

private:
    bool fail(int error, const QString &what);

    gpiod_chip *chip = nullptr;
    gpiod_line *line = nullptr;
    GpioLineAddress address;
    QString failure;
};

#endif // SYNCLINE_H
