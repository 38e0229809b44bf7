#ifndef SAMPLEFILES_H
#define SAMPLEFILES_H

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// Writes small sample files into a temporary folder that goes with the object.
class SampleFiles
{
public:
    QString write(const QString &name, const QByteArray &content);
    QString path(const QString &name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
};

// The recorded ECG excerpt shipped beside the project, or empty when it is absent.
QString recordedSampleFile();

#endif // SAMPLEFILES_H
