#ifndef UNIXSIGNALS_H
#define UNIXSIGNALS_H

#include <QObject>
#include <QVector>

#include <initializer_list>

class QSocketNotifier;

// Unix signals brought to the event loop of the thread that made this object
// (Qt's way): the handler only writes the signal's number to a non-blocking
// socket pair, which a QSocketNotifier reads. One per process.
class UnixSignals : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignals(QObject *parent = nullptr);
    ~UnixSignals() override;

    // Catches these signals from now on; false when that could not be set up.
    bool catchSignals(std::initializer_list<int> numbers);

signals:
    // Once for each signal caught, in order.
    void received(int number);

private:
    void readSignals();

    QSocketNotifier *notifier = nullptr;
    QVector<int> caught;
};

#endif // UNIXSIGNALS_H
