#include "control/HostSettings.h"

#include "control/HostState.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSaveFile>

Q_LOGGING_CATEGORY(lcSettings, "velmo.host.settings")

namespace {
constexpr qint64 kMaxFile = 64 * 1024;
}

HostSettings::HostSettings(HostState *state, const QString &dataDir, QObject *parent)
    : QObject(parent), m_state(state), m_dataDir(dataDir) {}

QString HostSettings::path() const {
    return QDir(m_dataDir).filePath(QStringLiteral("host-settings.json"));
}

void HostSettings::load() {
    QFile f(path());
    if (f.open(QIODevice::ReadOnly) && m_state) {
        const QJsonObject o = QJsonDocument::fromJson(f.read(kMaxFile)).object();
        const QString approval = o.value(QLatin1String("approval")).toString();
        if (HostState::isApprovalMode(approval))
            m_state->setApproval(approval);
        const QString source = o.value(QLatin1String("audioSource")).toString();
        const bool knownSource = source == QLatin1String("system") || source == QLatin1String("mic");
        if (o.value(QLatin1String("unattended")).isBool())
            m_state->setUnattended(o.value(QLatin1String("unattended")).toBool());
        if (o.value(QLatin1String("audioOn")).isBool() || knownSource)
            m_state->setAudio(o.value(QLatin1String("audioOn")).toBool(m_state->audioOn()),
                              knownSource ? source : m_state->audioSource());
    }
    if (m_state) {
        connect(m_state, &HostState::approvalChanged, this, &HostSettings::save);
        connect(m_state, &HostState::audioChanged, this, &HostSettings::save);
        connect(m_state, &HostState::unattendedChanged, this, &HostSettings::save);
    }
}

void HostSettings::save() {
    if (!m_state)
        return;
    const QByteArray json = QJsonDocument(QJsonObject{{"approval", m_state->approval()},
                                                      {"audioOn", m_state->audioOn()},
                                                      {"audioSource", m_state->audioSource()},
                                                      {"unattended", m_state->unattended()}})
                                .toJson(QJsonDocument::Compact);
    if (json == m_written)
        return;
    QDir().mkpath(m_dataDir);
    QSaveFile f(path());
    if (!f.open(QIODevice::WriteOnly)) {
        qCWarning(lcSettings) << "cannot write" << path();
        return;
    }
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    f.write(json);
    if (f.commit())
        m_written = json;
    else
        qCWarning(lcSettings) << "cannot write" << path();
}
