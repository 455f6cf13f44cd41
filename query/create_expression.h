// The query expression of what the panel holds.
#pragma once

#include <optional>

#include "platform/toolkit/text.h"

// Reads the ten fields, three check boxes and four popups into the panel's
// record, then builds one expression from the record: a term for each
// criterion present, in a fixed order, joined by " && " and closed by the term
// that leaves out ".back" files. None when no criterion besides the two years
// is present.
std::optional<QString> CreateExpression();

// Text put between double quotes in a term, with a backslash before each
// '"', '\' and '?' the user typed; '*' keeps its wildcard meaning.
QString EscapeForQuotes(const QString& text);
