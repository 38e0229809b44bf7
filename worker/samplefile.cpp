#include "samplefile.h"

#include <QFile>
#include <QTextStream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool openSampleFile(QFile &file)
{
    const int fd = ::open(QFile::encodeName(file.fileName()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat status{};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return false;
    }
    if (!file.open(fd, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool readSampleLines(QIODevice &file, const std::function<void(const QString &line)> &take)
{
    QTextStream in(&file);
    while (!in.atEnd()) {
        // One character more than allowed tells an over-long line from one that fits.
        const QString line = in.readLine(maxSampleLineLength + 1);
        if (line.size() > maxSampleLineLength)
            return false;
        take(line);
    }
    return true;
}
