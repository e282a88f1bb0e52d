// Lock file contents: whatever a crashed agent, another user's program or a full disk left there.
#include "FuzzCheck.h"
#include "app/SingleInstanceLock.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <limits>

using orvelquin::SingleInstanceLock;

namespace {

// For ASCII contents the rule is short enough to restate: spaces and tabs around one optionally
// signed run of decimal digits that fits in 32 bits.
std::optional<qint32> asciiReference(const QByteArray& contents) {
    qsizetype begin = 0;
    qsizetype end = contents.size();
    while (begin < end && (contents[begin] == ' ' || contents[begin] == '\t')) {
        ++begin;
    }
    while (end > begin && (contents[end - 1] == ' ' || contents[end - 1] == '\t')) {
        --end;
    }
    bool negative = false;
    if (begin < end && (contents[begin] == '+' || contents[begin] == '-')) {
        negative = contents[begin] == '-';
        ++begin;
    }
    if (begin == end) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (qsizetype i = begin; i < end; ++i) {
        if (contents[i] < '0' || contents[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (contents[i] - '0');
        if (value > qint64(1) << 32) {
            return std::nullopt;
        }
    }
    value = negative ? -value : value;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max()) {
        return std::nullopt;
    }
    return qint32(value);
}

bool isAscii(const QByteArray& bytes) {
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray contents(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const std::optional<qint32> pid = SingleInstanceLock::parsePid(contents);
    if (isAscii(contents)) {
        FUZZ_CHECK(pid == asciiReference(contents));
    }
    if (!pid) {
        return 0;
    }
    // Line breaks never pass, whatever surrounds them.
    FUZZ_CHECK(!contents.contains('\n') && !contents.contains('\r'));
    // The digits the file holds are the number returned: nothing is dropped, wrapped or invented.
    // Only ASCII digits count, so the decimal text of the pid appears in the file verbatim once
    // leading zeros are ignored.
    const QByteArray magnitude = QByteArray::number(qAbs(qint64(*pid)));
    FUZZ_CHECK(contents.contains(magnitude));
    // A pid below 1 names a process group or every process; it can only come from a file that
    // says so: a minus sign, or a zero.
    if (*pid < 1) {
        FUZZ_CHECK(contents.contains('-') || *pid == 0);
        FUZZ_CHECK(*pid != 0 || contents.contains('0'));
    }
    // Parsing depends on the contents alone.
    FUZZ_CHECK(SingleInstanceLock::parsePid(contents) == pid);
    return 0;
}
