#include "config/DeviceEntry.h"

#include <cstddef>
#include <cstdint>

// Stored recents/favourites: any bytes decode to a list or to nothing, and a
// decoded list survives a round trip unchanged.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    bool ok = false;
    const QList<DeviceEntry> list =
        DeviceEntry::decodeList(QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)), &ok);
    if (ok && DeviceEntry::decodeList(DeviceEntry::encodeList(list)) != list)
        __builtin_trap();
    return 0;
}
