#pragma once
// Lets GoogleTest print a QString in a failed expectation as text, not bytes.

#include <QString>

#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
