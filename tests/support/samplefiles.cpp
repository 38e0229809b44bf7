#include "samplefiles.h"

#include <QFile>
#include <QFileInfo>

QString SampleFiles::write(const QString &name, const QByteArray &content)
{
    const QString filePath = dir.filePath(name);
    QFile file(filePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write test file %s", qPrintable(filePath));
    return filePath;
}

QString recordedSampleFile()
{
    return QFileInfo(QStringLiteral(ECG_RECORDED_SAMPLE_FILE)).canonicalFilePath();
}
