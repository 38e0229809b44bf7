#include "syncpulse.h"

#include "syncline.h"

#include <QDebug>

#include <algorithm>

SyncPulse::SyncPulse(std::unique_ptr<SyncLine> line, double widthMs)
    : line(std::move(line)), widthNs(std::int64_t(widthMs * 1e6))
{
}

// The line is left low: it keeps its last level once released.
SyncPulse::~SyncPulse()
{
    fall();
}

void SyncPulse::rise(std::int64_t nowNs, std::int64_t nextFrameNs)
{
    drive(true);
    fallAtNs = std::min(nowNs + widthNs, nextFrameNs);
}

void SyncPulse::fallIfDue(std::int64_t nowNs)
{
    if (nowNs >= fallAtNs)
        fall();
}

void SyncPulse::fall()
{
    if (fallAtNs == never)
        return;
    drive(false);
    fallAtNs = never;
}

void SyncPulse::drive(bool high)
{
    const bool driven = line->set(high);
    if (!driven && !failing)
        qWarning().noquote() << line->lastFailure();
    else if (driven && failing)
        qWarning() << "Synchro GPIO rétablie";
    failing = !driven;
}
