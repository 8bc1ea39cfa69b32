// The shared transfer library without a network: safe names, partial files, the
// "clip" parts, copied-file lists, and the file messages between two ends joined in
// this process.
#include "transfer/ClipFiles.h"
#include "transfer/ClipFilesOffer.h"
#include "transfer/ClipImage.h"
#include "transfer/ClipText.h"
#include "transfer/FileTransfers.h"
#include "transfer/IncomingFile.h"
#include "transfer/SafeFileName.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <deque>

#include <sys/time.h>

using Status = FileTransfers::Status;

namespace {
QStringList entries(const QString &dir) {
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QByteArray randomBytes(qsizetype n) {
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(b.data()), n / 4);
    return b;
}

// Two ends joined by an ordered queue in each direction, delivered by the event loop.
// `buffered` of an end is what it queued and the other has not taken yet.
struct Pair {
    struct Message {
        QByteArray bytes;
        bool binary = false;
    };
    std::deque<Message> toB, toA;
    qint64 queuedToB = 0;
    bool dropAcks = false;
    qint64 maxUnacked = 0; // the most A had sent beyond B's acknowledgements
    qint64 sentByA = 0, ackedByB = 0;
    FileTransfers *a = nullptr, *b = nullptr;

    Pair(const QString &folderA, const QString &folderB) {
        FileTransfers::Link la;
        la.sendText = [this](const QByteArray &j) { return push(toB, j, false); };
        la.sendBinary = [this](const QByteArray &m) {
            sentByA += m.size() - FileChunkHeader::size;
            maxUnacked = std::max(maxUnacked, sentByA - ackedByB);
            return push(toB, m, true);
        };
        la.buffered = [this] { return quint64(queuedToB); };
        FileTransfers::Link lb;
        lb.sendText = [this](const QByteArray &j) {
            const QJsonObject o = QJsonDocument::fromJson(j).object();
            if (o.value("t").toString() == QLatin1String("file_ack")) {
                if (dropAcks)
                    return true;
                ackedByB = qint64(o.value("bytes").toDouble());
            }
            return push(toA, j, false);
        };
        lb.sendBinary = [this](const QByteArray &m) { return push(toA, m, true); };
        lb.buffered = [] { return quint64(0); };
        a = new FileTransfers(la);
        b = new FileTransfers(lb);
        a->setFolder(folderA);
        b->setFolder(folderB);
    }
    ~Pair() {
        delete a;
        delete b;
    }
    bool push(std::deque<Message> &q, const QByteArray &bytes, bool binary) {
        q.push_back({bytes, binary});
        if (&q == &toB)
            queuedToB += bytes.size();
        QTimer::singleShot(0, [this] { deliver(); });
        return true;
    }
    // One message each way per turn of the event loop, like a channel that drains.
    void deliver() {
        if (!toB.empty()) {
            Message m = std::move(toB.front());
            toB.pop_front();
            queuedToB -= m.bytes.size();
            if (m.binary)
                b->handleBinary(m.bytes);
            else
                b->handleText(QJsonDocument::fromJson(m.bytes).object());
        }
        if (!toA.empty()) {
            Message m = std::move(toA.front());
            toA.pop_front();
            if (m.binary)
                a->handleBinary(m.bytes);
            else
                a->handleText(QJsonDocument::fromJson(m.bytes).object());
        }
    }
};
} // namespace

class TestTransfer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void safeNames() {
        QCOMPARE(SafeFileName::clean("../../.bashrc"), QStringLiteral("bashrc"));
        QCOMPARE(SafeFileName::clean("C:\\Users\\x\\report.pdf"), QStringLiteral("report.pdf"));
        QCOMPARE(SafeFileName::clean(".."), QStringLiteral("ファイル"));
        QCOMPARE(SafeFileName::clean("dir/"), QStringLiteral("ファイル"));
        QCOMPARE(SafeFileName::clean(" . .hidden.txt. "), QStringLiteral("hidden.txt"));
        // Control and format characters go: "evil\u202Egpj.exe" would read as "evilexe.jpg".
        QCOMPARE(SafeFileName::clean(QStringLiteral("evil\u202Egpj.exe")), QStringLiteral("evilgpj.exe"));
        QCOMPARE(SafeFileName::clean(QStringLiteral("a\nb\x01"
                                                    "c\u00A0d.txt")),
                 QStringLiteral("abc d.txt"));
        QCOMPARE(SafeFileName::clean(QStringLiteral("絵文字🙂.png")), QStringLiteral("絵文字🙂.png"));
        const QString longName = SafeFileName::clean(QString(300, QChar(0xE9)) + ".txt");
        QVERIFY(longName.toUtf8().size() <= SafeFileName::maxBytes);
        QVERIFY(longName.endsWith(".txt"));

        QCOMPARE(SafeFileName::numbered("a.tar.gz", 1), QStringLiteral("a.tar (1).gz"));
        QCOMPARE(SafeFileName::numbered("README", 2), QStringLiteral("README (2)"));
        QCOMPARE(SafeFileName::numbered("x.txt", 0), QStringLiteral("x.txt"));
        const QString numbered = SafeFileName::numbered(longName, 12);
        QVERIFY(numbered.toUtf8().size() <= SafeFileName::maxBytes);
        QVERIFY(numbered.endsWith(" (12).txt"));
    }

    void partialFiles() {
        QTemporaryDir dir;
        const QString folder = dir.path() + "/Downloads"; // made on demand
        QString error;
        auto first = IncomingFile::create(folder, "x.txt", 3, &error);
        QVERIFY2(first, qPrintable(error));
        QVERIFY(first->write("one"));
        QVERIFY(first->commit(&error));
        QCOMPARE(first->finalPath(), folder + "/x.txt");

        // The same name does not replace the first file.
        auto second = IncomingFile::create(folder, "../x.txt", 3, &error);
        QVERIFY(second->write("two"));
        QVERIFY(second->commit(&error));
        QCOMPARE(entries(folder), (QStringList{"x (1).txt", "x.txt"}));
        QFile one(folder + "/x.txt");
        QVERIFY(one.open(QIODevice::ReadOnly));
        QCOMPARE(one.readAll(), QByteArray("one"));

        // Given up before it is complete: nothing stays.
        {
            auto partial = IncomingFile::create(folder, "partial.bin", 1 << 20, &error);
            QVERIFY(partial->write(randomBytes(4096)));
        }
        QCOMPARE(entries(folder), (QStringList{"x (1).txt", "x.txt"}));

        // More than the free space is refused before anything is written.
        QVERIFY(!IncomingFile::create(folder, "huge.bin", qint64(1) << 60, &error));
        QCOMPARE(error, QStringLiteral("保存先の空き容量が足りません"));
        QVERIFY(!IncomingFile::create(folder, "neg.bin", -1, &error));
        QCOMPARE(entries(folder).size(), 2);
    }

    // Two sessions receiving into the same folder at once: the second file is judged with
    // the first one's bytes counted as taken, so both together never pass the free space;
    // what the first has written, or its whole share once it is given up, frees the room.
    void parallelReceptionsShareTheFreeSpace() {
        QTemporaryDir dir;
        const QString folder = dir.path() + "/Downloads";
        QVERIFY(QDir().mkpath(folder));
        const qint64 free = QStorageInfo(folder).bytesAvailable();
        QVERIFY(free > 64 * 1024 * 1024);
        Pair one(dir.path() + "/a", folder), two(dir.path() + "/b", folder);
        const auto offer = [](Pair &p, int id, qint64 size) {
            p.b->handleText(QJsonObject{
                {"t", "file_start"}, {"id", id}, {"name", QStringLiteral("f%1.bin").arg(id)}, {"size", size}});
            return p.b->transfers().last();
        };
        // Half the free space, then three quarters of it in the other session: alone each
        // would fit, together they do not.
        const auto half = offer(one, 1, free / 2);
        QCOMPARE(half.status, Status::Running);
        const auto more = offer(two, 2, free / 4 * 3);
        QCOMPARE(more.status, Status::Failed);
        QCOMPARE(more.message, QStringLiteral("保存先の空き容量が足りません"));
        // A quarter still fits beside the half.
        const auto quarter = offer(two, 3, free / 5);
        QCOMPARE(quarter.status, Status::Running);
        // The half is cancelled by its sender: its share is free again.
        one.b->handleText(QJsonObject{{"t", "file_cancel"}, {"id", 1}});
        QCOMPARE(one.b->transfer(half.key)->status, Status::Cancelled);
        QCOMPARE(offer(one, 4, free / 2).status, Status::Running);
        QCOMPARE(IncomingFile::owedOn(folder), free / 2 + free / 5);
        two.b->abortAll(QStringLiteral("end"));
        one.b->abortAll(QStringLiteral("end"));
        QCOMPARE(IncomingFile::owedOn(folder), 0);
        QCOMPARE(entries(folder), QStringList());
        // The answers still queued between the ends go before the ends do.
        QTRY_VERIFY(one.toA.empty() && one.toB.empty() && two.toA.empty() && two.toB.empty());
    }

    void clipParts() {
        // A surrogate pair on the part boundary stays whole.
        QString text = QString(ClipText::partChars - 1, QLatin1Char('a')) + QStringLiteral("🙂") + "tail";
        QList<QJsonObject> parts = ClipText::split(text, 7);
        QCOMPARE(parts.size(), 2);
        QCOMPARE(parts[0].value("text").toString().size(), ClipText::partChars - 1);
        ClipText in;
        QVERIFY(!in.add(parts[0]));
        QCOMPARE(in.add(parts[1]), std::optional<QString>(text));

        // Even a text of control characters keeps every message under 64 KiB.
        const QString controls(ClipText::partChars * 3, QChar(1));
        for (const QJsonObject &p : ClipText::split(controls, 8))
            QVERIFY(QJsonDocument(p).toJson(QJsonDocument::Compact).size() < 64 * 1024);
        QCOMPARE(ClipText::split(QString(), 9).size(), 1); // an empty text is one empty part

        // A gap or a mix of texts loses the text; the next one is whole again.
        parts = ClipText::split(QString(3 * ClipText::partChars, QLatin1Char('b')), 10);
        QVERIFY(!in.add(parts[0]));
        QVERIFY(!in.add(parts[2]));
        QVERIFY(!in.add(parts[1]));
        QJsonObject foreign = ClipText::split("x", 11).first();
        QVERIFY(in.add(foreign).has_value());
        QVERIFY(!in.add(QJsonObject{{"t", "clip"}, {"id", 1}, {"part", 0}, {"parts", 1}, {"text", 5}}));
        QVERIFY(!in.add(QJsonObject{{"t", "clip"}, {"id", 1}, {"part", 1}, {"parts", 1}, {"text", "x"}}));

        // Over 1 MiB of UTF-8 is neither sent nor put together.
        QVERIFY(ClipText::fits(QString(ClipText::maxBytes, QLatin1Char('c'))));
        QVERIFY(!ClipText::fits(QString(ClipText::maxBytes / 2, QChar(0x3042))));
        QVERIFY(ClipText::split(QString(ClipText::maxBytes + 1, QLatin1Char('c')), 12).isEmpty());
        const QString piece(ClipText::partChars, QChar(0x3042)); // 3 bytes each in UTF-8
        const int n = int(ClipText::maxBytes / (piece.size() * 3)) + 2;
        std::optional<QString> whole;
        for (int i = 0; i < n; ++i)
            whole = in.add(QJsonObject{{"t", "clip"}, {"id", 13}, {"part", i}, {"parts", n}, {"text", piece}});
        QVERIFY(!whole);
    }

    void clipImageParts() {
        // Every byte value, in a PNG of several parts, comes back byte for byte.
        QByteArray png = QByteArray("\x89PNG\r\n\x1a\n", 8) + randomBytes(3 * ClipImage::partBytes + 17);
        QList<QJsonObject> parts = ClipImage::split(png, 21);
        QCOMPARE(parts.size(), 4);
        ClipImage in;
        std::optional<QByteArray> whole;
        for (const QJsonObject &p : parts) {
            QCOMPARE(p.value("t").toString(), QStringLiteral("clipimg"));
            QVERIFY(QJsonDocument(p).toJson(QJsonDocument::Compact).size() < 64 * 1024);
            QVERIFY(!whole);
            whole = in.add(QJsonDocument::fromJson(QJsonDocument(p).toJson()).object());
        }
        QCOMPARE(whole, std::optional<QByteArray>(png));

        // Only PNGs of at most the cap are sent.
        QVERIFY(ClipImage::split(QByteArray("GIF89a") + randomBytes(100), 22).isEmpty());
        QByteArray largest = png;
        largest.resize(ClipImage::maxBytes, 'z');
        QVERIFY(ClipImage::fits(largest));
        QCOMPARE(ClipImage::split(largest, 23).size(), ClipImage::maxParts);
        largest.append('z');
        QVERIFY(!ClipImage::fits(largest));
        QVERIFY(ClipImage::split(largest, 24).isEmpty());

        // A gap, a foreign part, bad Base64, an oversized part or a non-PNG loses the
        // picture; the next one is whole again.
        QVERIFY(!in.add(parts[0]));
        QVERIFY(!in.add(parts[2]));
        QVERIFY(!in.add(parts[3]));
        QJsonObject bad = parts[1];
        bad.insert("png", "***");
        QVERIFY(!in.add(parts[0]));
        QVERIFY(!in.add(bad));
        QVERIFY(!in.add(parts[3]));
        QJsonObject fat = parts[1];
        fat.insert("png", QString::fromLatin1(randomBytes(ClipImage::partBytes + 3).toBase64()));
        QVERIFY(!in.add(parts[0]));
        QVERIFY(!in.add(fat));
        const QJsonObject notPng{{"t", "clipimg"},
                                 {"id", 25},
                                 {"part", 0},
                                 {"parts", 1},
                                 {"png", QString::fromLatin1(QByteArray("plain text").toBase64())}};
        QVERIFY(!in.add(notPng));
        QVERIFY(!in.add(QJsonObject{{"t", "clipimg"}, {"id", 1}, {"part", 0}, {"parts", 1}, {"png", 5}}));
        QVERIFY(!in.add(QJsonObject{
            {"t", "clipimg"}, {"id", 1}, {"part", 0}, {"parts", ClipImage::maxParts + 1}, {"png", "iVBORw0KGgo="}}));
        const QList<QJsonObject> again = ClipImage::split(png, 26);
        for (int i = 0; i < again.size(); ++i)
            whole = in.add(again[i]);
        QCOMPARE(whole, std::optional<QByteArray>(png));
        // The most parts a sender may announce, each full, make exactly the cap.
        const QString full = QString::fromLatin1(randomBytes(ClipImage::partBytes).toBase64());
        for (int i = 0; i < ClipImage::maxParts; ++i)
            whole = in.add(QJsonObject{
                {"t", "clipimg"},
                {"id", 27},
                {"part", i},
                {"parts", ClipImage::maxParts},
                {"png", i == 0 ? QString::fromLatin1(QByteArray(png.left(ClipImage::partBytes)).toBase64()) : full}});
        QVERIFY(whole.has_value());
        QCOMPARE(whole->size(), ClipImage::maxBytes);
    }

    void filesBetweenTwoEnds() {
        QTemporaryDir dir;
        Pair pair(dir.path() + "/a", dir.path() + "/b");
        const QByteArray data = randomBytes(9 * 1024 * 1024 + 123);
        const QString path = dir.path() + "/data.bin";
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
        f.close();

        const int key = pair.a->send(path);
        QTRY_VERIFY_WITH_TIMEOUT(pair.a->transfer(key)->finished(), 20000);
        QCOMPARE(pair.a->transfer(key)->status, Status::Done);
        QFile got(dir.path() + "/b/data.bin");
        QVERIFY(got.open(QIODevice::ReadOnly));
        QVERIFY(got.readAll() == data);
        // Never more in flight than the window (plus the chunk that crossed it).
        QVERIFY2(pair.maxUnacked <= FileTransfers::window + FileTransfers::chunkBytes,
                 qPrintable(QString::number(pair.maxUnacked)));

        // A receiver that stops acknowledging stops the sender at the window.
        pair.dropAcks = true;
        pair.sentByA = pair.ackedByB = 0;
        const int stuck = pair.a->send(path, "stuck.bin");
        QTest::qWait(500);
        QVERIFY(pair.toB.empty());
        QCOMPARE(pair.a->transfer(stuck)->status, Status::Running);
        QVERIFY(pair.sentByA >= FileTransfers::window);
        QVERIFY(pair.sentByA <= FileTransfers::window + FileTransfers::chunkBytes);
        pair.a->cancel(stuck);
        QTRY_COMPARE(entries(dir.path() + "/b"), QStringList{"data.bin"});

        // Switched off on the receiving side: refused with the reason.
        pair.b->setAllowed(false);
        const int refused = pair.a->send(path);
        QTRY_VERIFY(pair.a->transfer(refused)->finished());
        QCOMPARE(pair.a->transfer(refused)->message, QStringLiteral("相手側: ファイル転送が許可されていません"));
        QVERIFY(pair.a->send(dir.path() + "/missing") > 0);
        QCOMPARE(pair.a->transfers().last().status, Status::Failed);
    }

    // Lists of copied files: what is announced, what a receiver takes, what URLs name.
    void clipFileLists() {
        QTemporaryDir dir;
        auto make = [&](const QString &name, const QByteArray &bytes) {
            QFile f(dir.filePath(name));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        };
        make("a.txt", "alpha");
        make("b c.bin", QByteArray(1000, 'b'));
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        ClipFiles list;
        QStringList kept;
        int skipped = -1;
        QCOMPARE(ClipFiles::describe(
                     {dir.filePath("a.txt"), dir.filePath("folder"), dir.filePath("b c.bin"), dir.filePath("missing")},
                     7, &list, &kept, &skipped),
                 ClipFiles::Outcome::Ok);
        QCOMPARE(skipped, 2); // the folder and the missing file
        QCOMPARE(kept, (QStringList{dir.filePath("a.txt"), dir.filePath("b c.bin")}));
        QCOMPARE(list.files, (QList<ClipFiles::Entry>{{"a.txt", 5}, {"b c.bin", 1000}}));
        QCOMPARE(ClipFiles::fromJson(list.toJson())->files, list.files);
        QCOMPARE(ClipFiles::fromJson(list.toJson())->id, 7u);
        QCOMPARE(ClipFiles::describe({dir.filePath("folder")}, 8, &list, &kept), ClipFiles::Outcome::NoFiles);
        QStringList many;
        for (int i = 0; i <= ClipFiles::maxFiles; ++i)
            many.append(dir.filePath("a.txt"));
        QCOMPARE(ClipFiles::describe(many, 9, &list, &kept), ClipFiles::Outcome::TooMany);

        // Hostile names are cleaned; bad lists are refused whole.
        auto entry = [](const QJsonValue &name, const QJsonValue &size) {
            return QJsonObject{{"name", name}, {"size", size}};
        };
        auto message = [](const QJsonArray &files, const QJsonValue &id = 3) {
            return QJsonObject{{"t", "clipfiles"}, {"id", id}, {"files", files}};
        };
        const auto cleaned = ClipFiles::fromJson(message({entry("../../.bashrc", 1), entry("dir/sub\\x.txt", 2),
                                                          entry(QStringLiteral("a\u0001b\u202Egpj.exe"), 3)}));
        QVERIFY(cleaned);
        QCOMPARE(cleaned->files.at(0).name, QStringLiteral("bashrc"));
        QCOMPARE(cleaned->files.at(1).name, QStringLiteral("x.txt"));
        QCOMPARE(cleaned->files.at(2).name, QStringLiteral("abgpj.exe"));
        QVERIFY(!ClipFiles::fromJson(message({})));
        QVERIFY(!ClipFiles::fromJson(message({entry("x", -1)})));
        QVERIFY(!ClipFiles::fromJson(message({entry("x", 1.5)})));
        QVERIFY(!ClipFiles::fromJson(message({entry(5, 1)})));
        QVERIFY(!ClipFiles::fromJson(message({entry("x", 1)}, 0)));
        QVERIFY(!ClipFiles::fromJson(
            message({entry("x", double(ClipFiles::maxTotalBytes)), entry("y", 1)}))); // together over the cap
        QJsonArray tooMany;
        for (int i = 0; i <= ClipFiles::maxFiles; ++i)
            tooMany.append(entry("x", 1));
        QVERIFY(!ClipFiles::fromJson(message(tooMany)));

        // Only local file: URLs count, in either clipboard format.
        const QByteArray uris = "# comment\r\nfile:///tmp/a%20b.txt\r\nhttp://example.com/x\r\n"
                                "file://otherhost/etc/passwd\r\nfile://localhost/srv/c\r\nnot a url\r\n";
        QCOMPARE(ClipFiles::localPaths(uris), (QStringList{"/tmp/a b.txt", "/srv/c"}));
        QCOMPARE(ClipFiles::localPaths("copy\nfile:///x/1\nfile:///x/2"), (QStringList{"/x/1", "/x/2"}));
        const QStringList odd{"/tmp/ü #1.txt", "/tmp/100%.bin"};
        QCOMPARE(ClipFiles::localPaths(ClipFiles::uriList(odd)), odd);
        QCOMPARE(ClipFiles::localPaths(ClipFiles::gnomeCopiedFiles(odd)), odd);
        QVERIFY(ClipFiles::gnomeCopiedFiles(odd).startsWith("copy\nfile:///"));
    }

    // Files asked for by the other end (a paste of copied files), and what is refused.
    void fetchOnDemand() {
        QTemporaryDir dir;
        Pair pair(dir.path() + "/a", dir.path() + "/b");
        const QByteArray data = randomBytes(3 * 1024 * 1024 + 8);
        const QString path = dir.filePath("shared.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
        f.close();
        QVERIFY(QDir(dir.path()).mkdir("cache"));
        pair.b->share(5, {path, dir.filePath("gone.bin")});
        QSignalSpy fetched(pair.a, &FileTransfers::fetched);
        QSignalSpy failed(pair.a, &FileTransfers::fetchFailed);

        const quint32 req = pair.a->fetch(5, 0, dir.filePath("cache"), data.size());
        QVERIFY(req > 0);
        QTRY_COMPARE_WITH_TIMEOUT(fetched.size(), 1, 10000);
        QCOMPARE(fetched.first().at(0).toUInt(), req);
        QFile got(fetched.first().at(1).toString());
        QCOMPARE(QFileInfo(got).absolutePath(), dir.filePath("cache"));
        QVERIFY(got.open(QIODevice::ReadOnly));
        QVERIFY(got.readAll() == data);
        QCOMPARE(entries(dir.path() + "/a"), QStringList{}); // nothing in the download folder

        // An old list, an index out of range, a file that went, one larger than announced.
        pair.a->fetch(4, 0, dir.filePath("cache"), data.size());
        pair.a->fetch(5, 2, dir.filePath("cache"), data.size());
        pair.a->fetch(5, 1, dir.filePath("cache"), data.size());
        pair.a->fetch(5, 0, dir.filePath("cache"), 10);
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 4, 10000);
        QCOMPARE(failed.at(0).at(1).toString(), QStringLiteral("相手側: そのファイルはもうクリップボードにありません"));
        QCOMPARE(failed.at(1).at(1).toString(), QStringLiteral("相手側: そのファイルはもうクリップボードにありません"));
        QCOMPARE(failed.at(2).at(1).toString(), QStringLiteral("相手側: ファイルが見つかりません"));
        QCOMPARE(failed.at(3).at(1).toString(), QStringLiteral("ファイルの大きさが知らされたものと違います"));
        QCOMPARE(entries(dir.filePath("cache")), QStringList{"shared.bin"});

        // A file sent for a request nobody made is refused.
        pair.b->setFolder(dir.path() + "/b");
        QList<QJsonObject> answers;
        FileTransfers::Link link;
        link.sendText = [&](const QByteArray &j) {
            answers.append(QJsonDocument::fromJson(j).object());
            return true;
        };
        FileTransfers lone(link);
        lone.handleText({{"t", "file_start"}, {"id", 1}, {"name", "x"}, {"size", 1}, {"req", 77}});
        QCOMPARE(answers.last().value("t").toString(), QStringLiteral("file_reject"));

        // Without the right the owner refuses; the list of a whole copy goes through an offer.
        pair.b->setAllowed(false);
        pair.a->fetch(5, 0, dir.filePath("cache"), data.size());
        QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 5, 10000);
        QCOMPARE(failed.last().at(1).toString(), QStringLiteral("相手側: ファイル転送が許可されていません"));
        pair.b->setAllowed(true);
        ClipFiles list;
        QStringList kept;
        QCOMPARE(ClipFiles::describe({path, path}, 6, &list, &kept), ClipFiles::Outcome::Ok);
        pair.b->share(6, kept);
        QString folder;
        {
            ClipFilesOffer offer(pair.a, list, dir.filePath("offers"));
            QSignalSpy done(&offer, &ClipFilesOffer::finished);
            offer.fetch();
            offer.fetch(); // one fetch at a time
            QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, 10000);
            QCOMPARE(offer.state(), ClipFilesOffer::State::Ready);
            QCOMPARE(offer.paths().size(), 2);
            QVERIFY(offer.paths().at(0) != offer.paths().at(1)); // "shared (1).bin"
            for (const QString &p : offer.paths()) {
                QFile one(p);
                QVERIFY(one.open(QIODevice::ReadOnly));
                QVERIFY(one.readAll() == data);
            }
            folder = offer.folder();
            QVERIFY(QFileInfo(folder).isDir());
        }
        QVERIFY(!QFileInfo::exists(folder)); // the offer's files go with it
        // Folders a crashed process left are swept once they are old.
        QVERIFY(QDir().mkpath(dir.filePath("offers/clip-old/inner")));
        QVERIFY(QDir().mkpath(dir.filePath("offers/clip-new")));
        const timeval old[2] = {{time(nullptr) - 2 * 24 * 3600, 0}, {time(nullptr) - 2 * 24 * 3600, 0}};
        QCOMPARE(::utimes(QFile::encodeName(dir.filePath("offers/clip-old")).constData(), old), 0);
        ClipFilesOffer::removeStale(dir.filePath("offers"));
        QCOMPARE(entries(dir.filePath("offers")), QStringList{"clip-new"});
    }

    void receiverAgainstBadSenders() {
        QTemporaryDir dir;
        QList<QJsonObject> answers;
        FileTransfers::Link link;
        link.sendText = [&](const QByteArray &j) {
            answers.append(QJsonDocument::fromJson(j).object());
            return true;
        };
        link.sendBinary = [](const QByteArray &) { return true; };
        FileTransfers rx(link);
        rx.setFolder(dir.path());
        auto start = [&](int id, qint64 size, const QJsonValue &name = QStringLiteral("f.bin")) {
            rx.handleText({{"t", "file_start"}, {"id", id}, {"name", name}, {"size", size}});
            return answers.last();
        };
        auto chunk = [](quint32 id, quint32 offset, const QByteArray &bytes) {
            return FileChunkHeader{id, offset}.encode(bytes);
        };

        QVERIFY(!rx.handleBinary(chunk(1, 0, "early"))); // not announced: not ours
        QCOMPARE(start(1, 10).value("t").toString(), QStringLiteral("file_accept"));
        QVERIFY(rx.handleBinary(chunk(1, 0, "hello")));
        QVERIFY(rx.handleBinary(chunk(1, 9, "world"))); // a gap
        QCOMPARE(answers.last().value("t").toString(), QStringLiteral("file_reject"));

        QCOMPARE(start(2, 4).value("t").toString(), QStringLiteral("file_accept"));
        QVERIFY(rx.handleBinary(chunk(2, 0, "toolong")));
        QCOMPARE(answers.last().value("t").toString(), QStringLiteral("file_reject"));

        QCOMPARE(start(3, 8).value("t").toString(), QStringLiteral("file_accept"));
        QVERIFY(rx.handleBinary(chunk(3, 0, "half")));
        rx.handleText({{"t", "file_end"}, {"id", 3}});
        QCOMPARE(answers.last().value("t").toString(), QStringLiteral("file_reject"));

        QCOMPARE(start(4, -1).value("t").toString(), QStringLiteral("file_reject"));
        QCOMPARE(start(5, 1, 42).value("t").toString(), QStringLiteral("file_reject"));
        QCOMPARE(entries(dir.path()), QStringList{});

        // At most maxIncoming at once; an empty file completes at file_end.
        for (int id = 10; id < 10 + FileTransfers::maxIncoming; ++id)
            QCOMPARE(start(id, 0, QStringLiteral("e%1").arg(id)).value("t").toString(), QStringLiteral("file_accept"));
        QCOMPARE(start(99, 0).value("reason").toString(), QStringLiteral("同時に受け取れるファイルが多すぎます"));
        rx.handleText({{"t", "file_end"}, {"id", 10}});
        QCOMPARE(answers.last().value("t").toString(), QStringLiteral("file_done"));
        QCOMPARE(entries(dir.path()), QStringList{"e10"});
        rx.abortAll(QStringLiteral("接続が切れました"));
        QCOMPARE(entries(dir.path()), QStringList{"e10"});

        // A sender that stops in the middle is given up.
        rx.setStallTimeoutMs(300);
        QCOMPARE(start(20, 10).value("t").toString(), QStringLiteral("file_accept"));
        QVERIFY(rx.handleBinary(chunk(20, 0, "abc")));
        QTRY_COMPARE_WITH_TIMEOUT(answers.last().value("t").toString(), QStringLiteral("file_reject"), 3000);
        QCOMPARE(answers.last().value("id").toInt(), 20);
        QCOMPARE(entries(dir.path()), QStringList{"e10"});
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
