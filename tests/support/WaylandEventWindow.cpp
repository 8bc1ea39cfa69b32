#include "support/WaylandEventWindow.h"

#include <QColor>
#include <QJsonDocument>
#include <QSize>
#include <QTest>

WaylandEventWindow::~WaylandEventWindow() {
    if (m_proc.state() != QProcess::NotRunning) {
        m_proc.closeWriteChannel();
        if (!m_proc.waitForFinished(3000)) {
            m_proc.kill();
            m_proc.waitForFinished(3000);
        }
    }
}

bool WaylandEventWindow::start(QString *error) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    env.insert(QStringLiteral("QT_WAYLAND_DISABLE_WINDOWDECORATION"), QStringLiteral("1"));
    // The window stands in for a desktop program; it is not what is tested. Built with the
    // sanitizers, its clean exit would report what Qt's Wayland plugin leaves to the end of
    // the process (the compositor's global objects).
    if (env.contains(QStringLiteral("ASAN_OPTIONS")))
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
    m_proc.setProcessEnvironment(env);
    m_proc.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_proc, &QProcess::readyReadStandardOutput, &m_proc, [this] { read(); });
    m_proc.start(QStringLiteral(VELMO_WL_EVENT_WINDOW), {});
    if (!m_proc.waitForStarted(5000)) {
        *error = QStringLiteral("wl_event_window did not start: ") + m_proc.errorString();
        return false;
    }
    const QJsonObject *ready = waitFor([](const QJsonObject &e) { return e.value("e") == "ready"; }, 30000);
    if (!ready) {
        *error = QStringLiteral("the Wayland window did not show (is qt6-wayland installed?)");
        return false;
    }
    m_size = QSize(ready->value("w").toInt(), ready->value("h").toInt());
    return true;
}

void WaylandEventWindow::read() {
    m_pending += m_proc.readAllStandardOutput();
    for (qsizetype nl; (nl = m_pending.indexOf('\n')) >= 0;) {
        const QJsonObject o = QJsonDocument::fromJson(m_pending.left(nl)).object();
        m_pending.remove(0, nl + 1);
        if (!o.isEmpty())
            events.append(o);
    }
}

void WaylandEventWindow::paint(const QColor &c) {
    m_proc.write(QStringLiteral("paint %1 %2 %3\n").arg(c.red()).arg(c.green()).arg(c.blue()).toUtf8());
}

void WaylandEventWindow::copy(const QString &text) {
    m_proc.write("copy " + text.toUtf8() + "\n");
}

void WaylandEventWindow::askPaste() {
    m_proc.write("paste\n");
}

void WaylandEventWindow::copyImage(const QByteArray &png) {
    m_proc.write("copyimg " + png.toBase64() + "\n");
}

void WaylandEventWindow::askPasteImage() {
    m_proc.write("pasteimg\n");
}

void WaylandEventWindow::copyFiles(const QStringList &paths) {
    m_proc.write("copyfiles " + paths.join(QLatin1Char('\t')).toUtf8() + "\n");
}

void WaylandEventWindow::askPasteFiles() {
    m_proc.write("pastefiles\n");
}

const QJsonObject *WaylandEventWindow::waitFor(const std::function<bool(const QJsonObject &)> &match, int ms) {
    const QJsonObject *found = nullptr;
    [[maybe_unused]] const bool matched = QTest::qWaitFor(
        [&] {
            read();
            for (qsizetype i = m_cursor; i < events.size(); ++i) {
                if (match(events[i])) {
                    m_cursor = i + 1;
                    found = &events[i];
                    return true;
                }
            }
            return false;
        },
        ms);
    return found;
}

void WaylandEventWindow::clear() {
    read();
    events.clear();
    m_cursor = 0;
}

QList<int> WaylandEventWindow::buttonsHeld() const {
    QList<int> held;
    for (const QJsonObject &e : events) {
        const int b = e.value("b").toInt();
        if (e.value("e") == "down" && !held.contains(b))
            held.append(b);
        else if (e.value("e") == "up")
            held.removeAll(b);
    }
    return held;
}

QList<int> WaylandEventWindow::keysHeld() const {
    QList<int> held;
    for (const QJsonObject &e : events) {
        const int k = e.value("scan").toInt();
        if (e.value("e") == "keydown" && !e.value("repeat").toBool() && !held.contains(k))
            held.append(k);
        else if (e.value("e") == "keyup" && !e.value("repeat").toBool())
            held.removeAll(k);
    }
    return held;
}

QString WaylandEventWindow::typed() const {
    QString text;
    for (const QJsonObject &e : events)
        if (e.value("e") == "keydown")
            text += e.value("text").toString();
    return text;
}
