// The one place that picks the platform back end: from what the session offers (session
// kind, display names, whether the X server answers, the Wayland globals, the D-Bus names)
// to a back end or a plain reason why none fits. A Wayland session is never shared
// through its Xwayland (that would show X11 windows only, or nothing).
#include "platform/BackendFactory.h"
#include "platform/DesktopBackend.h"

#include <QTest>

class TestBackendFactory : public QObject {
    Q_OBJECT
private:
    static DesktopSession x11() {
        DesktopSession s;
        s.sessionType = QStringLiteral("x11");
        s.x11Display = QStringLiteral(":0");
        s.x11Answers = true;
        return s;
    }
    static DesktopSession sway(bool xwayland) {
        DesktopSession s;
        s.sessionType = QStringLiteral("wayland");
        s.waylandDisplay = QStringLiteral("wayland-1");
        s.waylandGlobals = {
            QStringLiteral("wl_compositor"), QStringLiteral("wl_seat"), QStringLiteral("zwlr_screencopy_manager_v1"),
            QStringLiteral("zwlr_virtual_pointer_manager_v1"), QStringLiteral("zwp_virtual_keyboard_manager_v1")};
        if (xwayland) {
            s.x11Display = QStringLiteral(":1");
            s.x11Answers = true;
        }
        return s;
    }

private Q_SLOTS:
    void x11SessionGetsX11() {
        const auto c = BackendFactory::choose(x11(), false);
        QCOMPARE(c.name, QStringLiteral("x11"));
        QVERIFY(c.problem.isEmpty());
        const auto backend = BackendFactory::create(c, QString());
        QVERIFY(backend);
        QCOMPARE(backend->name(), QStringLiteral("x11"));
    }

    void wlrootsChosenAlsoWithXwayland() {
        for (const bool xwayland : {false, true}) {
            const auto c = BackendFactory::choose(sway(xwayland), false);
            QCOMPARE(c.name, QStringLiteral("wlroots"));
            QVERIFY(c.problem.isEmpty());
            QCOMPARE(BackendFactory::create(c, QString())->name(), QStringLiteral("wlroots"));
        }
        // The session kind alone (WAYLAND_DISPLAY left at its default) is a Wayland session too.
        DesktopSession s = sway(true);
        s.waylandDisplay.clear();
        QCOMPARE(BackendFactory::choose(s, false).name, QStringLiteral("wlroots"));
    }

    void gnomeUsesMutterOnlyUnattendedOtherwiseThePortal() {
        // GNOME: no screencopy; Mutter's remote desktop and screen cast and the portal on the bus.
        DesktopSession s = sway(true);
        s.waylandGlobals = {QStringLiteral("wl_compositor"), QStringLiteral("wl_seat")};
        const QStringList mutter{QLatin1String(DesktopSession::kMutterRemoteDesktop),
                                 QLatin1String(DesktopSession::kMutterScreenCast)};
        s.busNames = mutter + QStringList{QLatin1String(DesktopSession::kPortal)};
        // The owner chose unattended access: Mutter's own interfaces, no dialog.
        auto c = BackendFactory::choose(s, true);
        QCOMPARE(c.name, QStringLiteral("mutter"));
        QVERIFY(c.problem.isEmpty());
        QCOMPARE(BackendFactory::create(c, QString())->name(), QStringLiteral("mutter"));
        // Otherwise the portal, which asks the person at the desktop.
        c = BackendFactory::choose(s, false);
        QCOMPARE(c.name, QStringLiteral("portal"));
        QVERIFY(c.problem.isEmpty());
        QCOMPARE(BackendFactory::create(c, QString())->name(), QStringLiteral("portal"));
        // Mutter without the portal and without the owner's choice: nothing, and why.
        s.busNames = mutter;
        c = BackendFactory::choose(s, false);
        QCOMPARE(c.name, QString());
        QVERIFY2(c.problem.contains(QStringLiteral("unattended")), qPrintable(c.problem));
        QVERIFY(!BackendFactory::create(c, QString()));
        // Both Mutter services are needed: the screen cast alone gives no input, and the other
        // way round; the portal then serves (KDE Plasma and other desktops have only the portal).
        for (const char *only : {DesktopSession::kMutterRemoteDesktop, DesktopSession::kMutterScreenCast}) {
            s.busNames = {QLatin1String(only)};
            c = BackendFactory::choose(s, true);
            QCOMPARE(c.name, QString());
            QVERIFY2(c.problem.contains(QStringLiteral("Mutter")), qPrintable(c.problem));
            s.busNames << QLatin1String(DesktopSession::kPortal);
            QCOMPARE(BackendFactory::choose(s, true).name, QStringLiteral("portal"));
        }
        // A wlroots compositor keeps its own back end even where those names are around.
        s = sway(true);
        s.busNames = mutter + QStringList{QLatin1String(DesktopSession::kPortal)};
        QCOMPARE(BackendFactory::choose(s, true).name, QStringLiteral("wlroots"));
        QCOMPARE(BackendFactory::choose(s, false).name, QStringLiteral("wlroots"));
        // Not on X11: an X11 GNOME session is captured through X.
        DesktopSession x;
        x.sessionType = QStringLiteral("x11");
        x.x11Display = QStringLiteral(":0");
        x.x11Answers = true;
        x.busNames = s.busNames;
        QCOMPARE(BackendFactory::choose(x, true).name, QStringLiteral("x11"));
        QCOMPARE(BackendFactory::choose(x, false).name, QStringLiteral("x11"));
    }

    void waylandWithoutAMeansSaysWhyAndNeverUsesXwayland() {
        // A compositor without screencopy (and no other route): its Xwayland is not used.
        DesktopSession s = sway(true);
        s.waylandGlobals = {QStringLiteral("wl_compositor"), QStringLiteral("wl_seat")};
        auto c = BackendFactory::choose(s, false);
        QCOMPARE(c.name, QString());
        QVERIFY2(c.problem.contains(QStringLiteral("Xwayland")), qPrintable(c.problem));
        QVERIFY(!BackendFactory::create(c, QString()));
        // No compositor answers at all: not even a portal the bus would start has a screen to show.
        s.waylandGlobals.clear();
        s.x11Answers = false;
        s.busNames = {QLatin1String(DesktopSession::kPortal)};
        c = BackendFactory::choose(s, false);
        QCOMPARE(c.name, QString());
        QVERIFY2(c.problem.contains(QStringLiteral("wayland-1")), qPrintable(c.problem));
    }

    void noDesktop() {
        DesktopSession s;
        auto c = BackendFactory::choose(s, false);
        QCOMPARE(c.name, QString());
        QVERIFY2(c.problem.contains(QStringLiteral("DISPLAY")), qPrintable(c.problem));
        s.x11Display = QStringLiteral(":77");
        c = BackendFactory::choose(s, false);
        QVERIFY2(c.problem.contains(QStringLiteral(":77")), qPrintable(c.problem));
        QCOMPARE(s.displayServer(), QStringLiteral("none"));
    }

    void displayServerKinds() {
        QCOMPARE(x11().displayServer(), QStringLiteral("x11"));
        QCOMPARE(sway(true).displayServer(), QStringLiteral("xwayland"));
        QCOMPARE(sway(false).displayServer(), QStringLiteral("wayland"));
    }
};

QTEST_GUILESS_MAIN(TestBackendFactory)
#include "tst_backendfactory.moc"
