#ifndef SYNCPULSE_H
#define SYNCPULSE_H

#include <cstdint>
#include <limits>
#include <memory>

class SyncLine;

// The sync line as the output loop drives it: high right after a marked
// frame, low once its width has passed or before the next frame, whichever
// comes first, so that every pulse belongs to one frame. A failing line is
// said once when it starts failing and once when it works again.
class SyncPulse
{
public:
    static constexpr std::int64_t never = std::numeric_limits<std::int64_t>::max();

    SyncPulse(std::unique_ptr<SyncLine> line, double widthMs);
    ~SyncPulse();

    void rise(std::int64_t nowNs, std::int64_t nextFrameNs);
    // When the line is to go low; never while it is low.
    std::int64_t fallDueNs() const { return fallAtNs; }
    void fallIfDue(std::int64_t nowNs);
    void fall();

private:
    void drive(bool high);

    std::unique_ptr<SyncLine> line;
    const std::int64_t widthNs;
    std::int64_t fallAtNs = never;
    bool failing = false;
};

#endif // SYNCPULSE_H
