#ifndef SCPIGRAMMAR_H
#define SCPIGRAMMAR_H

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <optional>

// SCPI's grammar: lines of commands separated by ';', short or long headers
// in any case, optional nodes left out, queries ending in '?'; and the forms
// of the answers.

// A command as parsed: its header's nodes, whether it asks, and its parameter.
struct ScpiCommand
{
    QStringList nodes;
    bool query = false;
    QString parameter;
};

// The commands of a line, in order. A header that does not start with ':'
// continues the path of the one before; a common command (*...) neither
// takes nor changes it.
class ScpiLine
{
public:
    ScpiLine() = default;
    explicit ScpiLine(const QString &line);

    bool atEnd() const { return commands.isEmpty(); }
    // The next command, empty ones skipped; nothing at the end.
    std::optional<ScpiCommand> next();
    void drop() { commands.clear(); }

private:
    QStringList commands;
    QStringList base;
};

// A header node in its short form (the long form's capitals: SOUR) or its
// long form (SOURCE), in any case; a form ending in '#' takes the suffix 1.
bool matchesNode(QString node, QString form);
// A header against a command's: "[SOURce#]:RATE" is RATE, SOURce:RATE or
// SOURce1:RATE; a node in brackets may be left out.
bool matchesHeader(const QStringList &nodes, const QString &header);

// A string parameter, quoted ("a b", with "" for a quote) or bare.
QString unquoted(const QString &parameter);
QString quoted(const QString &text);

// What a numeric setting takes: a number in its unit or with a suffix of
// another, or MINimum, MAXimum, DEFault.
struct NumericRange
{
    double least;
    double most;
    double byDefault;
    QList<QPair<QString, double>> units; // suffix, and what one of it is in the setting's unit
};

// The value that MINimum, MAXimum or DEFault names.
std::optional<double> namedNumber(const QString &parameter, const NumericRange &range);
// A numeric parameter's value, or nothing and the SCPI error that refuses it.
std::optional<double> numericValue(const QString &parameter, const NumericRange &range, int *error);

QString decimal(double value);
// 7-bit ASCII, which any client decodes: accents dropped, French quotes as ",
// anything else as '?'.
QString ascii(const QString &text);

#endif // SCPIGRAMMAR_H
