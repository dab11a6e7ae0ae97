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
// "Key" at the top level (the [General] section), "Section/Key" elsewhere. Keys keep the order of
// the file; a new key goes after the others.
class IniText {
public:
    // Whatever the bytes are, the result is some set of values: a line that does not parse is
    // skipped, as QSettings skips it.
    static IniText Parse(QByteArrayView file);
    QByteArray Format() const;

    std::optional<QString> Find(const QString& key) const;
    void Set(const QString& key, const QString& text);

private:
    std::vector<std::pair<QString, QString>> Values;
};

} // namespace kt
