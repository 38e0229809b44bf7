#ifndef PLAYLISTFILE_H
#define PLAYLISTFILE_H

#include <QString>
#include <QStringList>

// The records of a playlist, in order: a text file of one record's path a line
// (relative to the file's folder; blank lines and lines starting with # are
// skipped), or a folder, whose WFDB headers and EDF and BDF files are taken in
// name order. False, with the reason, when it cannot be read or names none.
bool readPlaylist(const QString &path, QStringList *records, QString *error);

#endif // PLAYLISTFILE_H
