// velmo-remote-host: the local agent. Serves the control API on 127.0.0.1 and
// announces it through control.json in its data directory.
#include "control/ControlApi.h"
#include "control/HostSettings.h"
#include "control/HostState.h"
#include "device/DeviceBinding.h"
#include "platform/DesktopSession.h"
#include "posix/SignalPipe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QThread>
#include <QThreadPool>

#include <csignal>
#include <cstdio>

namespace {
bool envFlag(const char *name) {
    const QByteArray v = qgetenv(name);
    return !v.isEmpty() && v != "0";
}

void say(const QString &line) {
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}
} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velmo-remote-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELMO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Velmo Remote local agent"));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption dataOpt(QStringLiteral("data"), QStringLiteral("Data directory (control.json)."),
                                     QStringLiteral("DIR"));
    const QCommandLineOption serverOpt(QStringLiteral("server"), QStringLiteral("Rendezvous server URL."),
                                       QStringLiteral("URL"));
    const QCommandLineOption hooksOpt(QStringLiteral("test-hooks"),
                                      QStringLiteral("Serve the test/... endpoints (also VELMO_HOST_TEST_HOOKS=1)."));
    const QCommandLineOption sourceOpt(
        QStringLiteral("source"),
        QStringLiteral("What viewers see: \"screen\" (the desktop session: the Wayland compositor in "
                       "WAYLAND_DISPLAY, else the X11 display in DISPLAY; the default when either is set) "
                       "or \"test\" (a test pattern; the default without a desktop session)."),
        QStringLiteral("SOURCE"));
    parser.addOptions({dataOpt, serverOpt, hooksOpt, sourceOpt});
    parser.process(app);

    QString source = parser.value(sourceOpt);
    // A desktop session (X11 or Wayland) is shared; without one the test pattern is shown.
    if (source.isEmpty())
        source = qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
                         qgetenv("XDG_SESSION_TYPE") != QByteArrayLiteral("wayland")
                     ? QStringLiteral("test")
                     : QStringLiteral("screen");
    if (source != QLatin1String("screen") && source != QLatin1String("test")) {
        std::fprintf(stderr, "velmo-remote-host: --source must be \"screen\" or \"test\"\n");
        return 2;
    }

    if (!parser.isSet(dataOpt) || parser.value(dataOpt).isEmpty()) {
        std::fprintf(stderr, "velmo-remote-host: --data DIR is required\n");
        return 2;
    }
    const QString dataDir = QDir(parser.value(dataOpt)).absolutePath();
    const bool testHooks = parser.isSet(hooksOpt) || envFlag("VELMO_HOST_TEST_HOOKS");

    if (testHooks) {
        // Start-up misbehaviour for the supervisor's tests.
        if (qEnvironmentVariableIsSet("VELMO_HOST_EXIT_EARLY")) {
            say(QStringLiteral("exiting before listening (test)"));
            return qEnvironmentVariableIntValue("VELMO_HOST_EXIT_EARLY");
        }
        if (const int delay = qEnvironmentVariableIntValue("VELMO_HOST_LISTEN_DELAY_MS"); delay > 0)
            QThread::msleep(static_cast<unsigned long>(qMin(delay, 60'000)));
    }

    SignalPipe signalPipe({SIGTERM, SIGINT});
    std::signal(SIGPIPE, SIG_IGN);
    HostState state;
    state.setServer(parser.value(serverOpt).trimmed());
    HostSettings settings(&state, dataDir);
    settings.load();
    ControlApi api(&state, dataDir, testHooks);
    if (!api.start()) {
        std::fprintf(stderr, "velmo-remote-host: cannot listen on 127.0.0.1 or write %s\n",
                     qPrintable(api.controlJsonPath()));
        return 1;
    }
    say(QStringLiteral("velmo-remote-host %1 listening on 127.0.0.1:%2 (data %3)")
            .arg(QStringLiteral(VELMO_VERSION))
            .arg(api.port())
            .arg(dataDir));

    QObject::connect(&api, &ControlApi::quitRequested, &app, [] {
        say(QStringLiteral("quit requested"));
        QCoreApplication::quit();
    });
    QObject::connect(&signalPipe, &SignalPipe::received, &app, [](int sig) {
        say(QStringLiteral("signal %1: ending").arg(sig));
        QCoreApplication::quit();
    });

    // What the session offers decides the platform back end. Probed once the control API
    // answers: opening the display may wait on a remote X server.
    const DesktopSession session = DesktopSession::probe();
    state.setDisplayServer(session.displayServer());
    DeviceBinding device(&state, dataDir, testHooks, source, session);
    device.start();

    const int rc = app.exec();
    device.stop();
    // Key derivations may still run on the pool's threads (a stock made ahead of time, a
    // proof being checked). They must end while the application object they report to,
    // and the crypto library's state, are still there: a job that finished during exit
    // posted to a destroyed application and used freed OpenSSL state.
    QThreadPool::globalInstance()->waitForDone();
    api.removeControlJson();
    return rc;
}
