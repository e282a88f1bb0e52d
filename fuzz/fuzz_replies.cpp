// Success replies of the device API and the release endpoint, as any server (or a proxy in
// between) might send them.
#include "FuzzCheck.h"
#include "service/DeviceRecords.h"
#include "service/ServiceErrors.h"
#include "service/UpdateChecker.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <cstddef>
#include <cstdint>

using namespace orvelquin;

namespace {

// Decoding either yields a record or a service error with a message; anything else escaping is a
// finding (libFuzzer reports an uncaught exception as a crash).
template <typename Decode> void decodeOrFail(Decode&& decode) {
    try {
        decode();
    } catch (const ServiceError& e) {
        FUZZ_CHECK(!e.message().isEmpty());
        FUZZ_CHECK(dynamic_cast<const DecodingError*>(&e) != nullptr);
    }
}

bool isString(const QJsonObject& json, const char* name) {
    return json.value(QLatin1StringView(name)).isString();
}

bool isBool(const QJsonObject& json, const char* name) {
    return json.value(QLatin1StringView(name)).isBool();
}

void decodeRecords(const QJsonObject& json) {
    decodeOrFail([&] {
        const SignInResponse r = SignInResponse::fromJson(json);
        FUZZ_CHECK(isString(json, "access_token") && isString(json, "refresh_token"));
        FUZZ_CHECK(r.accessToken == json.value(QLatin1StringView("access_token")).toString());
        FUZZ_CHECK(r.refreshToken == json.value(QLatin1StringView("refresh_token")).toString());
    });
    decodeOrFail([&] {
        const RegisterDeviceResponse r = RegisterDeviceResponse::fromJson(json);
        FUZZ_CHECK(isString(json, "device_id") && isBool(json, "approved"));
        FUZZ_CHECK(r.deviceId == json.value(QLatin1StringView("device_id")).toString());
        FUZZ_CHECK(r.approved == json.value(QLatin1StringView("approved")).toBool());
    });
    decodeOrFail([&] {
        const SessionResponse r = SessionResponse::fromJson(json);
        FUZZ_CHECK(isString(json, "device_token"));
        FUZZ_CHECK(r.deviceToken == json.value(QLatin1StringView("device_token")).toString());
        const QJsonValue expires = json.value(QLatin1StringView("expires_at"));
        FUZZ_CHECK(expires.isString() || expires.isNull() || expires.isUndefined());
        FUZZ_CHECK(r.expiresAt.has_value() == expires.isString());
        FUZZ_CHECK(!r.expiresAt || *r.expiresAt == expires.toString());
    });
    decodeOrFail([&] {
        const HeartbeatResponse r = HeartbeatResponse::fromJson(json);
        FUZZ_CHECK(isBool(json, "ok"));
        FUZZ_CHECK(r.ok == json.value(QLatin1StringView("ok")).toBool());
    });
}

void evaluateRelease(const QByteArray& body, const QJsonDocument& doc) {
    using Kind = UpdateChecker::Status::Kind;
    const QString running = QLatin1StringView("0.3.1");
    const UpdateChecker::Status status = UpdateChecker::evaluate(running, 200, body);
    const QJsonValue latest = doc.isObject() ? doc.object().value(QLatin1StringView("latest_version")) : QJsonValue();
    const bool usable = latest.isString() && !latest.toString().isEmpty();
    FUZZ_CHECK((status.kind == Kind::Unreachable) == !usable);
    FUZZ_CHECK((status.kind == Kind::Available) == !status.latestVersion.isEmpty());
    if (status.kind == Kind::Available) {
        FUZZ_CHECK(status.latestVersion == latest.toString());
        FUZZ_CHECK(UpdateChecker::compareVersions(running, status.latestVersion) < 0);
    }
    if (usable) {
        // The release that runs is never offered to itself.
        FUZZ_CHECK(UpdateChecker::evaluate(latest.toString(), 200, body) == UpdateChecker::Status::upToDate());
    }
    // Only a 200 carries a release, whatever its body says.
    for (const int httpStatus : {0, 204, 304, 404, 500}) {
        FUZZ_CHECK(UpdateChecker::evaluate(running, httpStatus, body) == UpdateChecker::Status::unreachable());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray body(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QJsonDocument doc = QJsonDocument::fromJson(body);
    // The client decodes objects only; an array or garbage arrives here as an empty object.
    decodeRecords(doc.object());
    evaluateRelease(body, doc);
    return 0;
}
