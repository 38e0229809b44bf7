#include "statusline.h"

#include "pacing.h"
#include "timing.h"

#include <QLocale>
#include <QStringList>

namespace {

const QString separator = QStringLiteral(" — ");

QString named(const QString &file, const QString &signal)
{
    return signal.isEmpty() ? file : QString("%1 (%2)").arg(file, signal);
}

QString stateText(PlayState state)
{
    switch (state) {
    case PlayState::Starting:
        return "Simulation en démarrage";
    case PlayState::Paused:
        return "Simulation en pause";
    case PlayState::Playing:
        return "Simulation en marche";
    case PlayState::Ending:
        return "Fin du programme en cours";
    case PlayState::Stopped:
        break;
    }
    return "Simulation arrêtée";
}

QString counted(const QLocale &french, qint64 count, const QString &one, const QString &many)
{
    return french.toString(count) + ' ' + (count < 2 ? one : many);
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
        second << classicPacingShortText;
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
        second << counted(french, facts.loops, "boucle", "boucles");
    if (facts.heartRate > 0)
        second << "FC de référence " + french.toString(facts.heartRate, 'f', 0) + "/min";
    if (facts.scoring) {
        const auto percent = [&french](const std::optional<double> &value) {
            return value ? french.toString(*value, 'f', 1) + " %" : QString("–");
        };
        second << "Se " + percent(facts.sensitivity) + " +P " + percent(facts.positivePredictivity);
    }
    return first.join(separator) + '\n' + second.join(separator);
}

QString healthText(const OutputHealth &health)
{
    const QLocale french(QLocale::French);
    QStringList parts;
    // Why it failed is in the box and the log; the line has room for the fact.
    parts << QString("DAC %1 %2").arg(health.device, !health.failure.isEmpty() ? "en échec"
                                                     : health.realDevice       ? "(réel)"
                                                                               : "(virtuel)");
    parts << (health.scheduling.isEmpty() ? QString("sans priorité temps réel") : "priorité " + health.scheduling);
    parts << counted(french, health.lateFrames, "trame en retard", "trames en retard") + ", "
                 + counted(french, health.clockRestarts, "relance", "relances");
    if (health.code < 0)
        parts << "rien envoyé";
    else if (health.millivolts)
        parts << QString("code %1, %2 mV").arg(health.code).arg(french.toString(*health.millivolts, 'f', 3));
    else
        parts << QString("code %1").arg(health.code);
    return parts.join(separator);
}
