#include "sentframes.h"

#include "fakespidev.h"

QVector<quint16> sentCodes(std::size_t from)
{
    QVector<quint16> codes;
    const std::vector<fakespidev::Transfer> transfers = fakespidev::transfers();
    for (std::size_t i = from; i < transfers.size(); ++i)
        codes.append(quint16(transfers[i].tx.at(1) << 8 | transfers[i].tx.at(2)));
    return codes;
}
