#ifndef REGULARFILE_H
#define REGULARFILE_H

#include <QIODevice>
#include <QString>

class QFile;

// Opens file (constructed with its path) as every file that a user, a header
// or a client names is opened: only a regular file (or a link to one). mode:
// ReadOnly, with Text or not, or WriteOnly | Append (created if missing).
// A device or FIFO that the path names is never opened (opening a serial port
// acts on its lines); the file is then opened without blocking, and its
// descriptor, the one then read or written, decides: a path replaced in
// between by a FIFO, a device or a directory is refused, never read. False
// with *reason in French ("absent", "pas un fichier ordinaire (FIFO)" ...).
bool openRegularFile(QFile &file, QIODevice::OpenMode mode, QString *reason);

// A file's text as a refusal or the log quotes it: at most 64 characters,
// then "…", so that no file puts more of itself there.
QString excerpt(const QString &text);

#endif // REGULARFILE_H
