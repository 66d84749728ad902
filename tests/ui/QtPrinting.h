#pragma once
// Lets test failures show Qt strings as text.

#include <QString>
#include <QStringList>
#include <ostream>

inline std::ostream& operator<<(std::ostream& stream, const QString& text) {
    return stream << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QString& text, std::ostream* stream) {
    *stream << text;
}

inline void PrintTo(const QStringList& texts, std::ostream* stream) {
    *stream << '{' << texts.join(QStringLiteral(", ")) << '}';
}
