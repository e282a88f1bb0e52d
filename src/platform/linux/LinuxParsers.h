#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Pure parsers of what Linux's files and tools write, so they are tested on canned text from any
// machine and fuzzed.
namespace orvelquin::platform::LinuxParsers {

// "6.1.0-18-amd64" → "Linux 6.1.0"; missing parts are 0.
QString osVersion(const QString& kernelRelease);

// The processor's name from /proc/cpuinfo: the first "model name" (x86), else "Hardware" (Arm).
std::optional<QString> cpuModel(const QByteArray& cpuinfo);

// The board's name from /proc/device-tree/model, which ends in a NUL.
std::optional<QString> deviceTreeModel(const QByteArray& model);

// A "<key>: <n> kB" line of /proc/meminfo, in bytes.
std::optional<quint64> meminfoBytes(const QByteArray& meminfo, const QByteArray& key);

// The first display adapter of `lspci` output: the text after the device class and ": ".
std::optional<QString> gpuName(const QByteArray& lspciOutput);

// The user + system ticks (fields 14 and 15) of a /proc/<pid>/stat line.
std::optional<quint64> procStatTicks(const QByteArray& stat);

} // namespace orvelquin::platform::LinuxParsers
