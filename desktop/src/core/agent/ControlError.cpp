#include "agent/ControlError.h"

namespace ControlError {

Error http(int code, const QString &body) {
    if (!body.isEmpty())
        return Error::make(Error::Kind::Http, body, code);
    return Error::make(
        Error::Kind::Http,
        QStringLiteral("エージェントがエラーを返しました(HTTP ") + QString::number(code) + QStringLiteral(")"), code);
}

Error notReady() {
    return Error::make(Error::Kind::NotReady, QStringLiteral("エージェントがまだ起動していません"));
}

Error transport(const QString &text) {
    return Error::make(Error::Kind::Unreachable, text);
}

} // namespace ControlError
