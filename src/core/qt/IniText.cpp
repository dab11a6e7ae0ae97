#include "core/qt/IniText.h"

#include <QStringList>

#include <algorithm>

namespace kt {
namespace {

bool IsBlank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f' || ch == '\v';
}

int HexDigit(char16_t ch) {
    if (ch >= '0' && ch <= '9') {
        return ch - '0';
    }
    if (ch >= 'a' && ch <= 'f') {
        return ch - 'a' + 10;
    }
    if (ch >= 'A' && ch <= 'F') {
        return ch - 'A' + 10;
    }
    return -1;
}

struct Line {
    QByteArrayView text;
    qsizetype equals = -1; // the first '=' outside quotes, within text
};

// QSettings' lines: quotes carry a line on across line ends, a backslash hides the character
// after it (a line end too), and ';' outside quotes ends the line; at its start, a comment.
bool NextLine(QByteArrayView data, qsizetype& pos, Line& line) {
    const qsizetype size = data.size();
    qsizetype start = pos;
    while (start < size && IsBlank(data[start])) {
        ++start;
    }
    bool quoted = false;
    qsizetype equals = -1;
    qsizetype i = start;
    while (i < size) {
        const char ch = data[i++];
        if (ch == '=') {
            if (!quoted && equals < 0) {
                equals = i - 1;
            }
        } else if (ch == '\n' || ch == '\r') {
            if (i == start + 1) {
                ++start;
            } else if (!quoted) {
                --i;
                break;
            }
        } else if (ch == '\\') {
            if (i < size) {
                const char hidden = data[i++];
                if (i < size &&
                    ((hidden == '\n' && data[i] == '\r') || (hidden == '\r' && data[i] == '\n'))) {
                    ++i;
                }
            }
        } else if (ch == '"') {
            quoted = !quoted;
        } else if (ch == ';') {
            if (i == start + 1) {
                while (i < size && data[i] != '\n' && data[i] != '\r') {
                    ++i;
                }
                while (i < size && IsBlank(data[i])) {
                    ++i;
                }
                start = i;
            } else if (!quoted) {
                --i;
                break;
            }
        }
    }
    pos = i;
    line.text = data.sliced(start, i - start);
    line.equals = equals < 0 ? -1 : equals - start;
    return !line.text.isEmpty();
}

// Keys and section names: '\' stands for '/', %XX and %UXXXX for one UTF-16 unit.
QString UnescapeKey(QByteArrayView bytes) {
    const QString key = QString::fromUtf8(bytes);
    QString result;
    for (qsizetype i = 0; i < key.size();) {
        const QChar ch = key[i];
        if (ch == u'\\') {
            result += u'/';
            ++i;
            continue;
        }
        const qsizetype first = i + 1 < key.size() && key[i + 1] == u'U' ? i + 2 : i + 1;
        const qsizetype digits = first == i + 2 ? 4 : 2;
        char16_t code = 0;
        bool escaped = ch == u'%' && first + digits <= key.size();
        for (qsizetype d = first; escaped && d < first + digits; ++d) {
            const int value = HexDigit(key[d].unicode());
            escaped = value >= 0;
            code = static_cast<char16_t>(code * 16 + value);
        }
        result += escaped ? QChar(code) : ch;
        i = escaped ? first + digits : i + 1;
    }
    return result;
}

QByteArray EscapeKey(const QString& key) {
    QByteArray result;
    for (const QChar qch : key) {
        const char16_t ch = qch.unicode();
        if (ch == '/') {
            result += '\\';
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                   (ch >= '0' && ch <= '9') || ch == '_' || ch == '-' || ch == '.') {
            result += static_cast<char>(ch);
        } else {
            const QByteArray hex = QByteArray::number(ch, 16).toUpper();
            result +=
                ch <= 0xFF ? "%" + hex.rightJustified(2, '0') : "%U" + hex.rightJustified(4, '0');
        }
    }
    return result;
}

// A value as QSettings hands its text out: "@@" keeps a leading '@', and the few typed forms
// that can hold a text give it.
QString StoredText(const QString& value) {
    if (value.startsWith(u'@') && value.endsWith(u')')) {
        if (value.startsWith(u"@ByteArray(")) {
            return QString::fromUtf8(value.mid(11, value.size() - 12).toLatin1());
        }
        if (value.startsWith(u"@String(")) {
            return value.mid(8, value.size() - 9);
        }
        if (value == u"@Invalid()") {
            return {};
        }
    }
    return value.startsWith(u"@@") ? value.mid(1) : value;
}

// QSettings' values: C escapes, quotes that keep blanks, commas and ';', and unquoted commas
// that split the value into a list (whose pieces come back joined by single commas).
QString UnescapeValue(QByteArrayView str) {
    static constexpr char Escapes[][2] = {{'a', '\a'}, {'b', '\b'},  {'f', '\f'}, {'n', '\n'},
                                          {'r', '\r'}, {'t', '\t'},  {'v', '\v'}, {'"', '"'},
                                          {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    const qsizetype size = str.size();
    QStringList pieces;
    QString current;
    bool list = false;
    bool inQuotes = false;
    bool currentQuoted = false;
    bool chopAtEnd = true;
    qsizetype i = 0;
    qsizetype chopLimit = 0;
    const auto skipBlanks = [&] {
        while (i < size && (str[i] == ' ' || str[i] == '\t')) {
            ++i;
        }
        chopLimit = current.size();
    };
    const auto chop = [&] {
        while (current.size() > chopLimit && (current.back() == u' ' || current.back() == u'\t')) {
            current.chop(1);
        }
    };
    skipBlanks();
    while (i < size) {
        const char ch = str[i];
        if (ch == '\\') {
            if (++i >= size) {
                chopAtEnd = false;
                break;
            }
            const char code = str[i++];
            const auto* simple = std::find_if(std::begin(Escapes), std::end(Escapes),
                                              [&](const char* e) { return e[0] == code; });
            const int radix = code == 'x' ? 16 : (code >= '0' && code <= '7' ? 8 : 0);
            if (simple != std::end(Escapes)) {
                current += QLatin1Char((*simple)[1]);
            } else if (code == 'x' && i >= size) {
                chopAtEnd = false;
                break;
            } else if (radix != 0 && (radix == 8 || HexDigit(static_cast<uchar>(str[i])) >= 0)) {
                char16_t value = radix == 8 ? static_cast<char16_t>(code - '0') : 0;
                for (int digit = 0;
                     i < size && (digit = HexDigit(static_cast<uchar>(str[i]))) >= 0 &&
                     digit < radix;
                     ++i) {
                    value = static_cast<char16_t>(value * radix + digit);
                }
                current += QChar(value);
            } else if ((code == '\n' || code == '\r') && i < size &&
                       (str[i] == '\n' || str[i] == '\r') && str[i] != code) {
                ++i;
            }
            chopLimit = current.size();
        } else if (ch == '"') {
            ++i;
            currentQuoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipBlanks();
            }
        } else if (ch == ',' && !inQuotes) {
            if (!currentQuoted) {
                chop();
            }
            list = true;
            pieces.append(std::exchange(current, QString()));
            currentQuoted = false;
            ++i;
            skipBlanks();
        } else {
            qsizetype j = i + 1;
            while (j < size && str[j] != '\\' && str[j] != '"' && str[j] != ',') {
                ++j;
            }
            current += QString::fromUtf8(str.sliced(i, j - i));
            i = j;
        }
    }
    if (chopAtEnd && !currentQuoted) {
        chop();
    }
    if (!list) {
        return StoredText(current);
    }
    pieces.append(current);
    for (QString& piece : pieces) {
        piece = StoredText(piece);
    }
    return pieces.join(u',');
}

QByteArray EscapeValue(const QString& text) {
    QString value = text;
    if (value.contains(QChar(0))) {
        value = QStringLiteral("@String(") + value + u')';
    } else if (value.startsWith(u'@')) {
        value.prepend(u'@');
    }
    QByteArray result;
    QString plain;
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    const auto escape = [&](const QByteArray& code) {
        result += plain.toUtf8();
        plain.clear();
        result += code;
    };
    for (const QChar qch : value) {
        const char16_t ch = qch.unicode();
        needsQuotes = needsQuotes || ch == ';' || ch == ',' || ch == '=';
        // A hex digit right after a numeric escape would be read as part of it.
        if (escapeNextIfDigit && HexDigit(ch) >= 0) {
            escape("\\x" + QByteArray::number(ch, 16));
            continue;
        }
        escapeNextIfDigit = false;
        static constexpr char Named[][2] = {{'\a', 'a'}, {'\b', 'b'}, {'\f', 'f'},
                                            {'\n', 'n'}, {'\r', 'r'}, {'\t', 't'},
                                            {'\v', 'v'}, {'"', '"'},  {'\\', '\\'}};
        const auto* named = std::find_if(std::begin(Named), std::end(Named),
                                         [&](const char* e) { return e[0] == ch; });
        if (named != std::end(Named)) {
            escape(QByteArray("\\") + (*named)[1]);
        } else if (ch <= 0x1F) {
            escape(ch == 0 ? QByteArray("\\0") : "\\x" + QByteArray::number(ch, 16));
            escapeNextIfDigit = true;
        } else {
            plain += qch;
        }
    }
    escape({});
    if (needsQuotes || result.startsWith(' ') || result.endsWith(' ')) {
        result = '"' + result + '"';
    }
    return result;
}

QString SectionOf(const QString& key) {
    const qsizetype slash = key.indexOf(u'/');
    return slash < 0 ? QString() : key.left(slash);
}

// Past the line break that ends the line whose text ends at pos (a comment after ';' included).
qsizetype PastLineEnd(QByteArrayView data, qsizetype pos) {
    while (pos < data.size() && data[pos] != '\n' && data[pos] != '\r') {
        ++pos;
    }
    if (pos < data.size() && data[pos] == '\r') {
        ++pos;
    }
    if (pos < data.size() && data[pos] == '\n') {
        ++pos;
    }
    return pos;
}

bool EndsLine(const QByteArray& bytes) {
    return bytes.endsWith('\n') || bytes.endsWith('\r');
}

QByteArray SectionHeader(const QString& section) {
    // A section named General in any case is written so that it is not read as the top level.
    return section.isEmpty()                                       ? QByteArray("General")
           : section.compare(u"general", Qt::CaseInsensitive) == 0 ? QByteArray("%General")
                                                                   : EscapeKey(section);
}

QByteArray KeyLine(const QString& key, const QString& text, const QByteArray& eol) {
    const QString section = SectionOf(key);
    return EscapeKey(section.isEmpty() ? key : key.mid(section.size() + 1)) + '=' +
           EscapeValue(text) + eol;
}

} // namespace

IniText IniText::Parse(QByteArrayView file) {
    IniText ini;
    ini.Source = file.toByteArray();
    const qsizetype firstBreak = ini.Source.indexOf('\n');
    if (firstBreak > 0 && ini.Source[firstBreak - 1] == '\r') {
        ini.Eol = "\r\n";
    }
    const qsizetype base = file.startsWith("\xef\xbb\xbf") ? 3 : 0;
    const QByteArrayView body = QByteArrayView(ini.Source).sliced(base);
    const auto endSection = [&ini](const QString& section, qsizetype end) {
        const auto found = std::find_if(ini.SectionEnds.begin(), ini.SectionEnds.end(),
                                        [&](const auto& known) { return known.first == section; });
        if (found == ini.SectionEnds.end()) {
            ini.SectionEnds.emplace_back(section, end);
        } else {
            found->second = end;
        }
    };
    QString section; // as its keys' names begin: empty for [General], else "Name/"
    qsizetype pos = 0;
    Line line;
    while (NextLine(body, pos, line)) {
        const qsizetype start = line.text.data() - body.data();
        const qsizetype lineEnd = base + PastLineEnd(body, start + line.text.size());
        if (line.text.startsWith('[')) {
            const QByteArray header = line.text.toByteArray();
            const qsizetype close = header.indexOf(']');
            const QByteArray name = header.mid(1, close < 0 ? -1 : close - 1).trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0) {
                section.clear();
            } else if (name.compare("%general", Qt::CaseInsensitive) == 0) {
                section = QString::fromLatin1(name.mid(1)) + u'/';
            } else {
                section = UnescapeKey(name) + u'/';
            }
            endSection(section, lineEnd);
            continue;
        }
        const QByteArray key = line.text.first(std::max<qsizetype>(line.equals, 0)).toByteArray();
        if (line.equals < 0 || key.trimmed().isEmpty()) {
            continue;
        }
        endSection(section, lineEnd);
        const QString name = section + UnescapeKey(key.trimmed());
        if (ini.Find(name)) {
            continue; // the first one counts
        }
        // The value's bytes without the blanks around them, unless a backslash keeps one; an
        // empty one right after the '='.
        const qsizetype equals = start + line.equals + 1;
        qsizetype from = equals;
        qsizetype to = start + line.text.size();
        while (from < to && (body[from] == ' ' || body[from] == '\t')) {
            ++from;
        }
        if (from == to) {
            from = to = equals;
        }
        while (to > from && (body[to - 1] == ' ' || body[to - 1] == '\t') &&
               !(to - 2 >= from && body[to - 2] == '\\')) {
            --to;
        }
        ini.Values.push_back(
            {name, UnescapeValue(line.text.sliced(line.equals + 1)), base + from, base + to});
    }
    return ini;
}

QByteArray IniText::Rewritten() const {
    QStringList sections{QString()};
    for (const Value& value : Values) {
        if (!sections.contains(SectionOf(value.key))) {
            sections.append(SectionOf(value.key));
        }
    }
    QByteArray file;
    for (const QString& section : sections) {
        QByteArray lines;
        for (const Value& value : Values) {
            if (SectionOf(value.key) == section) {
                lines += KeyLine(value.key, value.text, Eol);
            }
        }
        if (!lines.isEmpty()) {
            file += (file.isEmpty() ? "[" : Eol + "[") + SectionHeader(section) + "]" + Eol + lines;
        }
    }
    return file;
}

bool IniText::ReadsBack(const QByteArray& file) const {
    const IniText again = Parse(file);
    return again.Values.size() == Values.size() &&
           std::all_of(Values.begin(), Values.end(),
                       [&](const Value& value) { return again.Find(value.key) == value.text; });
}

QByteArray IniText::Format() const {
    struct Edit {
        qsizetype at;
        qsizetype cut;
        QByteArray bytes;
    };
    std::vector<Edit> edits;
    std::vector<std::pair<QString, QByteArray>> newSections;
    for (const Value& value : Values) {
        if (value.from >= 0) {
            if (value.changed) {
                edits.push_back({value.from, value.to - value.from, EscapeValue(value.text)});
            }
            continue;
        }
        const QString section = SectionOf(value.key);
        const QByteArray line = KeyLine(value.key, value.text, Eol);
        const QString prefix = section.isEmpty() ? section : section + u'/';
        const auto end = std::find_if(SectionEnds.begin(), SectionEnds.end(),
                                      [&](const auto& known) { return known.first == prefix; });
        if (end != SectionEnds.end()) {
            const bool unended =
                end->second == Source.size() && !Source.isEmpty() && !EndsLine(Source);
            edits.push_back({end->second, 0, (unended ? Eol : QByteArray()) + line});
            continue;
        }
        const auto added = std::find_if(newSections.begin(), newSections.end(),
                                        [&](const auto& known) { return known.first == section; });
        if (added == newSections.end()) {
            newSections.emplace_back(section, line);
        } else {
            added->second += line;
        }
    }
    std::stable_sort(edits.begin(), edits.end(),
                     [](const Edit& a, const Edit& b) { return a.at < b.at; });
    QByteArray file;
    qsizetype copied = 0;
    for (const Edit& edit : edits) {
        file += QByteArrayView(Source).sliced(copied, edit.at - copied);
        file += edit.bytes;
        copied = edit.at + edit.cut;
    }
    file += QByteArrayView(Source).sliced(copied);
    for (const auto& [section, lines] : newSections) {
        if (!file.isEmpty()) {
            file += EndsLine(file) ? Eol : Eol + Eol;
        }
        file += "[" + SectionHeader(section) + "]" + Eol + lines;
    }
    if (!file.isEmpty() && !file.endsWith('\n')) {
        file += Eol;
    }
    return ReadsBack(file) ? file : Rewritten();
}

std::optional<QString> IniText::Find(const QString& key) const {
    const auto found = std::find_if(Values.begin(), Values.end(),
                                    [&](const Value& value) { return value.key == key; });
    return found == Values.end() ? std::nullopt : std::optional<QString>(found->text);
}

void IniText::Set(const QString& key, const QString& text) {
    const auto found = std::find_if(Values.begin(), Values.end(),
                                    [&](const Value& value) { return value.key == key; });
    if (found == Values.end()) {
        Values.push_back({key, text});
    } else if (found->text != text) {
        found->text = text;
        found->changed = true;
    }
}

} // namespace kt
