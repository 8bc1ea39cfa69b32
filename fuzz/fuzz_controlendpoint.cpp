#include "agent/ControlEndpoint.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstddef>
#include <cstdint>

// control.json as any local process could have written it: any bytes decode to
// an endpoint or to nothing, and an endpoint written out again decodes to the
// same values.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const std::optional<ControlEndpoint> e = ControlEndpoint::decode(bytes)) {
        const QJsonObject o{{"port", e->port}, {"token", e->token}, {"pid", e->pid}};
        if (ControlEndpoint::decode(QJsonDocument(o).toJson()) != e)
            __builtin_trap();
    }
    return 0;
}
