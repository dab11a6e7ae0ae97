#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>
#include <utility>
#include <vector>

namespace kt {

// The values of one INI file in QSettings' own syntax, so that a file written by either this or
// QSettings reads the same through both. Values are texts; a key is named as QSettings names it:
// "Key" at the top level (the [General] section), "Section/Key" elsewhere. Where a key appears
// twice, the first is the one read and set (QSettings, which never writes a key twice, would read
// the last). Formatting keeps the file as it was parsed but for the values set since: comments,
// blank lines, line ends, other keys and sections stay; a changed value is written in place of the
// old one on its line, a new key after the last key of its section (a new section at the end).
class IniText {
public:
    // Whatever the bytes are, the result is some set of values: a line that does not parse is
    // skipped, as QSettings skips it.
    static IniText Parse(QByteArrayView file);
    // Ends with a line break unless empty. Should the file's own layout not read back the same
    // values (a quote left open before a new key would swallow it), the whole file is written
    // anew, without its comments.
    QByteArray Format() const;

    std::optional<QString> Find(const QString& key) const;
    void Set(const QString& key, const QString& text);

private:
    struct Value {
        QString key;
        QString text;
        qsizetype from = -1; // the value's bytes in the parsed file; -1 for a new key
        qsizetype to = -1;
        bool changed = false;
    };
    QByteArray Rewritten() const;
    bool ReadsBack(const QByteArray& file) const;

    std::vector<Value> Values;
    QByteArray Source;
    QByteArray Eol = "\n";
    // Where a new key of each section goes: after the line break of its last key (or header);
    // sections named as their keys begin.
    std::vector<std::pair<QString, qsizetype>> SectionEnds;
};

} // namespace kt
