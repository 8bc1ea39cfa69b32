#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPointer>
#include <QString>

class ControlApi;
class HostState;
class HttpResponder;
struct HttpRequest;

// The "test/..." endpoints of the control API, present only when the agent runs
// with test hooks: they inject state (asks, sessions, device, EULA, permissions),
// record the requests the API saw, and make later requests fail, stall or end
// the process. Lives on the main thread with its ControlApi.
class TestHooks {
public:
    TestHooks(HostState *state, ControlApi *api);

    // Notes a request for "test/requests" (the last thousand are kept).
    void record(const QByteArray &method, const QString &path, const QByteArray &body);
    // Answers r with a canned reply or stalls it when one was set up for this
    // path; false when the API is to handle the request itself.
    bool answerCanned(const QString &path, HttpResponder *r);
    // Drops the stalled requests (the listener is being replaced).
    void abortStalled();
    // A "test/<path>" request.
    void handle(const QString &path, const HttpRequest &req, const QJsonObject &body, HttpResponder *r);

    // Whether the permission prompts grant what they are asked for.
    bool grantScreen() const { return m_grantScreen; }
    bool grantInput() const { return m_grantInput; }

private:
    struct Canned {
        QString path; // "" matches any request
        int status = 200;
        QByteArray body;
        bool stall = false;
        int count = 1;
    };
    struct Seen {
        QByteArray method;
        QString path;
        QByteArray body;
    };

    HostState *m_state;
    ControlApi *m_api;
    QList<Canned> m_canned;
    QList<Seen> m_seen;
    QList<QPointer<HttpResponder>> m_stalled;
    bool m_grantScreen = true;
    bool m_grantInput = true;
};
