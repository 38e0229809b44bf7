#include "remotefiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cstdint>

namespace {

// The path with its links resolved; for a missing file, its folder's, so that
// a link to a folder outside is still seen.
QString resolved(const QString &path)
{
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    if (!canonical.isEmpty())
        return canonical;
    const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
    return folder.isEmpty() ? QDir::cleanPath(info.absoluteFilePath()) : QDir(folder).filePath(info.fileName());
}

bool within(const QString &path, const QString &folder)
{
    return !folder.isEmpty() && (path == folder || path.startsWith(folder.endsWith('/') ? folder : folder + '/'));
}

// Devices are no regular files, which the readers refuse; /dev is not named
// here since /dev/shm holds ordinary files, on the same kind of file system.
bool onPseudoFileSystem(const QString &path)
{
    for (const char *root : {"/proc", "/sys"}) {
        if (within(path, root))
            return true;
    }
    struct statfs system;
    if (statfs(QFile::encodeName(path).constData(), &system) != 0)
        return false;
    // The magic numbers are 32 bits, f_type an int on a 32-bit system, a long on a 64-bit one.
    switch (std::uint32_t(system.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC:
    case EFIVARFS_MAGIC:
        return true;
    default:
        return false;
    }
}

} // namespace

QString installedSamplesFolder()
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + "/../share/ecg-simulator/samples");
}

Refusal remoteChoiceRefusal(const QString &path, const QStringList &folders)
{
    const QString file = resolved(path);
    if (onPseudoFileSystem(file))
        return {Refusal::Outside, "Fichier refusé.",
                QString("« %1 » est sur un système de fichiers virtuel (/proc, /sys) : refusé à distance")
                    .arg(path)};
    const bool inside = std::any_of(folders.begin(), folders.end(), [&](const QString &folder) {
        return within(file, QFileInfo(folder).canonicalFilePath());
    });
    if (inside)
        return {};
    return {Refusal::Outside, "Fichier refusé.",
            QString("« %1 » est hors des dossiers permis à distance (%2 ; voir --remote-files)")
                .arg(path, folders.join(':'))};
}
