#include "capturetail.h"

#include "capturefile.h"

#include <cstring>

CaptureTail::CaptureTail(const QString &path)
    : file(path)
{
}

QVector<CaptureLine> CaptureTail::read()
{
    startedOver = false;
    QVector<CaptureLine> lines;
    // The file may not be there yet: the next read tries again.
    if (!file.isOpen() && !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return lines;
    const qint64 size = file.size();
    if (size < offset) {
        offset = 0;
        partialLine.clear();
        startedOver = true;
        cutNs = -1;
    }
    if (size == offset || !file.seek(offset))
        return lines;
    const QByteArray data = partialLine + file.read(size - offset);
    offset = size;

    int start = 0;
    for (int end = data.indexOf('\n'); end >= 0; start = end + 1, end = data.indexOf('\n', start)) {
        const QByteArray line = data.mid(start, end - start);
        if (line.startsWith(captureCutPrefix)) {
            const int timeStart = int(std::strlen(captureCutPrefix));
            cutNs = line.mid(timeStart, line.indexOf(':') - timeStart).toLongLong();
            continue;
        }
        const QList<QByteArray> fields = line.split(',');
        bool isNumber = false;
        const std::int64_t timeNs = fields[0].toLongLong(&isNumber);
        // The header line, or anything else that is no transfer, is skipped.
        if (isNumber && fields.size() >= 4)
            lines.append({timeNs, fields[1].toInt(), fields[2].toDouble(), fields[3] == "1"});
    }
    partialLine = data.mid(start);
    return lines;
}
