#include "regularfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString notRegular(mode_t mode)
{
    const char *kind = S_ISDIR(mode)                      ? "dossier"
                       : S_ISFIFO(mode)                   ? "FIFO"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "périphérique"
                       : S_ISSOCK(mode)                   ? "socket"
                                                          : "fichier spécial";
    return QString("pas un fichier ordinaire (%1)").arg(kind);
}

QString openError(int error, bool writing)
{
    switch (error) {
    case ENOENT:
        return writing ? "dossier absent" : "absent";
    case EACCES:
    case EPERM:
        return "accès refusé";
    case ENXIO: // a FIFO without reader, opened for writing without blocking
        return "pas un fichier ordinaire";
    default:
        return "impossible à ouvrir (" + QString::fromLocal8Bit(std::strerror(error)) + ")";
    }
}

} // namespace

bool openRegularFile(QFile &file, QIODevice::OpenMode mode, QString *reason)
{
    const QByteArray path = QFile::encodeName(file.fileName());
    const bool writing = mode & QIODevice::WriteOnly;
    struct stat named{};
    if (::stat(path.constData(), &named) != 0) {
        if (errno != ENOENT || !writing) {
            *reason = openError(errno, writing);
            return false;
        }
    } else if (!S_ISREG(named.st_mode)) {
        *reason = notRegular(named.st_mode);
        return false;
    }
    const int flags = (writing ? O_WRONLY | O_APPEND | O_CREAT : O_RDONLY) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = ::open(path.constData(), flags, 0666);
    if (fd < 0) {
        *reason = openError(errno, writing);
        return false;
    }
    struct stat opened{};
    if (fstat(fd, &opened) != 0)
        *reason = openError(errno, writing);
    else if (!S_ISREG(opened.st_mode))
        *reason = notRegular(opened.st_mode);
    else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        *reason = openError(errno, writing);
    else if (file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    else
        *reason = file.errorString();
    ::close(fd);
    return false;
}

QString excerpt(const QString &text)
{
    constexpr int most = 64;
    return text.size() <= most ? text : text.left(most) + "…";
}
