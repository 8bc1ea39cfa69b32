#include "platform/wayland/portal/PortalBackend.h"

#include "clipboard/ClipboardBackend.h"
#include "input/InputInjector.h"
#include "platform/wayland/PipeWireScreenCapture.h"
#include "platform/wayland/portal/PortalInjector.h"
#include "platform/wayland/portal/PortalSession.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>

Q_LOGGING_CATEGORY(lcPortalBackend, "velmo.platform.portal")

namespace {
constexpr qint64 kMaxFile = 16 * 1024;
}

PortalBackend::PortalBackend(const QString &dataDir) : m_dataDir(dataDir) {}
PortalBackend::~PortalBackend() = default;

QString PortalBackend::tokenPath() const {
    return QDir(m_dataDir).filePath(QStringLiteral("portal.json"));
}

QString PortalBackend::readToken() const {
    QFile f(tokenPath());
    if (m_dataDir.isEmpty() || !f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.read(kMaxFile)).object().value(QLatin1String("restoreToken")).toString();
}

void PortalBackend::writeToken(const QString &token) const {
    if (m_dataDir.isEmpty())
        return;
    QSaveFile f(tokenPath());
    if (!f.open(QIODevice::WriteOnly)) {
        qCWarning(lcPortalBackend) << "cannot write" << tokenPath();
        return;
    }
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    f.write(QJsonDocument(QJsonObject{{"restoreToken", token}}).toJson(QJsonDocument::Compact));
    if (!f.commit())
        qCWarning(lcPortalBackend) << "cannot write" << tokenPath();
}

std::shared_ptr<PortalSession> PortalBackend::session(QString *problem) {
    if (!m_tried) {
        m_tried = true;
        m_session = PortalSession::open(readToken(), &m_problem);
        if (m_session)
            // Main thread. Tokens are single-use: each start's is kept for the next.
            QObject::connect(m_session.get(), &PortalSession::tokenChanged, m_session.get(),
                             [this](const QString &token) { writeToken(token); });
    }
    if (!m_session)
        *problem = m_problem;
    return m_session;
}

ScreenCapture *PortalBackend::openCapture(QObject *parent, QString *problem) {
    auto s = session(problem);
    if (!s)
        return nullptr;
    if (!s->problem().isEmpty()) {
        *problem = s->problem();
        return nullptr;
    }
    return new PipeWireScreenCapture(s, QStringLiteral("xdg-desktop-portal ScreenCast (PipeWire)"), parent);
}

std::unique_ptr<InputInjector> PortalBackend::openInput(QString *problem) {
    auto s = session(problem);
    if (!s)
        return nullptr;
    if (!s->versions().remoteDesktop) {
        *problem = s->inputProblem();
        return nullptr;
    }
    return std::make_unique<PortalInjector>(s);
}

std::unique_ptr<ClipboardBackend> PortalBackend::openClipboard(QString *problem) {
    *problem = QStringLiteral("the desktop portal offers no clipboard (xdg-desktop-portal 1.16)");
    return nullptr;
}

QString PortalBackend::inputProblem() const {
    return m_session ? m_session->inputProblem() : m_problem;
}
