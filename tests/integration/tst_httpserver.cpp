// The small HTTP server that both velmo-rendezvous and the agent's control API stand on,
// against clients that misbehave on purpose: slow or unfinished requests, too many
// connections, odd line endings, a header a byte at a time.
#include "HttpServer.h"

#include <QDir>
#include <QTcpSocket>
#include <QTest>

#include <memory>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

const QByteArray simpleGet = "GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// Everything the server sends until it closes (or 5 s pass).
QByteArray readToClose(QTcpSocket &s) {
    QByteArray in;
    (void)QTest::qWaitFor(
        [&] {
            in += s.readAll();
            return s.state() == QAbstractSocket::UnconnectedState;
        },
        5000);
    return in + s.readAll();
}

// The server-side descriptor of the connection whose peer is this client port.
int serverSideDescriptor(quint16 serverPort, quint16 clientPort) {
    const QStringList fds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
    for (const QString &name : fds) {
        const int fd = name.toInt();
        sockaddr_in local{}, peer{};
        socklen_t len = sizeof local;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len) != 0 || local.sin_family != AF_INET)
            continue;
        len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &len) != 0)
            continue;
        if (ntohs(local.sin_port) == serverPort && ntohs(peer.sin_port) == clientPort)
            return fd;
    }
    return -1;
}

} // namespace

class TestHttpServer : public QObject {
    Q_OBJECT

    std::unique_ptr<HttpServer> server(const HttpServer::Limits &limits) {
        auto s = std::make_unique<HttpServer>();
        s->setLimits(limits);
        s->setHandler([](const HttpRequest &req, HttpResponder *r) {
            r->respond(200, req.method + ' ' + req.path.toUtf8() + ' ' + req.body, "text/plain");
        });
        if (!s->listen(QHostAddress::LocalHost, 0))
            return nullptr;
        return s;
    }

    static std::unique_ptr<QTcpSocket> connectTo(const HttpServer &s) {
        auto c = std::make_unique<QTcpSocket>();
        c->connectToHost(QHostAddress::LocalHost, s.port());
        if (!c->waitForConnected(5000))
            return nullptr;
        return c;
    }

private Q_SLOTS:
    void slowAndUnfinishedRequestsAreCut() {
        HttpServer::Limits limits;
        limits.requestTimeoutMs = 600;
        auto s = server(limits);
        QVERIFY(s);
        auto slowloris = connectTo(*s);
        slowloris->write("GET /hello HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
        auto promised = connectTo(*s);
        promised->write("POST /body HTTP/1.1\r\nContent-Length: 100\r\n\r\nonly ten b");
        auto silent = connectTo(*s);
        QTRY_COMPARE(s->connectionCount(), 3);

        // Meanwhile a whole request is answered at once.
        auto normal = connectTo(*s);
        normal->write(simpleGet);
        QVERIFY(readToClose(*normal).endsWith("GET /hello "));

        for (QTcpSocket *c : {slowloris.get(), promised.get(), silent.get()}) {
            QTRY_COMPARE_WITH_TIMEOUT(c->state(), QAbstractSocket::UnconnectedState, 5000);
            QVERIFY(!c->readAll().contains("200 OK"));
        }
        QTRY_COMPARE(s->connectionCount(), 0);
    }

    void connectionsPerAddressAreCapped() {
        HttpServer::Limits limits;
        limits.maxConnectionsPerAddress = 8;
        auto s = server(limits);
        QVERIFY(s);
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 8; ++i)
            idle.push_back(connectTo(*s));
        QTRY_COMPARE(s->connectionsFrom("127.0.0.1"), 8);

        // One more from the same address is refused with 503 and closed, not held.
        auto extra = connectTo(*s);
        QVERIFY(extra);
        extra->write(simpleGet);
        QVERIFY(readToClose(*extra).startsWith("HTTP/1.1 503"));
        QCOMPARE(s->connectionCount(), 8);

        // Room again once some have gone.
        idle.resize(4);
        QTRY_COMPARE(s->connectionsFrom("127.0.0.1"), 4);
        auto later = connectTo(*s);
        later->write(simpleGet);
        QVERIFY(readToClose(*later).startsWith("HTTP/1.1 200"));
    }

    void atTheTotalCapTheOldestUnfinishedMakesRoom() {
        HttpServer::Limits limits;
        limits.maxConnections = 10;
        limits.maxConnectionsPerAddress = 0;
        auto s = server(limits);
        QVERIFY(s);
        QCOMPARE(s->maxConnections(), 10);
        std::vector<std::unique_ptr<QTcpSocket>> idle;
        for (int i = 0; i < 10; ++i) {
            idle.push_back(connectTo(*s));
            QTRY_COMPARE(s->connectionCount(), i + 1);
        }
        // The listening socket keeps serving: a real request gets through.
        for (int round = 0; round < 3; ++round) {
            auto c = connectTo(*s);
            c->write(simpleGet);
            QVERIFY(readToClose(*c).startsWith("HTTP/1.1 200"));
        }
        // ... at the cost of the oldest idle ones, never more than the cap at once.
        QTRY_COMPARE(idle[0]->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(s->connectionCount() <= 10);
        QCOMPARE(idle[9]->state(), QAbstractSocket::ConnectedState);
    }

    void lineEndingsAndAByteAtATime() {
        auto s = server({});
        QVERIFY(s);
        // Bare "\n" line endings are answered, not held.
        auto bare = connectTo(*s);
        bare->write("POST /lf HTTP/1.1\nHost: 127.0.0.1\nContent-Length: 3\n\nabc");
        QVERIFY(readToClose(*bare).endsWith("POST /lf abc"));

        // A header sent one byte per segment.
        auto slow = connectTo(*s);
        slow->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const QByteArray request =
            "GET /bytewise HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + QByteArray(300, 'p') + "\r\n\r\n";
        for (char ch : request) {
            slow->write(&ch, 1);
            slow->flush();
            QTest::qWait(0);
        }
        QVERIFY(readToClose(*slow).endsWith("GET /bytewise "));

        // Junk is refused plainly; an endless header gets 431.
        auto junk = connectTo(*s);
        junk->write("hello there\r\n\r\n");
        QVERIFY(readToClose(*junk).startsWith("HTTP/1.1 400"));
        auto endless = connectTo(*s);
        endless->write("GET / HTTP/1.1\r\nX: " + QByteArray(HttpServer::maxHeaderBytes + 10, 'x'));
        QVERIFY(readToClose(*endless).startsWith("HTTP/1.1 431"));
    }

    void acceptedSocketsSendAtOnce() {
        // Small messages each way (signaling) must not wait for coalescing.
        auto s = server({});
        QVERIFY(s);
        auto c = connectTo(*s);
        QTRY_COMPARE(s->connectionCount(), 1);
        const int fd = serverSideDescriptor(s->port(), c->localPort());
        QVERIFY(fd >= 0);
        int on = 0;
        socklen_t len = sizeof on;
        QCOMPARE(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
        QCOMPARE(on, 1);
    }
};

QTEST_GUILESS_MAIN(TestHttpServer)
#include "tst_httpserver.moc"
