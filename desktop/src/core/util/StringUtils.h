#pragma once

#include <QString>

// Nine user-perceived characters shown as three groups of three ("123 456 789");
// any other length is returned unchanged.
QString formattedId(const QString &s);
// Only the characters Unicode classifies as numeric (full-width digits included).
QString digitsOnly(const QString &s);
