#include "agent/ControlError.h"

QString ControlError::text() const {
    switch (kind) {
    case Kind::Http:
        if (!message.isEmpty())
            return message;
        return QStringLiteral("エージェントがエラーを返しました(HTTP ") + QString::number(code) + QStringLiteral(")");
    case Kind::NotReady:
        return QStringLiteral("エージェントがまだ起動していません");
    case Kind::Transport:
        return message;
    }
    return message;
}
