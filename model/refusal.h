#ifndef REFUSAL_H
#define REFUSAL_H

#include <QString>

// Why a command was not carried out: its kind, for a front end that answers
// by code (SCPI, an exit status); the operator's text, for a box; and the
// reason, which names the file or the value and says what is wrong (the line
// the log has). A default one is no refusal.
struct Refusal
{
    enum Kind {
        None,
        NoFile,       // no file chosen yet
        NotFound,     // no readable regular file at that path
        Unreadable,   // a file whose content cannot be played
        Empty,        // not a single sample in it
        NoSuchSignal, // the file has no signal of that number or label
        OutOfRange,   // a rate, full scale or position beyond what is accepted
        Device,       // the DAC cannot be set up
        Marking,      // the sync line or the beat log cannot be set up
        Ending,       // the program is ending
        Cancelled,    // a newer choice, or the operator, ended the read
        Outside,      // a file named from afar outside the folders it may come from
        Busy,         // one runs already
    };

    Kind kind = None;
    QString text;
    QString reason;

    explicit operator bool() const { return kind != None; }
    // The operator's text with the reason under it.
    QString explained() const { return reason.isEmpty() ? text : text + "\n" + reason; }

    // The refusals that every entry gives in the same words.
    static Refusal noFile() { return {NoFile, "Aucun fichier sélectionné.", QString()}; }
    static Refusal ending() { return {Ending, "Fin du programme en cours.", QString()}; }
    static Refusal device(const QString &reason) { return {Device, "Erreur initialisation DAC8551", reason}; }
    static Refusal cancelled(const QString &path)
    {
        return {Cancelled, "Lecture annulée.", QString("Lecture de « %1 » annulée").arg(path)};
    }
};

#endif // REFUSAL_H
