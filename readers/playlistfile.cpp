#include "playlistfile.h"

#include "regularfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Some thousands of records: a database of databases is not one playlist.
constexpr qint64 maxFileSize = 1 << 20;

} // namespace

bool readPlaylist(const QString &path, QStringList *records, QString *error)
{
    records->clear();
    const QString named = "Liste de lecture \"" + excerpt(path) + "\" : ";
    const QFileInfo info(path);
    if (info.isDir()) {
        const QDir folder(path);
        for (const QString &name : folder.entryList({"*.hea", "*.edf", "*.bdf"}, QDir::Files, QDir::Name))
            records->append(folder.filePath(name));
    } else {
        QFile file(path);
        QString reason;
        if (!openRegularFile(file, QIODevice::ReadOnly, &reason)) {
            *error = named + reason;
            return false;
        }
        const QByteArray text = file.read(maxFileSize + 1);
        if (text.size() > maxFileSize) {
            *error = named + "plus de 1 Mo, trop grande pour une liste";
            return false;
        }
        for (const QByteArray &line : text.split('\n')) {
            const QString record = QString::fromUtf8(line).trimmed();
            if (!record.isEmpty() && !record.startsWith('#'))
                records->append(QDir::cleanPath(info.dir().absoluteFilePath(record)));
        }
    }
    if (records->isEmpty()) {
        *error = named + "aucun enregistrement";
        return false;
    }
    return true;
}
