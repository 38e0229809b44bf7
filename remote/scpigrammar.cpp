#include "scpigrammar.h"

#include <QRegularExpression>

#include <algorithm>
#include <cmath>

// Split at the semicolons outside quoted strings.
ScpiLine::ScpiLine(const QString &line) : commands{QString()}
{
    QChar quote;
    for (QChar c : line) {
        if (!quote.isNull())
            quote = c == quote ? QChar() : quote;
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == ';') {
            commands.append(QString());
            continue;
        }
        commands.last() += c;
    }
}

std::optional<ScpiCommand> ScpiLine::next()
{
    while (!commands.isEmpty()) {
        QString text = commands.takeFirst().trimmed();
        if (text.isEmpty())
            continue;
        const bool fromRoot = text.startsWith(':');
        if (fromRoot)
            text.remove(0, 1);
        static const QRegularExpression blank("\\s");
        const int space = text.indexOf(blank);
        ScpiCommand command;
        QString header = space < 0 ? text : text.left(space);
        command.parameter = space < 0 ? QString() : text.mid(space + 1).trimmed();
        command.query = header.endsWith('?');
        if (command.query)
            header.chop(1);
        const bool common = header.startsWith('*');
        command.nodes = header.split(':');
        if (!common) {
            if (!fromRoot)
                command.nodes = base + command.nodes;
            base = command.nodes.mid(0, command.nodes.size() - 1);
        }
        return command;
    }
    return std::nullopt;
}

bool matchesNode(QString node, QString form)
{
    if (form.endsWith('#')) {
        form.chop(1);
        if (node.endsWith('1'))
            node.chop(1);
    }
    QString shortForm;
    for (QChar c : form) {
        if (!c.isLower())
            shortForm += c;
    }
    const QString upper = node.toUpper();
    return upper == shortForm || upper == form.toUpper();
}

static bool matchesFrom(const QStringList &nodes, int node, const QStringList &forms, int form)
{
    if (form == forms.size())
        return node == nodes.size();
    QString expected = forms[form];
    const bool optional = expected.startsWith('[');
    if (optional)
        expected = expected.mid(1, expected.size() - 2);
    if (node < nodes.size() && matchesNode(nodes[node], expected) && matchesFrom(nodes, node + 1, forms, form + 1))
        return true;
    return optional && matchesFrom(nodes, node, forms, form + 1);
}

bool matchesHeader(const QStringList &nodes, const QString &header)
{
    return matchesFrom(nodes, 0, header.split(':'), 0);
}

QString unquoted(const QString &parameter)
{
    if (parameter.size() >= 2 && (parameter.startsWith('"') || parameter.startsWith('\''))
        && parameter.endsWith(parameter.front())) {
        const QString quote = parameter.front();
        return parameter.mid(1, parameter.size() - 2).replace(quote + quote, quote);
    }
    return parameter;
}

QString quoted(const QString &text)
{
    return '"' + QString(text).replace('"', "\"\"") + '"';
}

std::optional<double> namedNumber(const QString &parameter, const NumericRange &range)
{
    if (matchesNode(parameter, "MINimum"))
        return range.least;
    if (matchesNode(parameter, "MAXimum"))
        return range.most;
    if (matchesNode(parameter, "DEFault"))
        return range.byDefault;
    return std::nullopt;
}

std::optional<double> numericValue(const QString &parameter, const NumericRange &range, int *error)
{
    if (const std::optional<double> named = namedNumber(parameter, range))
        return named;
    static const QRegularExpression numberAndSuffix(
        "^([+-]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][+-]?\\d+)?)\\s*([A-Za-z]*)$");
    const QRegularExpressionMatch match = numberAndSuffix.match(parameter);
    if (!match.hasMatch()) {
        *error = -224;
        return std::nullopt;
    }
    double value = match.captured(1).toDouble();
    const QString suffix = match.captured(2).toUpper();
    if (!suffix.isEmpty()) {
        const auto unit = std::find_if(range.units.begin(), range.units.end(),
                                       [&](const QPair<QString, double> &known) { return known.first == suffix; });
        if (unit == range.units.end()) {
            *error = -131;
            return std::nullopt;
        }
        value *= unit->second;
    }
    if (!std::isfinite(value) || value < range.least || value > range.most) {
        *error = -222;
        return std::nullopt;
    }
    return value;
}

QString decimal(double value)
{
    return QString::number(value, 'g', 12);
}

QString ascii(const QString &text)
{
    QString result;
    for (const QChar c : text) {
        if (c.unicode() < 128) {
            result += c;
        } else if (c == QChar(0x00AB) || c == QChar(0x00BB)) {
            result += '"';
        } else {
            QString base;
            for (const QChar part : c.decomposition()) {
                if (part.unicode() < 128)
                    base += part;
            }
            result += base.isEmpty() ? QString("?") : base;
        }
    }
    return result;
}
