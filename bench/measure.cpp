#include "measure.h"

#include <QFile>
#include <QSysInfo>

#include <algorithm>

#include <pthread.h>

std::int64_t monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

double threadCpuSeconds(clockid_t clock)
{
    timespec used{};
    clock_gettime(clock, &used);
    return used.tv_sec + used.tv_nsec / 1e9;
}

clockid_t currentThreadClock()
{
    clockid_t clock = CLOCK_THREAD_CPUTIME_ID;
    pthread_getcpuclockid(pthread_self(), &clock);
    return clock;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    const std::size_t rank = std::size_t(std::ceil(p * values.size()));
    return values[std::min(values.size() - 1, rank ? rank - 1 : 0)];
}

std::vector<std::int64_t> captureTimesNs(const QString &capture, std::int64_t fromNs)
{
    QFile file(capture);
    std::vector<std::int64_t> times;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return times;
    file.readLine();
    while (!file.atEnd()) {
        const std::int64_t time = file.readLine().split(',').value(0).toLongLong();
        if (time >= fromNs)
            times.push_back(time);
    }
    return times;
}

std::vector<double> edgeDelaysUs(const std::vector<std::int64_t> &framesNs, const QString &edges)
{
    std::vector<double> delays;
    QFile file(edges);
    if (framesNs.empty() || !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return delays;
    file.readLine();
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().trimmed().split(',');
        const std::int64_t time = fields.value(0).toLongLong();
        if (fields.value(2) != "1" || time < framesNs.front())
            continue;
        const auto after = std::upper_bound(framesNs.cbegin(), framesNs.cend(), time);
        delays.push_back((time - *(after - 1)) / 1000.0);
    }
    return delays;
}

std::vector<double> periodsUs(const std::vector<std::int64_t> &timesNs)
{
    std::vector<double> periods;
    for (std::size_t i = 1; i < timesNs.size(); ++i)
        periods.push_back((timesNs[i] - timesNs[i - 1]) / 1000.0);
    return periods;
}

Pacing pacingOf(const std::vector<double> &periods, double cpuSeconds, long frames)
{
    Pacing pacing;
    std::vector<double> overruns;
    for (double period : periods)
        overruns.push_back(period - framePauseUs - wireTimeUs);
    pacing.periodMedianUs = percentile(periods, 0.5);
    pacing.periodP99Us = percentile(periods, 0.99);
    pacing.periodMaxUs = percentile(periods, 1.0);
    double totalUs = 0;
    for (double period : periods)
        totalUs += period;
    pacing.samplesPerSecond = periods.empty() ? NAN : periods.size() * 1e6 / totalUs;
    const auto late = [](double period) { return period > 2 * nominalPeriodUs; };
    pacing.periodsOverTwiceNominal = double(std::count_if(periods.begin(), periods.end(), late));
    pacing.overrunMedianUs = percentile(overruns, 0.5);
    pacing.overrunP99Us = percentile(overruns, 0.99);
    pacing.cpuPerSampleUs = frames > 0 ? cpuSeconds * 1e6 / frames : NAN;
    pacing.frames = frames;
    return pacing;
}

// Frame i of a stretch without restart is due at start + i / rate; its time
// less i / rate is its lateness plus a constant (the start, the transfer),
// which the least late frame of the stretch gives. A frame a whole period or
// more later than the stretch's first starts a new stretch: the clock restarted.
ClockKeeping clockKeepingOf(const std::vector<std::int64_t> &timesNs, double rate)
{
    ClockKeeping keeping;
    if (timesNs.size() < 2)
        return keeping;
    const double periodNs = 1e9 / rate;
    std::vector<double> lateness;
    int restarts = 0;
    std::size_t stretchStart = 0;
    const auto closeStretch = [&](std::size_t end) {
        std::vector<double> offsets;
        for (std::size_t i = stretchStart; i < end; ++i)
            offsets.push_back(timesNs[i] - (i - stretchStart) * periodNs);
        const double least = *std::min_element(offsets.begin(), offsets.end());
        for (double offset : offsets)
            lateness.push_back((offset - least) / 1000.0);
    };
    for (std::size_t i = 1; i < timesNs.size(); ++i) {
        if (timesNs[i] - timesNs[stretchStart] - (i - stretchStart) * periodNs >= periodNs) {
            closeStretch(i);
            stretchStart = i;
            ++restarts;
        }
    }
    closeStretch(timesNs.size());
    const double measuredRate = (timesNs.size() - 1) * 1e9 / double(timesNs.back() - timesNs.front());
    keeping.frames = double(timesNs.size());
    keeping.rateErrorPpm = (measuredRate / rate - 1) * 1e6;
    keeping.latenessMedianUs = percentile(lateness, 0.5);
    keeping.latenessP99Us = percentile(lateness, 0.99);
    keeping.latenessMaxUs = percentile(lateness, 1.0);
    keeping.restarts = restarts;
    return keeping;
}

QString figure(double value, int decimals)
{
    return std::isnan(value) ? QString("n/a") : QString::number(value, 'f', decimals);
}

QByteArray procValue(const char *file, const char *key)
{
    QFile proc(file);
    proc.open(QIODevice::ReadOnly | QIODevice::Text);
    for (const QByteArray &line : proc.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(line.indexOf(':') + 1).trimmed();
    }
    return QByteArray();
}

QString cpuModel()
{
    const QByteArray model = procValue("/proc/cpuinfo", "model name");
    return model.isEmpty() ? QSysInfo::currentCpuArchitecture() : QString::fromLatin1(model);
}

QString ratio(double ours, double theirs)
{
    return std::isnan(ours) || std::isnan(theirs) || theirs == 0 ? QString("n/a")
                                                                 : QString::number(ours / theirs, 'f', 2);
}

long residentKiB()
{
    return procValue("/proc/self/status", "VmRSS").split(' ').value(0).toLong();
}

