#pragma once
// Lets GoogleTest print a QString in a failed expectation as text, not bytes.

#include <QString>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

// And lets a QString follow a failed expectation's "<<".
inline std::ostream& operator<<(std::ostream& os, const QString& text)
{
    return os << text.toStdString();
}
