#include "input/RemoteInput.h"

#include "input/InputInjector.h"
#include "protocol/KeyCodes.h"

#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {
// A coordinate or delta as the viewer sent it: a finite number, or nothing.
bool number(const QJsonValue &v, double *out) {
    if (!v.isDouble() || !std::isfinite(v.toDouble()))
        return false;
    *out = v.toDouble();
    return true;
}

// "ch" of a "kd": exactly one printable character.
std::optional<char32_t> singleCharacter(const QJsonValue &v) {
    if (!v.isString())
        return std::nullopt;
    const QList<uint> scalars = v.toString().toUcs4();
    if (scalars.size() != 1 || scalars.front() < 0x20 || scalars.front() == 0x7f)
        return std::nullopt;
    return char32_t(scalars.front());
}

// The "b" of "md"/"mu" (0 left, 1 middle, 2 right) → X button 1/2/3.
std::optional<int> xButton(const QJsonValue &v) {
    double b = -1;
    if (!number(v, &b) || (b != 0 && b != 1 && b != 2))
        return std::nullopt;
    return int(b) + 1;
}

constexpr int kWheelUp = 4, kWheelDown = 5, kWheelLeft = 6, kWheelRight = 7;
} // namespace

RemoteInput::RemoteInput(InputInjector *injector) : m_injector(injector) {}

RemoteInput::~RemoteInput() {
    releaseAll();
}

QPoint RemoteInput::toDesktop(double x, double y, const InputTarget &target) {
    const QRect m = target.monitor;
    // Without a known picture size the frame is the monitor itself.
    const double fw = target.frame.width() > 0 ? target.frame.width() : m.width();
    const double fh = target.frame.height() > 0 ? target.frame.height() : m.height();
    const double sx = fw > 0 ? m.width() / fw : 1.0;
    const double sy = fh > 0 ? m.height() / fh : 1.0;
    // Clamped in floating point first: a coordinate far outside must not overflow int.
    const double dx = std::clamp(m.x() + std::floor(x * sx), double(m.left()), double(std::max(m.left(), m.right())));
    const double dy = std::clamp(m.y() + std::floor(y * sy), double(m.top()), double(std::max(m.top(), m.bottom())));
    const QPoint p{int(dx), int(dy)};
    if (target.areas.isEmpty())
        return p;
    // The picture spans several displays: a point in the black between them goes to the
    // nearest point of the nearest display, so that the pointer stays where someone can see
    // it and a button pressed there is still let go.
    QPoint best = p;
    qint64 bestDistance = -1;
    for (const QRect &a : target.areas) {
        if (a.isEmpty())
            continue;
        if (a.contains(p))
            return p;
        const QPoint q(std::clamp(p.x(), a.left(), a.right()), std::clamp(p.y(), a.top(), a.bottom()));
        const qint64 d = qint64(q.x() - p.x()) * (q.x() - p.x()) + qint64(q.y() - p.y()) * (q.y() - p.y());
        if (bestDistance < 0 || d < bestDistance) {
            bestDistance = d;
            best = q;
        }
    }
    return best;
}

void RemoteInput::handle(const QJsonObject &msg, const InputTarget &target) {
    if (!m_injector)
        return;
    const QString t = msg.value(QLatin1String("t")).toString();
    if (t == QLatin1String("mm")) {
        movePointer(msg, target);
    } else if (t == QLatin1String("md") || t == QLatin1String("mu")) {
        movePointer(msg, target);
        pressButton(msg, t == QLatin1String("md"));
    } else if (t == QLatin1String("wh")) {
        double dx = 0, dy = 0;
        if (!number(msg.value(QLatin1String("dx")), &dx) || !number(msg.value(QLatin1String("dy")), &dy))
            return;
        movePointer(msg, target);
        wheel(dx, dy);
    } else if (t == QLatin1String("kd") || t == QLatin1String("ku")) {
        pressKey(msg, t == QLatin1String("kd"));
    } else if (t == QLatin1String("text")) {
        typeText(msg.value(QLatin1String("s")).toString());
    } else if (t == QLatin1String("cad")) {
        ctrlAltDel();
    }
}

bool RemoteInput::movePointer(const QJsonObject &msg, const InputTarget &target) {
    double x = 0, y = 0;
    if (!number(msg.value(QLatin1String("x")), &x) || !number(msg.value(QLatin1String("y")), &y))
        return false;
    m_injector->movePointer(toDesktop(x, y, target));
    return true;
}

void RemoteInput::pressButton(const QJsonObject &msg, bool down) {
    const auto b = xButton(msg.value(QLatin1String("b")));
    if (!b)
        return;
    // A second press of a held button changes nothing; a release of a button this
    // viewer does not hold (the local user's, another viewer's) is not ours to give.
    if (down == m_buttons.contains(*b))
        return;
    if (!m_injector->button(*b, down))
        return;
    if (down)
        m_buttons.insert(*b);
    else
        m_buttons.remove(*b);
}

void RemoteInput::wheel(double dx, double dy) {
    const auto steps = [](double &travel, double delta) {
        travel += delta;
        const double whole = std::trunc(travel / wheelStep);
        travel -= whole * wheelStep;
        if (std::abs(whole) > maxWheelSteps) {
            // A flood of travel is cut, not saved up for later.
            travel = 0;
            return whole > 0 ? maxWheelSteps : -maxWheelSteps;
        }
        return int(whole);
    };
    const int sy = steps(m_wheelY, dy);
    const int sx = steps(m_wheelX, dx);
    // Negative dy scrolls up, negative dx to the left.
    for (int i = 0; i < std::abs(sy); ++i) {
        const int b = sy < 0 ? kWheelUp : kWheelDown;
        if (m_injector->button(b, true))
            m_injector->button(b, false);
    }
    for (int i = 0; i < std::abs(sx); ++i) {
        const int b = sx < 0 ? kWheelLeft : kWheelRight;
        if (m_injector->button(b, true))
            m_injector->button(b, false);
    }
}

void RemoteInput::pressKey(const QJsonObject &msg, bool down) {
    const QString code = msg.value(QLatin1String("code")).toString();
    const auto evdev = code.size() <= 64 ? KeyCodes::toEvdev(code) : std::nullopt;
    if (evdev) {
        // Key-ups only for keys this viewer pressed. Repeated downs are the viewer's
        // auto-repeat, passed on: an X server that repeats the key itself drops them.
        if (!down && !m_keys.contains(*evdev))
            return;
        if (m_injector->key(*evdev, down)) {
            if (down)
                m_keys.insert(*evdev);
            else
                m_keys.remove(*evdev);
            return;
        }
    }
    // A key this desktop does not have: its character, when the viewer sent one.
    if (down) {
        if (const auto ch = singleCharacter(msg.value(QLatin1String("ch"))))
            m_injector->typeCharacter(*ch);
    }
}

void RemoteInput::typeText(const QString &text) {
    const auto tap = [this](const char *code) {
        if (const auto e = KeyCodes::toEvdev(QLatin1String(code)); e && m_injector->key(*e, true))
            m_injector->key(*e, false);
    };
    const QList<uint> scalars = text.left(maxTextLength * 2).toUcs4();
    int typed = 0;
    for (const uint c : scalars) {
        if (typed++ >= maxTextLength)
            break;
        if (c == '\n' || c == '\r')
            tap("Enter");
        else if (c == '\t')
            tap("Tab");
        else if (c >= 0x20 && c != 0x7f)
            m_injector->typeCharacter(char32_t(c));
    }
}

void RemoteInput::ctrlAltDel() {
    // Keys the viewer already holds stay as they are.
    QList<quint32> pressed;
    for (const char *code : {"ControlLeft", "AltLeft", "Delete"}) {
        const auto e = KeyCodes::toEvdev(QLatin1String(code));
        if (e && !m_keys.contains(*e) && m_injector->key(*e, true))
            pressed.prepend(*e);
    }
    for (const quint32 e : std::as_const(pressed))
        m_injector->key(e, false);
}

void RemoteInput::releaseAll() {
    if (m_injector) {
        for (const quint32 e : std::as_const(m_keys))
            m_injector->key(e, false);
        for (const int b : std::as_const(m_buttons))
            m_injector->button(b, false);
    }
    m_keys.clear();
    m_buttons.clear();
    m_wheelX = m_wheelY = 0;
}
