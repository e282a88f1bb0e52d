#include "core/Text.h"

#include <QTextBoundaryFinder>

namespace orvelquin {

bool isHorizontalSpace(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QString trimHorizontalSpace(QStringView text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isHorizontalSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isHorizontalSpace(text[end - 1])) {
        --end;
    }
    return text.sliced(begin, end - begin).toString();
}

QString truncateGraphemes(const QString& text, int limit) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() != -1) {
        if (++count == limit) {
            const qsizetype cut = finder.position();
            return cut < text.size() ? text.left(cut) + QChar(0x2026) : text;
        }
    }
    return text;
}

} // namespace orvelquin
