#pragma once

#include <QString>

namespace orvelquin {

// Spaces (every Unicode space separator) and tabs, but not line breaks.
bool isHorizontalSpace(QChar c);

// Removes horizontal space from both ends; line breaks are kept, so they stay visible to callers.
QString trimHorizontalSpace(QStringView text);

// The first `limit` user-perceived characters (grapheme clusters), with "…" appended when
// anything was cut.
QString truncateGraphemes(const QString& text, int limit);

} // namespace orvelquin
