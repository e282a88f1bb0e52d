#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Pure parsers of what the host probes read, so they are tested on canned text from any machine.
namespace orvelquin::HostParsers {

// "6.1.0-18-amd64" → "Linux 6.1.0"; missing parts are 0.
QString osVersion(const QString& kernelRelease);

// The processor's name from /proc/cpuinfo: the first "model name" (x86), else "Hardware" (Arm).
std::optional<QString> cpuModel(const QByteArray& cpuinfo);

// A "<key>: <n> kB" line of /proc/meminfo, in bytes.
std::optional<quint64> meminfoBytes(const QByteArray& meminfo, const QByteArray& key);

// The first display adapter of `lspci` output: the text after the device class and ": ".
std::optional<QString> gpuName(const QByteArray& lspciOutput);

} // namespace orvelquin::HostParsers
