#include "control/PasscodeRotation.h"

#include "control/HostState.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcRotation, "velmo.host.passcode")

PasscodeRotation::PasscodeRotation(HostState *state, int graceMs, QObject *parent) : QObject(parent), m_state(state) {
    m_grace.setSingleShot(true);
    m_grace.setInterval(graceMs);
    connect(&m_grace, &QTimer::timeout, this, [this] {
        if (m_live.isEmpty()) {
            qCInfo(lcRotation) << "no reconnect within" << m_grace.interval() << "ms";
            rotate();
        }
    });
}

void PasscodeRotation::admitted(const QString &sid, bool byAuto) {
    if (!byAuto)
        return;
    m_live.insert(sid);
    m_grace.stop(); // the lost viewer is back (or another one came in with the same code)
}

void PasscodeRotation::ended(const QString &sid, bool forGood, bool byAuto) {
    if (!byAuto || !m_live.remove(sid) || !m_live.isEmpty())
        return;
    if (forGood) {
        m_grace.stop();
        rotate();
    } else {
        m_grace.start();
    }
}

void PasscodeRotation::rotate() {
    if (!m_state)
        return;
    m_state->rotatePasscode();
    qCInfo(lcRotation) << "the automatic passcode changed: the session that used it has ended";
}
