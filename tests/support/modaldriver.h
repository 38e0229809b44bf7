#ifndef MODALDRIVER_H
#define MODALDRIVER_H

#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

#include <functional>

class QWidget;

// Answers the modal dialogs that the code under test opens, from inside their
// own event loops, in the order expected. A modal that nobody expected, or that
// its answer cannot settle, is rejected after a while and counted, so that no
// test can hang on it.
class ModalDriver : public QObject
{
public:
    // Answers the active modal; false to be called again on the next poll.
    using Answer = std::function<bool(QWidget *modal)>;

    ModalDriver();

    void expect(const Answer &answer);
    int pending() const { return answers.size(); }
    int unexpected() const { return unexpectedCount; }

    // Answers for the application's two kinds of modal.
    static Answer chooseFile(const QString &path);
    static Answer cancelFileDialog();
    // Checks the warning box ("Erreur", text, OK only, parent window, no busy
    // cursor) and presses OK;
    // seen is set once the box was as it should be.
    static Answer acknowledgeWarning(const QString &text, bool *seen);

private:
    void poll();

    QTimer timer;
    QQueue<Answer> answers;
    QWidget *unanswered = nullptr;
    int unansweredPolls = 0;
    int unexpectedCount = 0;
};

#endif // MODALDRIVER_H
