// The numeric version order must be a consistent order on whatever the service calls a version,
// or "Check for Updates" could offer a release and then call it older.
#include "FuzzCheck.h"
#include "service/UpdateChecker.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>

using orvelquin::UpdateChecker;

namespace {

int sign(int v) {
    return (v > 0) - (v < 0);
}

int cmp(const QString& a, const QString& b) {
    return sign(UpdateChecker::compareVersions(a, b));
}

} // namespace

// Input: up to three versions, one a line.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QList<QByteArray> lines = input.split('\n');
    std::array<QString, 3> v;
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = QString::fromUtf8(lines.value(qsizetype(i)));
    }
    for (const QString& a : v) {
        FUZZ_CHECK(cmp(a, a) == 0);
        for (const QString& b : v) {
            FUZZ_CHECK(cmp(a, b) == -cmp(b, a));
            // Equal strings are equal versions.
            FUZZ_CHECK(a != b || cmp(a, b) == 0);
            for (const QString& c : v) {
                if (cmp(a, b) <= 0 && cmp(b, c) <= 0) {
                    FUZZ_CHECK(cmp(a, c) <= 0);
                }
                if (cmp(a, b) < 0 && cmp(b, c) <= 0) {
                    FUZZ_CHECK(cmp(a, c) < 0);
                }
            }
        }
    }
    return 0;
}
