#include "samplefile.h"

#include <QFile>
#include <QFileInfo>

bool openSampleFile(QFile &file)
{
    return QFileInfo(file.fileName()).isFile() && file.open(QIODevice::ReadOnly | QIODevice::Text);
}
