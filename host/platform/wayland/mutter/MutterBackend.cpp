#include "platform/wayland/mutter/MutterBackend.h"

#include "platform/wayland/PipeWireScreenCapture.h"
#include "platform/wayland/mutter/MutterClipboard.h"
#include "platform/wayland/mutter/MutterInjector.h"
#include "platform/wayland/mutter/MutterSession.h"

MutterBackend::MutterBackend() = default;
MutterBackend::~MutterBackend() = default;

std::shared_ptr<MutterSession> MutterBackend::session(QString *problem) {
    if (!m_tried) {
        m_tried = true;
        m_session = MutterSession::open(&m_problem);
    }
    if (!m_session)
        *problem = m_problem;
    return m_session;
}

ScreenCapture *MutterBackend::openCapture(QObject *parent, QString *problem) {
    auto s = session(problem);
    if (!s)
        return nullptr;
    if (!s->problem().isEmpty()) {
        *problem = s->problem();
        return nullptr;
    }
    return new PipeWireScreenCapture(s, QStringLiteral("Mutter screen cast (PipeWire)"), parent);
}

std::unique_ptr<InputInjector> MutterBackend::openInput(QString *problem) {
    auto s = session(problem);
    if (!s)
        return nullptr;
    return std::make_unique<MutterInjector>(s);
}

std::unique_ptr<ClipboardBackend> MutterBackend::openClipboard(QString *problem) {
    auto s = session(problem);
    if (!s)
        return nullptr;
    return MutterClipboard::open(s, problem);
}
