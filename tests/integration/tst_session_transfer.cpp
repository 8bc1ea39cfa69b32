// Clipboard text and files between the app's viewer session and the real agent: the
// agent shares the CLIPBOARD of a private Xvfb (a plain X client copies and pastes
// there), files travel both ways into the receivers' download folders, and copied
// files are fetched when pasted.
#include "config/AppConfig.h"
#include "session/RemoteSession.h"
#include "session/SessionExchange.h"
#include "session/SessionRecorder.h"
#include "support/DevicePeers.h"
#include "support/NoisePicture.h"
#include "support/TestEnv.h"
#include "support/ViewerObjects.h"
#include "support/XClipboardClient.h"
#include "transfer/ClipFiles.h"
#include "transfer/ClipImage.h"
#include "transfer/FileTransfers.h"
#include "viewer/ClipboardSync.h"
#include "viewer/SessionView.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>

#include <memory>

using State = RemoteSession::State;
using Status = FileTransfers::Status;

namespace {
// A file of `size` random bytes, written in pieces; its SHA-256.
QByteArray writeRandomFile(const QString &path, qint64 size) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const qint64 n = std::min<qint64>(left, block.size());
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / 4);
        f.write(block.constData(), n);
        hash.addData(QByteArrayView(block.constData(), n));
        left -= n;
    }
    return hash.result();
}

// What a paste of image/png here would get.
QByteArray localPng() {
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    return data ? data->data(QStringLiteral("image/png")) : QByteArray();
}

void copyLocalPng(const QByteArray &png) {
    auto *data = new QMimeData;
    data->setData(QStringLiteral("image/png"), png);
    QGuiApplication::clipboard()->setMimeData(data);
}

QByteArray sha256Of(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return hash.result();
}

// How many files came from the host.
int incoming(FileTransfers *files) {
    const auto list = files->transfers();
    return int(std::count_if(list.cbegin(), list.cend(), [](const FileTransfers::Transfer &t) {
        return t.direction == FileTransfers::Direction::Incoming;
    }));
}

// Every entry of a folder, hidden ones included.
QStringList entries(const QString &dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}
} // namespace

class TestSessionTransfer : public QObject {
    Q_OBJECT
    ViewerObjects objects;

private:
    // A host with its own home (its downloads land in hostHome/Downloads) and a
    // connected viewer session whose downloads land in viewerDownloads.
    struct Rig {
        QTemporaryDir dir;
        DevicePeers peers;
        std::unique_ptr<RemoteSession> session;
        QString hostHome() const { return dir.path() + "/host-home"; }
        QString hostDownloads() const { return hostHome() + "/Downloads"; }
        QString viewerDownloads() const { return dir.path() + "/viewer-downloads"; }
        QString hostSid() {
            const QJsonArray sessions = peers.status().value("sessions").toArray();
            return sessions.isEmpty() ? QString() : sessions.first().toObject().value("sid").toString();
        }
        FileTransfers *files() const { return session->exchange()->files(); }
        int setPerm(bool clip, bool files) {
            return peers.post("perm", {{"sid", hostSid()}, {"input", true}, {"clip", clip}, {"files", files}});
        }
    };

    std::unique_ptr<Rig> connect() {
        auto rig = std::make_unique<Rig>();
        QDir().mkpath(rig->hostHome());
        rig->peers.setHostEnv("HOME", rig->hostHome());
        rig->peers.setHostEnv("XDG_CONFIG_HOME", rig->hostHome() + "/.config");
        rig->peers.setHostEnv("XDG_CACHE_HOME", rig->hostHome() + "/.cache");
        if (!rig->peers.startServer() || !rig->peers.startHost() || !rig->peers.waitForDevice())
            return nullptr;
        objects.config()->setVideoPref(QStringLiteral("jpeg"));
        rig->session = objects.sessionTo(rig->peers, rig->peers.autoPasscode());
        rig->files()->setFolder(rig->viewerDownloads());
        rig->session->start();
        if (!QTest::qWaitFor([&] { return rig->session->state() == State::Connected; }, 15000))
            return nullptr;
        return rig;
    }

    static bool finished(FileTransfers *files, int key, int ms = 60000) {
        return QTest::qWaitFor(
            [&] {
                const auto t = files->transfer(key);
                return t && t->finished();
            },
            ms);
    }

    // The host's status lists the viewer's files: what came (and where it was saved), what went.
    static QJsonObject hostTransfer(Rig &rig, const QString &name, bool sent) {
        const QJsonArray sessions = rig.peers.status().value("sessions").toArray();
        if (sessions.isEmpty())
            return {};
        QJsonObject found;
        for (const QJsonValue &t : sessions.first().toObject().value("transfers").toArray())
            if (t.toObject().value("name").toString() == name && t.toObject().value("sent").toBool() == sent)
                found = t.toObject(); // the latest of that name
        return found;
    }

private Q_SLOTS:
    void initTestCase() { QCOMPARE(objects.waitForWebRtc(), QString()); }

    void clipboardBothWays() {
        XClipboardClient editor;
        QVERIFY2(editor.ok(), "no X display");
        auto rig = connect();
        QVERIFY(rig);
        QClipboard *local = QGuiApplication::clipboard();
        ClipboardSync sync(rig->session.get(), local);
        QSignalSpy notices(&sync, &ClipboardSync::notice);

        // Copied on the remote desktop, pasted here; not sent back (the editor keeps the selection).
        const QString remoteText = QStringLiteral("ホストでコピー ✓\nline two\t🙂");
        editor.copy(remoteText);
        QTRY_COMPARE_WITH_TIMEOUT(local->text(), remoteText, 5000);
        QTest::qWait(700);
        QVERIFY(editor.owns());

        // Copied here, pasted on the remote desktop by a plain X client.
        const QString localText = QStringLiteral("viewer → host: ") + QString(20000, QLatin1Char('x')) + "終";
        local->setText(localText);
        QTRY_VERIFY_WITH_TIMEOUT(editor.paste() == localText, 5000);
        QVERIFY(!editor.owns());

        // Over 1 MiB is not sent and the user is told.
        local->setText(QString(1024 * 1024 + 1, QLatin1Char('y')));
        QTRY_COMPARE(notices.size(), 1);
        QCOMPARE(notices.first().first().toString(), ClipboardSync::tooLargeText());
        QTest::qWait(500);
        QCOMPARE(editor.paste(), localText);

        // Without the right nothing comes over, and the viewer knows.
        QCOMPARE(rig->setPerm(false, true), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!rig->session->exchange()->clipAllowed(), 5000);
        local->setText(QStringLiteral("stays local"));
        editor.copy(QStringLiteral("stays remote"));
        QTest::qWait(1000);
        QCOMPARE(local->text(), QStringLiteral("stays local"));
        QCOMPARE(editor.paste(), QStringLiteral("stays remote"));
        // The switch off: nothing either, with the right back.
        QCOMPARE(rig->setPerm(true, true), 200);
        QTRY_VERIFY_WITH_TIMEOUT(rig->session->exchange()->clipAllowed(), 5000);
        sync.setEnabled(false);
        editor.copy(QStringLiteral("again remote"));
        QTest::qWait(1000);
        QCOMPARE(local->text(), QStringLiteral("stays local"));
        sync.setEnabled(true);
        editor.copy(QStringLiteral("remote once more"));
        QTRY_COMPARE_WITH_TIMEOUT(local->text(), QStringLiteral("remote once more"), 5000);
    }

    void clipboardPictures() {
        XClipboardClient editor;
        QVERIFY2(editor.ok(), "no X display");
        auto rig = connect();
        QVERIFY(rig);
        QClipboard *local = QGuiApplication::clipboard();
        ClipboardSync sync(rig->session.get(), local);
        QSignalSpy notices(&sync, &ClipboardSync::notice);

        // A picture of about 4 MB copied on the remote desktop is pasted here byte for byte.
        const QByteArray remote = noisePng(1000, 1000);
        QVERIFY(remote.size() > 3900000 && remote.size() < ClipImage::maxBytes);
        editor.copyImage(remote);
        QTRY_VERIFY_WITH_TIMEOUT(localPng() == remote, 20000);
        QVERIFY(!local->mimeData()->hasText());
        QTest::qWait(700);
        QVERIFY(editor.owns()); // not sent back
        // Handed over in 256 KiB pieces through INCR, as toolkits do with large copies.
        const QByteArray pieces = noisePng(700, 500);
        editor.copyImage(pieces, 256 * 1024);
        QTRY_VERIFY_WITH_TIMEOUT(localPng() == pieces, 20000);

        // Copied here, pasted on the remote desktop by a plain X client, byte for byte.
        const QByteArray mine = noisePng(300, 200);
        copyLocalPng(mine);
        QTRY_VERIFY_WITH_TIMEOUT(editor.pasteImage() == mine, 20000);
        QVERIFY(!editor.owns());
        QCOMPARE(editor.paste(), std::nullopt); // a picture only, no text
        // A picture the local program offers only as an image goes over as PNG.
        QImage drawn(64, 48, QImage::Format_RGB32);
        drawn.fill(QColor(10, 200, 30));
        local->setImage(drawn);
        QTRY_VERIFY_WITH_TIMEOUT(
            QImage::fromData(editor.pasteImage().value_or(QByteArray()), "PNG").convertToFormat(QImage::Format_RGB32) ==
                drawn,
            20000);

        // Over the cap: not sent, the user is told, the host keeps the last picture.
        const QByteArray huge = noisePng(1500, 1500);
        QVERIFY(huge.size() > ClipImage::maxBytes);
        const QByteArray kept = editor.pasteImage().value_or(QByteArray());
        copyLocalPng(huge);
        QTRY_COMPARE(notices.size(), 1);
        QCOMPARE(notices.first().first().toString(), ClipboardSync::tooLargeImage());
        QTest::qWait(500);
        QCOMPARE(editor.pasteImage(), std::optional<QByteArray>(kept));
        // And the other way: nothing arrives, in one property or in pieces.
        editor.copyImage(huge);
        QTest::qWait(2000);
        QCOMPARE(localPng(), huge); // still the local copy
        editor.copyImage(huge, 512 * 1024);
        QTest::qWait(2000);
        QCOMPARE(localPng(), huge);
        QVERIFY(editor.owns());

        // Without the right nothing comes over either way.
        QCOMPARE(rig->setPerm(false, true), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!rig->session->exchange()->clipAllowed(), 5000);
        const QByteArray stayLocal = noisePng(40, 40), stayRemote = noisePng(50, 50);
        copyLocalPng(stayLocal);
        editor.copyImage(stayRemote);
        QTest::qWait(1500);
        QCOMPARE(localPng(), stayLocal);
        QCOMPARE(editor.pasteImage(), std::optional<QByteArray>(stayRemote));
        // With the right back a new copy passes again.
        QCOMPARE(rig->setPerm(true, true), 200);
        QTRY_VERIFY_WITH_TIMEOUT(rig->session->exchange()->clipAllowed(), 5000);
        const QByteArray again = noisePng(60, 60);
        editor.copyImage(again);
        QTRY_VERIFY_WITH_TIMEOUT(localPng() == again, 20000);
    }

    void clipboardFiles() {
        XClipboardClient fileManager;
        QVERIFY2(fileManager.ok(), "no X display");
        auto rig = connect();
        QVERIFY(rig);
        QClipboard *local = QGuiApplication::clipboard();
        ClipboardSync sync(rig->session.get(), local);
        QSignalSpy notices(&sync, &ClipboardSync::notice);
        QTemporaryDir src;
        const QString report = src.path() + "/report 1.pdf";
        const QByteArray reportHash = writeRandomFile(report, 2 * 1024 * 1024 + 5);
        const QString note = src.path() + "/メモ.txt";
        QFile noteFile(note);
        QVERIFY(noteFile.open(QIODevice::WriteOnly));
        noteFile.write("note\n");
        noteFile.close();
        QVERIFY(QDir(src.path()).mkdir("folder"));

        // Copied on the host by a file manager (the folder is left out): offered here as
        // files, and nothing is fetched before a paste.
        fileManager.copyFiles({report, src.path() + "/folder", note});
        QTRY_VERIFY_WITH_TIMEOUT(local->mimeData() && local->mimeData()->hasUrls(), 5000);
        QVERIFY(local->mimeData()->hasFormat("x-special/gnome-copied-files"));
        QTest::qWait(300);
        QCOMPARE(incoming(rig->files()), 0);
        // Pasted here: the files are fetched then, byte for byte, into the viewer's cache.
        const QList<QUrl> urls = local->mimeData()->urls();
        QCOMPARE(urls.size(), 2);
        QCOMPARE(QFileInfo(urls.at(0).toLocalFile()).fileName(), QStringLiteral("report 1.pdf"));
        QCOMPARE(QFileInfo(urls.at(1).toLocalFile()).fileName(), QStringLiteral("メモ.txt"));
        QCOMPARE(sha256Of(urls.at(0).toLocalFile()), reportHash);
        QCOMPARE(sha256Of(urls.at(1).toLocalFile()), QCryptographicHash::hash("note\n", QCryptographicHash::Sha256));
        QVERIFY(urls.at(0).toLocalFile().startsWith(ClipboardSync::cacheFolder() + "/"));
        // Pasting again, in the other format, takes the same files without fetching again.
        const QByteArray gnome = local->mimeData()->data("x-special/gnome-copied-files");
        QCOMPARE(gnome, "copy\n" + urls.at(0).toEncoded() + "\n" + urls.at(1).toEncoded());
        QCOMPARE(incoming(rig->files()), 2);
        QVERIFY(fileManager.owns()); // not sent back
        QCOMPARE(notices.size(), 0);

        // Copied here (with a folder, left out), pasted on the host by an X client that
        // asks for text/uri-list: the file is fetched from here, then its URL answers.
        const QString photo = src.path() + "/写真 2.jpg";
        const QByteArray photoHash = writeRandomFile(photo, 1024 * 1024 + 3);
        auto *copied = new QMimeData;
        copied->setUrls({QUrl::fromLocalFile(photo), QUrl::fromLocalFile(src.path() + "/folder")});
        local->setMimeData(copied);
        QTRY_VERIFY_WITH_TIMEOUT(!fileManager.owns(), 5000);
        QCOMPARE(notices.size(), 1); // the folder was left out, and the user is told
        QCOMPARE(notices.takeFirst().first().toString(), ClipboardSync::foldersLeftOut());
        const QByteArray hostUris = fileManager.pasteAs("text/uri-list", 20000).value_or(QByteArray());
        QVERIFY2(hostUris.endsWith("\r\n"), hostUris.constData());
        const QString hostPath = QUrl::fromEncoded(hostUris.trimmed()).toLocalFile();
        QCOMPARE(QFileInfo(hostPath).fileName(), QStringLiteral("写真 2.jpg"));
        QVERIFY2(hostPath.startsWith(rig->hostHome() + "/.cache/velmo-remote-host/clipboard/"), qPrintable(hostPath));
        QCOMPARE(sha256Of(hostPath), photoHash);
        QCOMPARE(fileManager.pasteAs("x-special/gnome-copied-files"), "copy\n" + hostUris.trimmed());
        QCOMPARE(fileManager.paste(), std::nullopt);   // files only, no text
        QCOMPARE(local->mimeData()->urls().size(), 2); // still the local copy
        // A file that went before the host pasted it: the paste is refused, not left waiting.
        const QString gone = src.path() + "/gone.bin";
        writeRandomFile(gone, 1000);
        auto *goneCopy = new QMimeData;
        goneCopy->setUrls({QUrl::fromLocalFile(gone)});
        local->setMimeData(goneCopy); // announced at once
        QVERIFY(QFile::remove(gone));
        QTRY_COMPARE_WITH_TIMEOUT(fileManager.pasteAs("text/uri-list", 10000), std::nullopt, 20000);
        // More than 64 files are not announced, and the user is told.
        QList<QUrl> many;
        for (int i = 0; i <= ClipFiles::maxFiles; ++i)
            many.append(QUrl::fromLocalFile(note));
        auto *tooMany = new QMimeData;
        tooMany->setUrls(many);
        local->setMimeData(tooMany);
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().first().toString(), ClipboardSync::tooManyFiles());
        // A folder alone: nothing goes, and the user is told why.
        auto *folderOnly = new QMimeData;
        folderOnly->setUrls({QUrl::fromLocalFile(src.path() + "/folder")});
        local->setMimeData(folderOnly);
        QCOMPARE(notices.size(), 2);
        QCOMPARE(notices.last().first().toString(), ClipboardSync::foldersLeftOut());
        notices.clear();

        // Without `files`: the host's clipboard stops offering this viewer's files, the
        // host's copies are not offered here, and copies here do not go there.
        QCOMPARE(rig->setPerm(true, false), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!rig->session->exchange()->filesAllowed(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(fileManager.pasteAs("text/uri-list", 1000), std::nullopt, 5000);
        QVERIFY(!QFileInfo::exists(hostPath)); // the fetched copy went with the offer
        fileManager.copyFiles({report});
        auto *mine = new QMimeData;
        mine->setUrls({QUrl::fromLocalFile(note)});
        local->setMimeData(mine);
        QTest::qWait(1500);
        QCOMPARE(local->mimeData()->formats(), mine->formats());
        QCOMPARE(local->mimeData()->urls(), QList<QUrl>{QUrl::fromLocalFile(note)});
        QVERIFY(fileManager.owns());
        QCOMPARE(incoming(rig->files()), 2); // only the two pasted before
        // With the right back a copy there is offered here again.
        QCOMPARE(rig->setPerm(true, true), 200);
        QTRY_VERIFY_WITH_TIMEOUT(rig->session->exchange()->filesAllowed(), 5000);
        fileManager.copyFiles({note});
        QTRY_VERIFY_WITH_TIMEOUT(local->mimeData()->formats().contains("x-special/gnome-copied-files"), 5000);
        // The right going again takes the host's files off this clipboard: nothing to wait for.
        QCOMPARE(rig->setPerm(true, false), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!rig->session->exchange()->filesAllowed(), 5000);
        QVERIFY(!local->mimeData() || !local->mimeData()->hasUrls());
        QCOMPARE(notices.size(), 0);
    }

    // The host's copy of files saved into the downloads folder from the session window's
    // bar, for a program here that does not take pasted files: fetched straight there,
    // a taken name numbered (the file there kept as it was), a notice naming the folder.
    void clipboardFilesToDownloads() {
        XClipboardClient fileManager;
        QVERIFY2(fileManager.ok(), "no X display");
        auto rig = connect();
        QVERIFY(rig);
        SessionView view(rig->session.get(), objects.config(), nullptr);
        view.show();
        ClipboardSync *sync = view.clipboardSync();
        QSignalSpy notices(sync, &ClipboardSync::notice);
        QSignalSpy saved(sync, &ClipboardSync::remoteFilesSaved);
        auto *bar = view.findChild<QWidget *>("copiedFilesBar");
        auto *save = view.findChild<QPushButton *>("saveCopiedFilesButton");
        auto *menuSave = view.findChild<QAction *>("saveCopiedFiles");
        QVERIFY(bar && save && menuSave);
        QVERIFY(!bar->isVisible());
        QVERIFY(!menuSave->isEnabled());

        QTemporaryDir src;
        const QString report = src.path() + "/report.pdf";
        const QByteArray reportHash = writeRandomFile(report, 1024 * 1024 + 7);
        const QString note = src.path() + "/メモ.txt";
        writeRandomFile(note, 100);
        const QByteArray noteHash = sha256Of(note);
        QVERIFY(QDir().mkpath(rig->viewerDownloads()));
        QFile mine(rig->viewerDownloads() + "/report.pdf");
        QVERIFY(mine.open(QIODevice::WriteOnly));
        mine.write("mine");
        mine.close();

        fileManager.copyFiles({report, note});
        QTRY_VERIFY_WITH_TIMEOUT(bar->isVisible(), 5000);
        QCOMPARE(sync->remoteFiles(), QStringList({"report.pdf", "メモ.txt"}));
        QCOMPARE(view.findChild<QLabel *>("copiedFilesText")->text(),
                 QString("相手側でファイルがコピーされました: report.pdf、メモ.txt"));
        QVERIFY(menuSave->isEnabled());
        QTest::qWait(300);
        QCOMPARE(incoming(rig->files()), 0); // nothing moves before the user asks
        QTest::mouseClick(save, Qt::LeftButton);
        QVERIFY(sync->saving());
        QVERIFY(!save->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(saved.size(), 1, 30000);
        QCOMPARE(saved.first().at(0).toString(), rig->viewerDownloads());
        const QStringList paths = saved.first().at(1).toStringList();
        QCOMPARE(paths,
                 QStringList({rig->viewerDownloads() + "/report (1).pdf", rig->viewerDownloads() + "/メモ.txt"}));
        QCOMPARE(sha256Of(paths.at(0)), reportHash);
        QCOMPARE(sha256Of(paths.at(1)), noteHash);
        QCOMPARE(sha256Of(mine.fileName()), QCryptographicHash::hash("mine", QCryptographicHash::Sha256));
        QCOMPARE(entries(rig->viewerDownloads()), QStringList({"report (1).pdf", "report.pdf", "メモ.txt"}));
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().first().toString(),
                 "ダウンロード(" + rig->viewerDownloads() + ")に保存しました: report (1).pdf、メモ.txt");
        QCOMPARE(view.toast(), notices.first().first().toString());
        QVERIFY(!bar->isVisible()); // done; the menu still offers it
        QVERIFY(menuSave->isEnabled());
        // Saving again is a second copy, never a replacement.
        menuSave->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(saved.size(), 2, 30000);
        QCOMPARE(saved.last().at(1).toStringList().first(), rig->viewerDownloads() + "/report (2).pdf");
        QCOMPARE(sha256Of(rig->viewerDownloads() + "/report (1).pdf"), reportHash);

        // The host copies text: its files are no longer there to save.
        fileManager.copy("plain");
        QTRY_VERIFY_WITH_TIMEOUT(sync->remoteFiles().isEmpty(), 5000);
        QVERIFY(!bar->isVisible());
        QVERIFY(!menuSave->isEnabled());
        notices.clear();
        sync->saveRemoteFiles(); // nothing to save: nothing happens
        QVERIFY(!sync->saving());

        // A new copy shows the bar again, even after it was closed; closing it keeps the menu.
        fileManager.copyFiles({note});
        QTRY_VERIFY_WITH_TIMEOUT(bar->isVisible(), 5000);
        QTest::mouseClick(view.findChild<QToolButton *>("dismissCopiedFiles"), Qt::LeftButton);
        QVERIFY(!bar->isVisible());
        QVERIFY(menuSave->isEnabled());
        // (large enough to be under way when the right goes)
        const QString big = src.path() + "/big.bin";
        writeRandomFile(big, 64 * 1024 * 1024);
        fileManager.copyFiles({big});
        QTRY_VERIFY_WITH_TIMEOUT(bar->isVisible(), 5000);
        QCOMPARE(sync->remoteFiles(), QStringList({"big.bin"}));

        // Without `files`: nothing to save, and a save under way ends with a word why.
        menuSave->trigger();
        QVERIFY(sync->saving());
        QCOMPARE(rig->setPerm(true, false), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!rig->session->exchange()->filesAllowed(), 5000);
        QVERIFY(!sync->saving());
        QVERIFY(sync->remoteFiles().isEmpty());
        QVERIFY(!bar->isVisible());
        QVERIFY(!menuSave->isEnabled());
        QCOMPARE(saved.size(), 2);
        QVERIFY(!notices.isEmpty());
        QCOMPARE(notices.last().first().toString(),
                 ClipboardSync::filesNotSaved(QStringLiteral("ファイル転送が許可されていません")));
        // Nothing half-written is left behind.
        QTest::qWait(300);
        for (const QString &name : entries(rig->viewerDownloads()))
            QVERIFY2(!name.endsWith(".part"), qPrintable(name));
    }

    void filesToTheHost() {
        auto rig = connect();
        QVERIFY(rig);
        QTemporaryDir src;
        FileTransfers *files = rig->files();

        // 50 MB arrive intact.
        const QString big = src.path() + "/big.bin";
        const QByteArray hash = writeRandomFile(big, 50 * 1000 * 1000);
        QElapsedTimer clock;
        clock.start();
        const int key = files->send(big);
        QVERIFY(finished(files, key));
        QCOMPARE(files->transfer(key)->status, Status::Done);
        qInfo("50 MB to the host in %lld ms", clock.elapsed());
        QCOMPARE(sha256Of(rig->hostDownloads() + "/big.bin"), hash);
        // The host user sees the file and where it went.
        QTRY_COMPARE_WITH_TIMEOUT(hostTransfer(*rig, "big.bin", false).value("state").toString(), QString("done"),
                                  5000);
        QCOMPARE(hostTransfer(*rig, "big.bin", false).value("path").toString(), rig->hostDownloads() + "/big.bin");
        QCOMPARE(hostTransfer(*rig, "big.bin", false).value("size").toInteger(), 50 * 1000 * 1000);

        // The same name again gets " (1)"; a hostile name lands as a plain file in Downloads.
        const QString small = src.path() + "/big.bin.small";
        QFile f(small);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("second");
        f.close();
        const int again = files->send(small, QStringLiteral("big.bin"));
        const int hostile = files->send(small, QStringLiteral("../../.bashrc"));
        QVERIFY(finished(files, again));
        QVERIFY(finished(files, hostile));
        QCOMPARE(files->transfer(again)->status, Status::Done);
        QCOMPARE(files->transfer(hostile)->status, Status::Done);
        QCOMPARE(entries(rig->hostDownloads()), (QStringList{"bashrc", "big (1).bin", "big.bin"}));
        QFile second(rig->hostDownloads() + "/big (1).bin");
        QVERIFY(second.open(QIODevice::ReadOnly));
        QCOMPARE(second.readAll(), QByteArray("second"));
        QVERIFY(!QFile::exists(rig->hostHome() + "/.bashrc"));
        QVERIFY(!QFile::exists(rig->dir.path() + "/.bashrc"));

        // A cancelled transfer leaves nothing.
        const int cancelled = files->send(big, QStringLiteral("cancelled.bin"));
        QVERIFY(QTest::qWaitFor([&] { return files->transfer(cancelled)->done >= 2 * 1024 * 1024; }, 20000));
        files->cancel(cancelled);
        QCOMPARE(files->transfer(cancelled)->status, Status::Cancelled);
        QTRY_VERIFY_WITH_TIMEOUT(hostTransfer(*rig, "cancelled.bin", false).value("state").toString() == "cancelled" ||
                                     hostTransfer(*rig, "cancelled.bin", false).value("state").toString() == "failed",
                                 5000);
        QCOMPARE(hostTransfer(*rig, "cancelled.bin", false).value("path").toString(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(entries(rig->hostDownloads()), (QStringList{"bashrc", "big (1).bin", "big.bin"}),
                                  5000);

        // Nor does a viewer that leaves in the middle.
        const int left = files->send(big, QStringLiteral("left.bin"));
        QVERIFY(QTest::qWaitFor([&] { return files->transfer(left)->done >= 2 * 1024 * 1024; }, 20000));
        rig->session->close();
        QCOMPARE(files->transfer(left)->status, Status::Failed);
        QTRY_COMPARE_WITH_TIMEOUT(entries(rig->hostDownloads()), (QStringList{"bashrc", "big (1).bin", "big.bin"}),
                                  10000);
    }

    void filesFromTheHostAndRights() {
        auto rig = connect();
        QVERIFY(rig);
        QTemporaryDir src;
        const QString path = src.path() + "/report.pdf";
        const QByteArray hash = writeRandomFile(path, 3 * 1024 * 1024 + 17);
        FileTransfers *files = rig->files();
        QSignalSpy added(files, &FileTransfers::added);

        // The host user sends a file (control API); it lands in the viewer's download folder.
        QCOMPARE(rig->peers.post("files/send", {{"sid", rig->hostSid()}, {"path", path}}), 200);
        QTRY_COMPARE_WITH_TIMEOUT(added.size(), 1, 5000);
        const int key = added.first().first().toInt();
        QVERIFY(finished(files, key));
        QCOMPARE(files->transfer(key)->status, Status::Done);
        QCOMPARE(files->transfer(key)->direction, FileTransfers::Direction::Incoming);
        QCOMPARE(sha256Of(rig->viewerDownloads() + "/report.pdf"), hash);
        // The host user sees what went and how it ended.
        QTRY_COMPARE_WITH_TIMEOUT(hostTransfer(*rig, "report.pdf", true).value("state").toString(), QString("done"),
                                  5000);
        QCOMPARE(hostTransfer(*rig, "report.pdf", true).value("path").toString(), path);
        QCOMPARE(rig->peers.post("files/send", {{"sid", rig->hostSid()}, {"path", "relative/x"}}), 400);
        QCOMPARE(rig->peers.post("files/send", {{"sid", "nosuch"}, {"path", path}}), 404);

        // A download the viewer cancels leaves nothing in its folder.
        const QString big = src.path() + "/big.bin";
        writeRandomFile(big, 40 * 1000 * 1000);
        QCOMPARE(rig->peers.post("files/send", {{"sid", rig->hostSid()}, {"path", big}}), 200);
        QTRY_COMPARE_WITH_TIMEOUT(added.size(), 2, 5000);
        const int incoming = added.last().first().toInt();
        QVERIFY(QTest::qWaitFor([&] { return files->transfer(incoming)->done >= 2 * 1024 * 1024; }, 20000));
        files->cancel(incoming);
        QCOMPARE(entries(rig->viewerDownloads()), QStringList{"report.pdf"});

        // Without the `files` right: the viewer knows, the host refuses either way.
        QCOMPARE(rig->setPerm(true, false), 200);
        QTRY_VERIFY_WITH_TIMEOUT(!rig->session->exchange()->filesAllowed(), 5000);
        const int refused = files->send(path);
        QCOMPARE(files->transfer(refused)->status, Status::Failed);
        QCOMPARE(rig->peers.post("files/send", {{"sid", rig->hostSid()}, {"path", path}}), 404);
        QCOMPARE(rig->setPerm(true, true), 200);
        QTRY_VERIFY_WITH_TIMEOUT(rig->session->exchange()->filesAllowed(), 5000);
        const int allowed = files->send(path);
        QVERIFY(finished(files, allowed));
        QCOMPARE(files->transfer(allowed)->status, Status::Done);
        QCOMPARE(sha256Of(rig->hostDownloads() + "/report.pdf"), hash);

        // The viewer leaving in the middle of a download: nothing left here, and the host
        // stops sending (it ends cleanly afterwards, which the rig checks).
        QCOMPARE(rig->peers.post("files/send", {{"sid", rig->hostSid()}, {"path", big}}), 200);
        QTRY_COMPARE_WITH_TIMEOUT(added.size(), 5, 5000);
        const int interrupted = added.last().first().toInt();
        QVERIFY(QTest::qWaitFor([&] { return files->transfer(interrupted)->done >= 2 * 1024 * 1024; }, 20000));
        rig->session->close();
        QCOMPARE(files->transfer(interrupted)->status, Status::Failed);
        QCOMPARE(entries(rig->viewerDownloads()), QStringList{"report.pdf"});
        QTRY_VERIFY_WITH_TIMEOUT(rig->peers.status().value("sessions").toArray().isEmpty(), 10000);
    }

    // The viewer records: the host's status says so at once, and no longer once it stops.
    void hostSeesRecording() {
        auto rig = connect();
        QVERIFY(rig);
        auto recording = [&] {
            const QJsonArray sessions = rig->peers.status().value("sessions").toArray();
            return !sessions.isEmpty() && sessions.first().toObject().value("recording").toBool();
        };
        QVERIFY(!recording());
        QTemporaryDir out;
        SessionRecorder recorder(rig->session.get());
        QSignalSpy written(&recorder, &SessionRecorder::finished);
        const auto started = recorder.start(out.path() + "/session.mkv");
        QVERIFY2(started.ok(), qPrintable(started.ok() ? QString() : started.error.message));
        QTRY_VERIFY_WITH_TIMEOUT(recording(), 5000);
        recorder.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!recording(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(written.size(), 1, 10000); // the file is done before its folder goes
    }
};

int main(int argc, char **argv) {
    TestEnv env;
    QApplication app(argc, argv); // the session window's widgets
    TestSessionTransfer t;
    return QTest::qExec(&t, argc, argv);
}

#include "tst_session_transfer.moc"
