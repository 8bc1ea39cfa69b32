#include "support/ClipboardFilesTrip.h"

#include "session/RemoteSession.h"
#include "support/DevicePeers.h"
#include "support/WaylandEventWindow.h"
#include "viewer/ClipboardSync.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonArray>
#include <QMimeData>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

namespace {
QByteArray randomBytes(int n) {
    QByteArray b(n, Qt::Uninitialized);
    for (char &c : b)
        c = char(QRandomGenerator::global()->bounded(256));
    return b;
}
bool writeFile(const QString &path, const QByteArray &bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}
QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
// The window's text/uri-list, asked until `done` likes it (or the time is up).
QString pasteUntil(WaylandEventWindow &window, const std::function<bool(const QString &)> &done, int ms) {
    QString list;
    [[maybe_unused]] const bool liked = QTest::qWaitFor(
        [&] {
            window.askPasteFiles();
            const QJsonObject *e =
                window.waitFor([](const QJsonObject &o) { return o.value("e") == "pastefiles"; }, 3000);
            list = e ? e->value("list").toString() : QStringLiteral("(no answer)");
            return done(list);
        },
        ms);
    return list;
}
} // namespace

QString ClipboardFilesTrip::run(DevicePeers &peers, RemoteSession *session, WaylandEventWindow &window) {
    const QJsonArray sessions = peers.status().value("sessions").toArray();
    const QString sid = sessions.isEmpty() ? QString() : sessions.last().toObject().value("sid").toString();
    if (peers.post("perm", {{"sid", sid}, {"input", true}, {"clip", true}, {"files", true}}) != 200)
        return QStringLiteral("the rights were not given");
    const auto clickWindow = [&] {
        window.clear();
        session->sendInput({{"t", "md"}, {"b", 0}, {"x", 100}, {"y", 50}});
        session->sendInput({{"t", "mu"}, {"b", 0}, {"x", 100}, {"y", 50}});
        return window.waitFor([](const QJsonObject &e) { return e.value("e") == "up"; }, 10000) != nullptr;
    };
    QClipboard *local = QGuiApplication::clipboard();
    local->clear();
    ClipboardSync sync(session, local);
    QTemporaryDir src;
    if (!QDir(src.path()).mkpath("viewer"))
        return QStringLiteral("no temporary folder");

    // Copied by a program on the desktop, offered to the viewer, fetched when pasted here.
    const QString report = src.path() + "/報告 1.txt";
    const QByteArray reportBytes = randomBytes(300 * 1024 + 7);
    if (!writeFile(report, reportBytes) || !clickWindow())
        return QStringLiteral("the window was not clicked");
    window.copyFiles({report});
    if (!QTest::qWaitFor([&] { return local->mimeData() && local->mimeData()->hasUrls(); }, 15000))
        return QStringLiteral("the desktop's copied file was not offered to the viewer");
    const QList<QUrl> urls = local->mimeData()->urls();
    if (urls.size() != 1 || QFileInfo(urls.first().toLocalFile()).fileName() != QStringLiteral("報告 1.txt"))
        return QStringLiteral("the viewer pasted %1").arg(QUrl::toStringList(urls).join(' '));
    if (readFile(urls.first().toLocalFile()) != reportBytes)
        return QStringLiteral("the file pasted on the viewer is not the one copied");

    // Copied on the viewer, pasted by the window: the first paste makes the agent fetch the
    // file (the window waits on its pipe), and the URL of the agent's copy answers.
    const QString photo = src.path() + "/viewer/写真 2.bin";
    const QByteArray photoBytes = randomBytes(200 * 1024 + 3);
    if (!writeFile(photo, photoBytes))
        return QStringLiteral("no file to copy");
    auto *copied = new QMimeData;
    copied->setUrls({QUrl::fromLocalFile(photo)});
    local->setMimeData(copied);
    // Until the viewer's copy reaches the desktop, the window pastes its own.
    const QString list = pasteUntil(
        window,
        [](const QString &l) {
            return QUrl::fromEncoded(l.trimmed().toUtf8()).fileName() == QStringLiteral("写真 2.bin");
        },
        30000);
    const QString hostPath = QUrl::fromEncoded(list.trimmed().toUtf8()).toLocalFile();
    if (QFileInfo(hostPath).fileName() != QStringLiteral("写真 2.bin") || !list.endsWith(QStringLiteral("\r\n")))
        return QStringLiteral("the window pasted \"%1\"").arg(list);
    if (hostPath == photo)
        return QStringLiteral("the agent handed out the viewer's own path, not its fetched copy");
    if (readFile(hostPath) != photoBytes)
        return QStringLiteral("the file pasted on the desktop is not the one copied");

    // The copy belongs to the session: once it ends, the desktop no longer offers it.
    session->close();
    const QString after = pasteUntil(
        window, [](const QString &l) { return l.isEmpty(); }, 20000);
    if (!after.isEmpty())
        return QStringLiteral("after the session the window still pastes \"%1\"").arg(after);
    return {};
}
