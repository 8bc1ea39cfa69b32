#include "agent/ControlClient.h"

#include <cstddef>
#include <cstdint>

// The agent's event stream as it comes off the socket. The first byte seeds
// how the rest is cut into reads. Whatever the cut, the same statuses come out
// in the same order as from one read of everything, and never more than one per
// complete line.
namespace {

QList<ControlStatus> collect(const QByteArray &stream, quint8 seed) {
    QList<ControlStatus> out;
    ControlEventStream parser(
        nullptr, [&out](const ControlStatus &s) { out.append(s); }, {}, nullptr);
    if (seed == 0) {
        parser.feed(stream);
        return out;
    }
    quint32 state = seed;
    qsizetype at = 0;
    while (at < stream.size()) {
        state = state * 1103515245u + 12345u;
        const qsizetype n = qsizetype(state >> 16) % 97 + (state & 1 ? 0 : 1); // empty reads too
        parser.feed(stream.mid(at, n));
        at += n;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QList<ControlStatus> whole = collect(stream, 0);
    if (whole.size() > stream.count('\n'))
        __builtin_trap();
    if (data[0] != 0 && collect(stream, data[0]) != whole)
        __builtin_trap();
    return 0;
}
