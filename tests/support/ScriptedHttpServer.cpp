#include "support/ScriptedHttpServer.h"

ScriptedHttpServer::ScriptedHttpServer(QObject *parent) : QObject(parent) {
    m_http.setHandler([this](const HttpRequest &req, HttpResponder *res) {
        m_requests.append(req);
        if (!m_reply.stall)
            res->respond(m_reply.status, m_reply.body, m_reply.contentType);
    });
}

bool ScriptedHttpServer::listen() {
    return m_http.listen(QHostAddress::LocalHost, 0);
}

QString ScriptedHttpServer::url() const {
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}
