#include "statusline.h"

#include "timing.h"

#include <QLocale>
#include <QStringList>

namespace {

const QString separator = QStringLiteral(" — ");

QString named(const QString &file, const QString &signal)
{
    return signal.isEmpty() ? file : QString("%1 (%2)").arg(file, signal);
}

QString stateText(PlaybackFacts::State state)
{
    switch (state) {
    case PlaybackFacts::State::Paused:
        return "Simulation en pause";
    case PlaybackFacts::State::Playing:
        return "Simulation en marche";
    case PlaybackFacts::State::Stopped:
        break;
    }
    return "Simulation arrêtée";
}

} // namespace

QString statusText(const PlaybackFacts &facts)
{
    const QLocale french(QLocale::French);
    if (facts.fileName.isEmpty())
        return stateText(facts.state) + separator + "aucun fichier";
    QStringList first{stateText(facts.state)};
    if (facts.outputFile.isEmpty())
        first << named(facts.fileName, facts.signalLabel);
    else
        first << "Sortie : " + named(facts.outputFile, facts.outputSignal)
              << "affiché : " + named(facts.fileName, facts.signalLabel);

    QStringList second;
    if (facts.rate > 0) {
        QString pace = french.toString(facts.rate, 'g', 6) + " éch./s";
        if (facts.ownRate > 0)
            pace += ", x " + french.toString(facts.rate / facts.ownRate, 'f', 2);
        second << pace;
    } else {
        second << "pause de 2 ms";
    }
    if (facts.length > 0) {
        // The recording's time, as the chart counts it.
        const double perSecond = facts.ownRate > 0 ? facts.ownRate
                                 : facts.rate > 0  ? facts.rate
                                                   : classicSamplesPerSecond;
        second << QString("%1 / %2, éch. %3 / %4")
                      .arg(clockText(facts.position / perSecond), clockText(facts.length / perSecond),
                           french.toString(facts.position), french.toString(facts.length));
    }
    if (facts.fullScaleMv)
        second << "pleine échelle " + french.toString(*facts.fullScaleMv, 'g', 6) + " mV";
    if (facts.loops > 0)
        second << french.toString(facts.loops) + (facts.loops == 1 ? " boucle" : " boucles");
    if (facts.heartRate > 0)
        second << "FC de référence " + french.toString(facts.heartRate, 'f', 0) + "/min";
    return first.join(separator) + '\n' + second.join(separator);
}
