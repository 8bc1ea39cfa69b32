#include "support/HostUiHarness.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

HostUiHarness::HostUiHarness(const QString &dataDir) : m_host(std::make_unique<HostProcess>(dataDir)) {
    if (!m_host->ok())
        return;
    m_agent = std::make_unique<AgentController>();
    m_agent->start(QString());
    m_ok = waitFor([this] { return m_agent->status().has_value() && m_agent->running(); }, 10'000);
}

HostUiHarness::~HostUiHarness() {
    if (m_agent)
        m_agent->stop();
    m_agent.reset();
    m_host.reset();
}

bool HostUiHarness::waitFor(const std::function<bool()> &done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

bool HostUiHarness::statusHas(const std::function<bool(const ControlStatus &)> &pred) const {
    return m_agent && m_agent->status() && pred(*m_agent->status());
}

bool HostUiHarness::hook(const QString &path, const QJsonObject &body) {
    return m_host->post(QStringLiteral("test/") + path, body) == 200;
}

QString HostUiHarness::addAsk(const QString &name, const QString &ip, const QString &sid) {
    QByteArray answer;
    QJsonObject body{{"name", name}, {"ip", ip}};
    if (!sid.isEmpty())
        body.insert("sid", sid);
    if (m_host->post(QStringLiteral("test/ask"), body, &answer) != 200)
        return {};
    const QString id = QJsonDocument::fromJson(answer).object().value("sid").toString();
    waitFor([&] {
        return statusHas([&](const ControlStatus &st) {
            return std::any_of(st.asks.begin(), st.asks.end(), [&](const ControlAsk &a) { return a.sid == id; });
        });
    });
    return id;
}

bool HostUiHarness::removeAsk(const QString &sid) {
    if (!hook(QStringLiteral("ask/remove"), {{"sid", sid}}))
        return false;
    return waitFor([&] {
        return statusHas([&](const ControlStatus &st) {
            return std::none_of(st.asks.begin(), st.asks.end(), [&](const ControlAsk &a) { return a.sid == sid; });
        });
    });
}

QString HostUiHarness::addSession(const QJsonObject &fields) {
    QByteArray answer;
    if (m_host->post(QStringLiteral("test/session"), fields, &answer) != 200)
        return {};
    const QString id = QJsonDocument::fromJson(answer).object().value("sid").toString();
    waitFor([&] {
        return statusHas([&](const ControlStatus &st) {
            return std::any_of(st.sessions.begin(), st.sessions.end(),
                               [&](const ControlSession &s) { return s.sid == id; });
        });
    });
    return id;
}

bool HostUiHarness::removeSession(const QString &sid) {
    if (!hook(QStringLiteral("session/remove"), {{"sid", sid}}))
        return false;
    return waitFor([&] {
        return statusHas([&](const ControlStatus &st) {
            return std::none_of(st.sessions.begin(), st.sessions.end(),
                                [&](const ControlSession &s) { return s.sid == sid; });
        });
    });
}

QList<QJsonObject> HostUiHarness::commands() const {
    QByteArray answer;
    if (m_host->get(QStringLiteral("test/requests"), &answer) != 200)
        return {};
    QList<QJsonObject> out;
    for (const QJsonValue &v : QJsonDocument::fromJson(answer).object().value("requests").toArray()) {
        QJsonObject o = v.toObject();
        if (o.value("method").toString() != QLatin1String("POST"))
            continue;
        o.insert("json", QJsonDocument::fromJson(o.value("body").toString().toUtf8()).object());
        out.append(o);
    }
    return out;
}

QList<QJsonObject> HostUiHarness::bodies(const QString &path) const {
    QList<QJsonObject> out;
    for (const QJsonObject &o : commands())
        if (o.value("path").toString() == path)
            out.append(o.value("json").toObject());
    return out;
}
