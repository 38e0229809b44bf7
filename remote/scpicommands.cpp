#include "scpicommands.h"

#include "bounds.h"
#include "detectionscorer.h"
#include "playlistrun.h"

#include <QCoreApplication>
#include <QPointer>

#include <cmath>

namespace {

// What SCPI answers for a value that has none yet.
const QString notANumber = QStringLiteral("9.91E37");

// The last beat sent: its time on CLOCK_REALTIME in seconds (which a rig on
// another machine can set against its own clock), its sample and its label;
// not a number, -1 and "" before the first.
QString lastBeatAnswer(const SentBeat &beat)
{
    if (beat.label == 0)
        return notANumber + ",-1,\"\"";
    return QString("%1,%2,\"%3\"")
        .arg(QString::fromLatin1(secondsText(beat.realtimeNs)))
        .arg(beat.sample)
        .arg(QLatin1Char(beat.label));
}

// The output's health: "device",real,"failure","scheduling",late,restarts,code,mV
// (real 1 for a character device; not a number for the millivolts of a
// sample file's code, and -1 for the code before any frame).
QString healthAnswer(const OutputHealth &health)
{
    return QStringList{quoted(ascii(health.device)), health.realDevice ? "1" : "0", quoted(ascii(health.failure)),
                       quoted(health.scheduling), decimal(double(health.lateFrames)),
                       decimal(double(health.clockRestarts)), decimal(health.code),
                       health.millivolts ? QString::number(*health.millivolts, 'f', 3) : notANumber}
        .join(',');
}

QString numberOrNan(const std::optional<double> &value, int decimals)
{
    return value ? QString::number(*value, 'f', decimals) : notANumber;
}

enum class DetectionQuery { Count, Score, Delay };

// A monitor's detections, or a hardware-missing error without a detection
// line: "placed,whileOff,lost"; "se,ppv,tp,fn,fp" of the pass in progress
// (else the last ended); "median,p95,max" of the delays in ms. None yet while
// the output starts.
QString detectionAnswer(const Playback &playback, ScpiSession &session, DetectionQuery query)
{
    if (playback.givenSettings().detectLine.isEmpty()) {
        session.error(-241, "Aucune ligne de détection (--detect-gpio)");
        return QString();
    }
    if (!playback.detectionFailure().isEmpty()) {
        session.error(-241, playback.detectionFailure());
        return QString();
    }
    const DetectionScorer *detections = playback.detections();
    if (query == DetectionQuery::Count)
        return detections ? QString("%1,%2,%3").arg(detections->placed()).arg(detections->whileOff()).arg(detections->lost())
                          : QString("0,0,0");
    const BeatScore score = detections ? detections->score().value_or(BeatScore()) : BeatScore();
    if (query == DetectionQuery::Score)
        return QStringList{numberOrNan(score.sensitivity(), 3), numberOrNan(score.positivePredictivity(), 3),
                           decimal(double(score.truePositives())), decimal(double(score.falseNegatives())),
                           decimal(double(score.falsePositives()))}
            .join(',');
    const BeatScore::Delay delay = score.delay();
    const auto ms = [&delay](double value) { return numberOrNan(delay.count > 0 ? std::optional(value) : std::nullopt, 1); };
    return QStringList{ms(delay.medianMs), ms(delay.p95Ms), ms(delay.maxMs)}.join(',');
}

// The error code of a refusal: a path that names no readable file is not
// found, a value beyond its bounds out of range, others the command's own.
int errorCode(const Refusal &refusal, int otherwise)
{
    switch (refusal.kind) {
    case Refusal::NotFound: return -256;
    case Refusal::Outside: return -257;
    case Refusal::OutOfRange: return -222;
    case Refusal::NoSuchSignal: return -224;
    default: return otherwise;
    }
}

void refuse(ScpiSession &session, const Refusal &refusal, int otherwise)
{
    if (refusal)
        session.error(errorCode(refusal, otherwise), refusal.kind == Refusal::NotFound ? QString() : refusal.explained());
}

// A command that may wait for a file to be read: the client's next commands
// wait with it, and its refusal is queued when it comes, unless the client
// is gone by then.
Playback::Done whenDone(ScpiSession &session, int otherwise)
{
    session.hold();
    return [client = QPointer<ScpiSession>(&session), otherwise](const Refusal &refusal) {
        if (!client)
            return;
        refuse(*client, refusal, otherwise);
        client->release();
    };
}

} // namespace

ScpiCommands::ScpiCommands(Playback *playback, const OutputSettings &settings)
    : playback(playback), settings(settings)
{
}

// The command table: each command's header, its forms, its handler.
QString ScpiCommands::run(ScpiSession &session, const ScpiCommand &command)
{
    enum Form { setting = 1, query = 2, settingWithValue = 4, queryArgument = 8 };
    using Handler = QString (*)(ScpiCommands &, ScpiSession &, const ScpiCommand &);
    struct Entry
    {
        const char *header;
        int forms;
        Handler handler;
    };
    static const QString identity =
        "ECG simulator maintainers,ecg-simulator,0," + ascii(QCoreApplication::applicationVersion());
    static const Entry table[]{
        {"*CLS", setting,
         [](ScpiCommands &, ScpiSession &s, const ScpiCommand &) {
             s.clear();
             return QString();
         }},
        {"*ESE", setting | settingWithValue | query,
         [](ScpiCommands &, ScpiSession &s, const ScpiCommand &c) { return s.enable(c, &s.eventEnable); }},
        {"*ESR", query, [](ScpiCommands &, ScpiSession &s, const ScpiCommand &) { return decimal(s.takeEvents()); }},
        {"*IDN", query, [](ScpiCommands &, ScpiSession &, const ScpiCommand &) { return identity; }},
        {"*OPC", setting | query,
         [](ScpiCommands &, ScpiSession &s, const ScpiCommand &c) {
             if (!c.query)
                 s.operationComplete();
             return c.query ? QString("1") : QString();
         }},
        {"*RST", setting, [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &) { return p.reset(s); }},
        {"*SRE", setting | settingWithValue | query,
         [](ScpiCommands &, ScpiSession &s, const ScpiCommand &c) { return s.enable(c, &s.serviceRequestEnable); }},
        {"*STB", query, [](ScpiCommands &, ScpiSession &s, const ScpiCommand &) { return decimal(s.statusByte()); }},
        {"*TST", query, [](ScpiCommands &, ScpiSession &, const ScpiCommand &) { return QString("0"); }},
        {"*WAI", setting, [](ScpiCommands &, ScpiSession &, const ScpiCommand &) { return QString(); }},
        {"SYSTem:ERRor:[NEXT]", query,
         [](ScpiCommands &, ScpiSession &s, const ScpiCommand &) { return s.nextError(); }},
        {"SYSTem:ERRor:COUNt", query,
         [](ScpiCommands &, ScpiSession &s, const ScpiCommand &) { return decimal(s.errorCount()); }},
        {"SYSTem:ERRor:ALL", query, [](ScpiCommands &, ScpiSession &s, const ScpiCommand &) { return s.allErrors(); }},
        {"SYSTem:VERSion", query, [](ScpiCommands &, ScpiSession &, const ScpiCommand &) { return QString("1999.0"); }},
        {"OUTPut#:[STATe]", setting | settingWithValue | query,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &c) { return p.output(s, c); }},
        {"OUTPut#:LATE", query,
         [](ScpiCommands &p, ScpiSession &, const ScpiCommand &) {
             return QString("%1,%2").arg(p.playback->lateFrames()).arg(p.playback->clockRestarts());
         }},
        {"[SOURce#]:FILE", setting | settingWithValue | query,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &c) { return p.file(s, c); }},
        {"[SOURce#]:LIST", setting | settingWithValue | query,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &c) { return p.playlist(s, c); }},
        {"[SOURce#]:SIGNal", setting | settingWithValue | query,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &c) { return p.signal(s, c); }},
        {"[SOURce#]:RATE", setting | settingWithValue | query | queryArgument,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &c) { return p.rate(s, c); }},
        {"[SOURce#]:FSCale", setting | settingWithValue | query | queryArgument,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &c) { return p.fullScale(s, c); }},
        {"[SOURce#]:POSition", setting | settingWithValue | query | queryArgument,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &c) { return p.position(s, c); }},
        {"SYSTem:STATus", query,
         [](ScpiCommands &p, ScpiSession &, const ScpiCommand &) { return healthAnswer(p.playback->health()); }},
        {"[SOURce#]:BEAT:COUNt", query,
         [](ScpiCommands &p, ScpiSession &, const ScpiCommand &) { return decimal(double(p.playback->beatCount())); }},
        {"[SOURce#]:BEAT:LAST", query,
         [](ScpiCommands &p, ScpiSession &, const ScpiCommand &) { return lastBeatAnswer(p.playback->lastBeat()); }},
        {"SENSe:DETection:COUNt", query,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &) { return detectionAnswer(*p.playback, s, DetectionQuery::Count); }},
        {"SENSe:DETection:SCORe", query,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &) { return detectionAnswer(*p.playback, s, DetectionQuery::Score); }},
        {"SENSe:DETection:DELay", query,
         [](ScpiCommands &p, ScpiSession &s, const ScpiCommand &) { return detectionAnswer(*p.playback, s, DetectionQuery::Delay); }},
        {"[SOURce#]:BEAT:RATE", query,
         [](ScpiCommands &p, ScpiSession &, const ScpiCommand &) {
             const double perMinute = p.playback->heartRate();
             return perMinute > 0 ? QString::number(perMinute, 'f', 1) : notANumber;
         }},
    };
    for (const Entry &entry : table) {
        if (!matchesHeader(command.nodes, entry.header))
            continue;
        const bool takesValue = entry.forms & (command.query ? queryArgument : settingWithValue);
        if (!(entry.forms & (command.query ? query : setting)))
            session.error(-113);
        else if (!takesValue && !command.parameter.isEmpty())
            session.error(-108);
        else if (!command.query && takesValue && command.parameter.isEmpty())
            session.error(-109);
        else
            return entry.handler(*this, session, command);
        return QString();
    }
    session.error(-113);
    return QString();
}

// The commands that act on the program. Each queues its refusal and answers
// a query's value, or a null text.

bool ScpiCommands::ending(ScpiSession &session)
{
    if (playback->ending())
        refuse(session, Refusal::ending(), -200);
    return playback->ending();
}

QString ScpiCommands::output(ScpiSession &session, const ScpiCommand &command)
{
    if (command.query)
        return playback->switchedOn() ? "1" : "0";
    const QString state = command.parameter.toUpper();
    if (state != "ON" && state != "OFF" && state != "1" && state != "0") {
        session.error(-224);
        return QString();
    }
    playback->setPlaying(state == "ON" || state == "1", whenDone(session, -200));
    return QString();
}

QString ScpiCommands::file(ScpiSession &session, const ScpiCommand &command)
{
    if (command.query)
        return quoted(playback->file());
    playback->chooseFromAfar(unquoted(command.parameter), whenDone(session, -200));
    return QString();
}

// A playlist from the remote folders, each record once in turn; the query:
// the record that plays (from 1; 0 when none), of how many, and its path.
QString ScpiCommands::playlist(ScpiSession &session, const ScpiCommand &command)
{
    PlaylistRun *run = playback->playlist();
    if (command.query)
        return run ? QString("%1,%2,%3").arg(run->current()).arg(run->count()).arg(quoted(run->record()))
                   : QString("0,0,\"\"");
    if (ending(session))
        return QString();
    if (!run)
        session.error(-200, "Sortie pas encore démarrée");
    else
        refuse(session, run->start(unquoted(command.parameter), settings.remoteFolders), -200);
    return QString();
}

QString ScpiCommands::signal(ScpiSession &session, const ScpiCommand &command)
{
    if (command.query)
        return decimal(playback->signal() + 1);
    if (playback->file().isEmpty())
        refuse(session, Refusal::noFile(), -224);
    else
        playback->choose(playback->file(), unquoted(command.parameter), Playback::When::AtOnce, whenDone(session, -224));
    return QString();
}

QString ScpiCommands::rate(ScpiSession &session, const ScpiCommand &command)
{
    if (ending(session))
        return QString();
    const NumericRange range{minSampleRate, maxSampleRate, playback->defaultRate(), {{"HZ", 1}, {"KHZ", 1000}}};
    if (command.query)
        return session.numberQuery(command.parameter, playback->rate(), range);
    // The default is no rate over the files' own, not the number it comes to now.
    if (matchesNode(command.parameter, "DEFault"))
        refuse(session, playback->setDefaultRate(), -200);
    else if (const std::optional<double> rate = session.number(command.parameter, range))
        refuse(session, playback->setRate(*rate), -200);
    return QString();
}

QString ScpiCommands::fullScale(ScpiSession &session, const ScpiCommand &command)
{
    if (ending(session))
        return QString();
    const NumericRange range{minFullScaleMv, maxFullScaleMv, settings.fullScaleMv,
                             {{"UV", 0.001}, {"MV", 1}, {"V", 1000}}};
    if (command.query)
        return session.numberQuery(command.parameter, playback->fullScale(), range);
    if (const std::optional<double> fullScale = session.number(command.parameter, range))
        refuse(session, playback->setFullScale(*fullScale), -200);
    return QString();
}

QString ScpiCommands::position(ScpiSession &session, const ScpiCommand &command)
{
    if (ending(session))
        return QString();
    const NumericRange range{0, double(playback->length() - 1), 0, {}};
    if (command.query)
        return session.numberQuery(command.parameter, double(playback->position()), range);
    if (const std::optional<double> position = session.number(command.parameter, range)) {
        if (*position != std::floor(*position))
            session.error(-224);
        else
            refuse(session, playback->setPosition(qint64(*position)), -200);
    }
    return QString();
}

// The output off, from the first sample, at the settings' rate and full
// scale; the client's status and error queue stay.
QString ScpiCommands::reset(ScpiSession &session)
{
    if (ending(session))
        return QString();
    if (PlaylistRun *run = playback->playlist())
        run->abort();
    playback->stop();
    refuse(session, playback->setDefaultRate(), -200);
    playback->setFullScale(settings.fullScaleMv);
    return QString();
}
