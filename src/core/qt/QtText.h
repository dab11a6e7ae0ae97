#pragma once

// The core's texts are UTF-8; Qt's are UTF-16. Every crossing goes through these two.

#include <QByteArray>
#include <QString>

#include <string>
#include <string_view>

namespace kt {

inline QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string ToUtf8(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

} // namespace kt
