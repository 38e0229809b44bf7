#include "syncline.h"

#include <cerrno>
#include <cstring>

#include <gpiod.h>

namespace {

constexpr const char *consumer = "ecg-simulator";

bool allDigits(const QString &text)
{
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return !text.isEmpty();
}

} // namespace

SyncLine::~SyncLine()
{
    close();
}

bool SyncLine::parse(const QString &text, GpioLineAddress *address, QString *reason, const QString &role)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    const QString chip = text.left(colon);
    const QString offset = text.mid(colon + 1);
    bool isNumber = false;
    const unsigned int number = allDigits(offset) ? offset.toUInt(&isNumber) : 0;
    if (colon < 0)
        *reason = QString("%1 \"%2\" refusée: PUCE:LIGNE attendu (par exemple gpiochip0:17)").arg(role, text);
    else if (chip.isEmpty())
        *reason = QString("%1 \"%2\" refusée: puce manquante avant \":\"").arg(role, text);
    else if (!isNumber)
        *reason = QString("%1 \"%2\" refusée: \"%3\" n'est pas un numéro de ligne").arg(role, text, offset);
    else
        *address = {chip, number};
    return colon >= 0 && !chip.isEmpty() && isNumber;
}

gpiod_line *findGpioLine(const GpioLineAddress &address, gpiod_chip **chip, int *error, QString *what)
{
    *chip = gpiod_chip_open_lookup(address.chip.toLocal8Bit().constData());
    if (!*chip) {
        *error = errno;
        *what = QString("ouverture de la puce \"%1\" impossible").arg(address.chip);
        return nullptr;
    }
    gpiod_line *found = gpiod_chip_get_line(*chip, address.offset);
    if (!found) {
        *error = errno;
        *what = QString("la puce \"%1\" n'a pas de ligne %2 (%3 lignes)")
                    .arg(address.chip)
                    .arg(address.offset)
                    .arg(gpiod_chip_num_lines(*chip));
    }
    return found;
}

bool SyncLine::open(const QString &chipAndLine)
{
    if (line)
        return true;
    if (!parse(chipAndLine, &address, &failure))
        return false;
    int error = 0;
    QString what;
    gpiod_line *found = findGpioLine(address, &chip, &error, &what);
    if (!found) {
        close();
        return fail(error, what);
    }
    if (gpiod_line_request_output(found, consumer, 0) < 0) {
        const int error = errno;
        close();
        return fail(error, QString("réservation de la ligne %1 de \"%2\" impossible")
                               .arg(address.offset).arg(address.chip));
    }
    line = found;
    return true;
}

bool SyncLine::set(bool high)
{
    if (!line)
        return fail(EBADF, QString("aucune ligne ouverte"));
    if (gpiod_line_set_value(line, high ? 1 : 0) == 0)
        return true;
    const int error = errno;
    return fail(error, QString("écriture de la ligne %1 de \"%2\" impossible").arg(address.offset).arg(address.chip));
}

void SyncLine::close()
{
    if (line)
        gpiod_line_release(line);
    if (chip)
        gpiod_chip_close(chip);
    line = nullptr;
    chip = nullptr;
}

bool SyncLine::fail(int error, const QString &what)
{
    failure = QString("Synchro GPIO: %1: \"%2\"").arg(what, QString::fromLocal8Bit(std::strerror(error)));
    return false;
}
