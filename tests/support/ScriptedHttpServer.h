#pragma once

#include "HttpServer.h"

#include <QList>
#include <QObject>

// A tiny HTTP server on 127.0.0.1 that answers every request with the reply a test
// scripted (status, body, headers) and remembers the requests it got. For the cases a
// real server never produces: 204, 401 on lookups, bodies that do not decode, stalls.
class ScriptedHttpServer : public QObject {
    Q_OBJECT
public:
    struct Reply {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        bool stall = false; // never answer
    };

    explicit ScriptedHttpServer(QObject *parent = nullptr);

    bool listen();
    quint16 port() const { return m_http.port(); }
    QString url() const;

    // Every following request gets this reply.
    void setReply(const Reply &reply) { m_reply = reply; }
    void setReply(int status, const QByteArray &body) { m_reply = Reply{status, body}; }

    const QList<HttpRequest> &requests() const { return m_requests; }
    void clearRequests() { m_requests.clear(); }

private:
    HttpServer m_http;
    Reply m_reply;
    QList<HttpRequest> m_requests;
};
