// A real Wayland client for the tests of the host on Wayland compositors: a full-screen
// window that paints known colours (the four quarters red, green, blue and white, and a
// square of a colour the test chooses in the middle) and writes every pointer and key
// event the compositor delivers to it on standard output, one JSON object a line.
// Commands on standard input: "paint R G B" (the middle square), "copy TEXT" (puts TEXT
// on the clipboard), "paste" (prints the clipboard's text), "copyimg BASE64" (puts a PNG's
// bytes on the clipboard as image/png), "pasteimg" (prints the clipboard's image/png bytes
// as Base64), "copyfiles PATH<TAB>PATH…" (puts files on the clipboard as text/uri-list),
// "pastefiles" (prints the clipboard's text/uri-list as it came).
// Runs with QT_QPA_PLATFORM=wayland (or xcb, for a window on the session's Xwayland).
#include <QClipboard>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QSocketNotifier>
#include <QUrl>
#include <QWheelEvent>

#include <cstdio>
#include <unistd.h>

namespace {
void emitLine(const QJsonObject &o) {
    std::fprintf(stdout, "%s\n", QJsonDocument(o).toJson(QJsonDocument::Compact).constData());
    std::fflush(stdout);
}
} // namespace

class EventWindow : public QRasterWindow {
public:
    QColor middle = Qt::black;

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        const int w = width();
        const int h = height();
        p.fillRect(0, 0, w / 2, h / 2, Qt::red);
        p.fillRect(w / 2, 0, w - w / 2, h / 2, Qt::green);
        p.fillRect(0, h / 2, w / 2, h - h / 2, Qt::blue);
        p.fillRect(w / 2, h / 2, w - w / 2, h - h / 2, Qt::white);
        p.fillRect(w / 2 - h / 6, h / 2 - h / 6, h / 3, h / 3, middle);
        // Ready once the compositor made it full screen (the first frames may be smaller).
        if (!m_shown && screen() && size() == screen()->size()) {
            m_shown = true;
            emitLine({{"e", "ready"}, {"w", w}, {"h", h}});
        }
    }
    void mousePressEvent(QMouseEvent *e) override { button("down", e); }
    void mouseReleaseEvent(QMouseEvent *e) override { button("up", e); }
    void mouseMoveEvent(QMouseEvent *e) override {
        emitLine({{"e", "move"}, {"x", e->position().x()}, {"y", e->position().y()}, {"buttons", int(e->buttons())}});
    }
    void wheelEvent(QWheelEvent *e) override {
        emitLine({{"e", "wheel"}, {"dx", e->angleDelta().x()}, {"dy", e->angleDelta().y()}});
    }
    void keyPressEvent(QKeyEvent *e) override { key("keydown", e); }
    void keyReleaseEvent(QKeyEvent *e) override { key("keyup", e); }

private:
    void button(const char *kind, QMouseEvent *e) {
        emitLine({{"e", kind},
                  {"b", int(e->button())},
                  {"x", e->position().x()},
                  {"y", e->position().y()},
                  {"buttons", int(e->buttons())}});
    }
    void key(const char *kind, QKeyEvent *e) {
        // nativeScanCode: the evdev code + 8, as every Wayland and X client sees it.
        emitLine({{"e", kind},
                  {"scan", int(e->nativeScanCode())},
                  {"key", e->key()},
                  {"text", e->text()},
                  {"mods", int(e->modifiers())},
                  {"repeat", e->isAutoRepeat()}});
    }
    bool m_shown = false;
};

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    EventWindow w;
    w.showFullScreen();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buf[4096];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buf, n);
        for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0;) {
            const QByteArray line = pending.left(nl);
            pending.remove(0, nl + 1);
            if (line.startsWith("paint ")) {
                const QList<QByteArray> rgb = line.mid(6).split(' ');
                w.middle = QColor(rgb.value(0).toInt(), rgb.value(1).toInt(), rgb.value(2).toInt());
                w.update();
            } else if (line.startsWith("copy ")) {
                QGuiApplication::clipboard()->setText(QString::fromUtf8(line.mid(5)));
            } else if (line.startsWith("copyimg ")) {
                auto *data = new QMimeData;
                data->setData(QStringLiteral("image/png"), QByteArray::fromBase64(line.mid(8)));
                QGuiApplication::clipboard()->setMimeData(data);
            } else if (line == "pasteimg") {
                const QMimeData *data = QGuiApplication::clipboard()->mimeData();
                const QByteArray png = data ? data->data(QStringLiteral("image/png")) : QByteArray();
                emitLine({{"e", "pasteimg"}, {"png", QString::fromLatin1(png.toBase64())}});
            } else if (line.startsWith("copyfiles ")) {
                QList<QUrl> urls;
                for (const QByteArray &path : line.mid(10).split('\t'))
                    urls.append(QUrl::fromLocalFile(QString::fromUtf8(path)));
                auto *data = new QMimeData;
                data->setUrls(urls);
                QGuiApplication::clipboard()->setMimeData(data);
            } else if (line == "pastefiles") {
                const QMimeData *data = QGuiApplication::clipboard()->mimeData();
                const QByteArray list = data ? data->data(QStringLiteral("text/uri-list")) : QByteArray();
                emitLine({{"e", "pastefiles"}, {"list", QString::fromUtf8(list)}});
            } else if (line == "paste") {
                emitLine({{"e", "paste"}, {"text", QGuiApplication::clipboard()->text()}});
            }
        }
    });
    return app.exec();
}
