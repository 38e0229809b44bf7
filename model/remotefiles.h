#ifndef REMOTEFILES_H
#define REMOTEFILES_H

#include "refusal.h"

#include <QStringList>

// The samples installed with the program: ../share/ecg-simulator/samples
// beside it (in a build tree, a link to the source tree's).
QString installedSamplesFolder();

// Why a file that a client names (SCPI, MPRIS) may not be read: once its
// links are resolved, outside every one of folders (themselves resolved), or
// on a pseudo file system (/proc, /sys and their kind), whose "files" can
// block or never end. None when it may. Whether it exists is not told.
Refusal remoteChoiceRefusal(const QString &path, const QStringList &folders);

#endif // REMOTEFILES_H
