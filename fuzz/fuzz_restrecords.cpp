#include "rendezvous/DeviceInfo.h"
#include "rendezvous/IceConfig.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstddef>
#include <cstdint>

// Server answers: any bytes decode to a record or to nothing, and whatever decodes
// survives encoding and decoding again unchanged.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto d = DeviceInfo::decode(bytes)) {
        if (DeviceInfo::decode(QJsonDocument(d->toJson()).toJson()) != d)
            __builtin_trap();
    }
    if (const auto list = DeviceInfo::decodeList(bytes)) {
        QJsonArray array;
        for (const DeviceInfo &d : *list)
            array.append(d.toJson());
        if (DeviceInfo::decodeList(QJsonDocument(array).toJson()) != list)
            __builtin_trap();
    }
    if (const auto ice = IceConfig::decode(bytes)) {
        if (IceConfig::decode(QJsonDocument(ice->toJson()).toJson()) != ice)
            __builtin_trap();
    }
    return 0;
}
