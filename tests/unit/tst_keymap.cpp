// The key tables: the macOS rows, the Linux table's coverage both ways, and the
// Linux table checked against the XKB keycode names shipped with the system.
#include "protocol/KeyCodes.h"
#include "viewer/KeyMap.h"

#include <QFile>
#include <QKeyEvent>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

class TestKeyMap : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void macTableShape();
    void macTellingRows();
    void linuxCoversMacKeysAndPcKeys();
    void codeBackToEvdev();
    void linuxAgainstXkbKeycodes();
    void scanCodeOffsetAndBounds();
    void qtKeyFallback();
    void eventUsesScanCodeFirst();
    void chRule_data();
    void chRule();
};

void TestKeyMap::macTableShape() {
    QCOMPARE(KeyMap::domCount(), 118);
    QCOMPARE(KeyMap::dom(0).value_or(""), QString("KeyA"));
    QCOMPARE(KeyMap::dom(126).value_or(""), QString("ArrowUp"));
    for (quint16 gap : {52, 63, 66, 68, 70, 77, 108, 110, 112})
        QVERIFY2(!KeyMap::dom(gap), qPrintable(QString::number(gap)));
    for (quint16 above : {127, 128, 200, 0xffff})
        QVERIFY(!KeyMap::dom(above));
    // Every code string names one physical key.
    QSet<QString> seen;
    for (int k = 0; k <= 126; ++k)
        if (auto c = KeyMap::dom(quint16(k))) {
            QVERIFY2(!seen.contains(*c), qPrintable(*c));
            seen.insert(*c);
        }
    QCOMPARE(seen.size(), 118);
}

void TestKeyMap::macTellingRows() {
    const QList<QPair<int, QString>> rows{
        {10, "IntlBackslash"},
        {71, "NumLock"},
        {72, "AudioVolumeUp"},
        {73, "AudioVolumeDown"},
        {74, "AudioVolumeMute"},
        {93, "IntlYen"},
        {94, "IntlRo"},
        {95, "NumpadComma"},
        {102, "NonConvert"},
        {104, "Convert"},
        {114, "Insert"},
        {117, "Delete"},
        {51, "Backspace"},
        {76, "NumpadEnter"},
        {64, "F17"},
        {79, "F18"},
        {80, "F19"},
        {90, "F20"},
        {105, "F13"},
        {107, "F14"},
        {113, "F15"},
        {106, "F16"},
        {56, "ShiftLeft"},
        {60, "ShiftRight"},
        {59, "ControlLeft"},
        {62, "ControlRight"},
        {58, "AltLeft"},
        {61, "AltRight"},
        {55, "MetaLeft"},
        {54, "MetaRight"},
        {36, "Enter"},
        {49, "Space"},
        {22, "Digit6"},
        {23, "Digit5"},
        {123, "ArrowLeft"},
        {124, "ArrowRight"},
        {125, "ArrowDown"},
        {53, "Escape"},
        {48, "Tab"},
        {50, "Backquote"},
    };
    for (const auto &[key, code] : rows)
        QCOMPARE(KeyMap::dom(quint16(key)).value_or("<none>"), code);
}

void TestKeyMap::linuxCoversMacKeysAndPcKeys() {
    QSet<QString> onLinux;
    for (quint32 e = 0; e < 300; ++e)
        if (auto c = KeyCodes::fromEvdev(e))
            onLinux.insert(*c);
    // Every key of the macOS table exists on PC keyboards (F13–F20, the JIS and
    // ISO keys included), so every one must be reachable from Linux too.
    for (int k = 0; k <= 126; ++k)
        if (auto c = KeyMap::dom(quint16(k)))
            QVERIFY2(onLinux.contains(*c), qPrintable("no Linux key for " + *c));
    for (const char *pc : {"PrintScreen", "ScrollLock", "Pause", "ContextMenu", "MetaLeft", "MetaRight"})
        QVERIFY2(onLinux.contains(pc), pc);
    // Three keys have two evdev codes: the keypad comma (KEY_KPJPCOMMA, KEY_KPCOMMA)
    // and the JIS conversion keys, which Apple keyboards report as KEY_HANGEUL (かな)
    // and KEY_HANJA (英数), the keys the macOS table names Convert and NonConvert.
    QCOMPARE(KeyCodes::count(), onLinux.size() + 3);
    QCOMPARE(KeyCodes::fromEvdev(122), KeyMap::dom(104));
    QCOMPARE(KeyCodes::fromEvdev(123), KeyMap::dom(102));
    QCOMPARE(KeyCodes::fromEvdev(122).value_or("<none>"), QString("Convert"));
    QCOMPARE(KeyCodes::fromEvdev(123).value_or("<none>"), QString("NonConvert"));
}

// The host injects keys by code: every code of the table leads back to its key.
void TestKeyMap::codeBackToEvdev() {
    int named = 0;
    for (quint32 e = 0; e < 300; ++e) {
        const auto c = KeyCodes::fromEvdev(e);
        if (!c)
            continue;
        ++named;
        const auto back = KeyCodes::toEvdev(*c);
        QVERIFY2(back, qPrintable(*c));
        QCOMPARE(KeyCodes::fromEvdev(*back), c);
        if (*c != QLatin1String("NumpadComma") && e != 122 && e != 123)
            QCOMPARE(*back, e);
    }
    QCOMPARE(named, KeyCodes::count());
    QCOMPARE(KeyCodes::toEvdev("NumpadComma"), std::optional<quint32>(121)); // KEY_KPCOMMA
    QCOMPARE(KeyCodes::toEvdev("Convert"), std::optional<quint32>(92));      // KEY_HENKAN
    QCOMPARE(KeyCodes::toEvdev("NonConvert"), std::optional<quint32>(94));   // KEY_MUHENKAN
    QCOMPARE(KeyCodes::toEvdev("ShiftLeft"), std::optional<quint32>(42));
    for (const char *bad : {"", "keya", "KeyA ", "Unidentified", "Fn"})
        QVERIFY2(!KeyCodes::toEvdev(bad), bad);
    QVERIFY(KeyCodes::isModifier("AltRight"));
    QVERIFY(!KeyCodes::isModifier("CapsLock"));
}

// The XKB key names of /usr/share/X11/xkb/keycodes/evdev give each physical
// key's keycode independently of our table; the names are positional.
void TestKeyMap::linuxAgainstXkbKeycodes() {
    QFile f("/usr/share/X11/xkb/keycodes/evdev");
    if (!f.open(QIODevice::ReadOnly))
        QSKIP("xkb-data is not installed");
    const QString text = QString::fromUtf8(f.readAll());
    QHash<QString, int> keycodes;
    static const QRegularExpression def(R"(^\s*<([^>]+)>\s*=\s*(\d+)\s*;)", QRegularExpression::MultilineOption);
    for (auto it = def.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        keycodes.insert(m.captured(1), m.captured(2).toInt());
    }
    QVERIFY(keycodes.size() > 100);

    QHash<QString, QString> expected{
        {"TLDE", "Backquote"},
        {"AE11", "Minus"},
        {"AE12", "Equal"},
        {"BKSP", "Backspace"},
        {"TAB", "Tab"},
        {"AD11", "BracketLeft"},
        {"AD12", "BracketRight"},
        {"RTRN", "Enter"},
        {"CAPS", "CapsLock"},
        {"AC10", "Semicolon"},
        {"AC11", "Quote"},
        {"BKSL", "Backslash"},
        {"LFSH", "ShiftLeft"},
        {"LSGT", "IntlBackslash"},
        {"AB08", "Comma"},
        {"AB09", "Period"},
        {"AB10", "Slash"},
        {"RTSH", "ShiftRight"},
        {"LCTL", "ControlLeft"},
        {"LALT", "AltLeft"},
        {"SPCE", "Space"},
        {"RALT", "AltRight"},
        {"RCTL", "ControlRight"},
        {"LWIN", "MetaLeft"},
        {"RWIN", "MetaRight"},
        {"COMP", "ContextMenu"},
        {"ESC", "Escape"},
        {"PRSC", "PrintScreen"},
        {"SCLK", "ScrollLock"},
        {"PAUS", "Pause"},
        {"INS", "Insert"},
        {"HOME", "Home"},
        {"PGUP", "PageUp"},
        {"DELE", "Delete"},
        {"END", "End"},
        {"PGDN", "PageDown"},
        {"UP", "ArrowUp"},
        {"LEFT", "ArrowLeft"},
        {"DOWN", "ArrowDown"},
        {"RGHT", "ArrowRight"},
        {"NMLK", "NumLock"},
        {"KPDV", "NumpadDivide"},
        {"KPMU", "NumpadMultiply"},
        {"KPSU", "NumpadSubtract"},
        {"KPAD", "NumpadAdd"},
        {"KPEN", "NumpadEnter"},
        {"KPDL", "NumpadDecimal"},
        {"KPEQ", "NumpadEqual"},
        {"KP0", "Numpad0"},
        {"KP1", "Numpad1"},
        {"KP5", "Numpad5"},
        {"KP9", "Numpad9"},
        {"AB11", "IntlRo"},
        {"AE13", "IntlYen"},
        {"HENK", "Convert"},
        {"MUHE", "NonConvert"},
        {"HNGL", "Convert"},    // Apple JIS かな
        {"HJCV", "NonConvert"}, // Apple JIS 英数
        {"JPCM", "NumpadComma"},
        {"I129", "NumpadComma"},
        {"MUTE", "AudioVolumeMute"},
        {"VOL-", "AudioVolumeDown"},
        {"VOL+", "AudioVolumeUp"},
    };
    const QString row1 = "1234567890", rowQ = "QWERTYUIOP", rowA = "ASDFGHJKL", rowZ = "ZXCVBNM";
    for (int i = 0; i < row1.size(); ++i)
        expected.insert(QString("AE%1").arg(i + 1, 2, 10, QChar('0')), "Digit" + row1.mid(i, 1));
    for (int i = 0; i < rowQ.size(); ++i)
        expected.insert(QString("AD%1").arg(i + 1, 2, 10, QChar('0')), "Key" + rowQ.mid(i, 1));
    for (int i = 0; i < rowA.size(); ++i)
        expected.insert(QString("AC%1").arg(i + 1, 2, 10, QChar('0')), "Key" + rowA.mid(i, 1));
    for (int i = 0; i < rowZ.size(); ++i)
        expected.insert(QString("AB%1").arg(i + 1, 2, 10, QChar('0')), "Key" + rowZ.mid(i, 1));
    for (int i = 1; i <= 20; ++i)
        expected.insert(QString("FK%1").arg(i, 2, 10, QChar('0')), QString("F%1").arg(i));

    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QVERIFY2(keycodes.contains(it.key()), qPrintable("no XKB key " + it.key()));
        QCOMPARE(KeyMap::scanCode(quint32(keycodes.value(it.key()))).value_or("<none>"), it.value());
    }
}

void TestKeyMap::scanCodeOffsetAndBounds() {
    QCOMPARE(KeyMap::scanCode(38).value_or(""), QString("KeyA")); // X11 keycode of A
    QCOMPARE(KeyCodes::fromEvdev(30).value_or(""), QString("KeyA"));
    for (quint32 bad : {0u, 1u, 7u, 8u, 84u + 8, 5000u, 0xffffffffu})
        QVERIFY(!KeyMap::scanCode(bad));
}

void TestKeyMap::qtKeyFallback() {
    QCOMPARE(KeyMap::qtKey(Qt::Key_A, {}).value_or(""), QString("KeyA"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_5, {}).value_or(""), QString("Digit5"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_5, Qt::KeypadModifier).value_or(""), QString("Numpad5"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_Enter, Qt::KeypadModifier).value_or(""), QString("NumpadEnter"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_Return, {}).value_or(""), QString("Enter"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_Exclam, Qt::ShiftModifier).value_or(""), QString("Digit1"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_F12, {}).value_or(""), QString("F12"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_Hangul, {}).value_or(""), QString("Convert"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_Eisu_toggle, {}).value_or(""), QString("NonConvert"));
    QCOMPARE(KeyMap::qtKey(Qt::Key_Backtab, Qt::ShiftModifier).value_or(""), QString("Tab"));
    QVERIFY(!KeyMap::qtKey(Qt::Key_unknown, {}));
    QVERIFY(!KeyMap::qtKey(0x3042 /* あ */, {}));
}

void TestKeyMap::eventUsesScanCodeFirst() {
    // On AZERTY the key in the US Q position types "a": its code stays KeyQ.
    QKeyEvent azerty(QEvent::KeyPress, Qt::Key_A, {}, 24 /* evdev 16 */, 0, 0, "a");
    QCOMPARE(KeyMap::code(azerty).value_or(""), QString("KeyQ"));
    QKeyEvent synthetic(QEvent::KeyPress, Qt::Key_A, {}, 0, 0, 0, "a");
    QCOMPARE(KeyMap::code(synthetic).value_or(""), QString("KeyA"));
    QKeyEvent unknown(QEvent::KeyPress, Qt::Key_A, {}, 84 + 8, 0, 0, "a");
    QVERIFY(!KeyMap::code(unknown));
}

void TestKeyMap::chRule_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("mods");
    QTest::addColumn<QString>("ch"); // "<none>" for no ch
    QTest::newRow("shift+a") << "A" << int(Qt::Key_A) << int(Qt::ShiftModifier) << "A";
    QTest::newRow("space") << " " << int(Qt::Key_Space) << 0 << " ";
    QTest::newRow("return") << "\r" << int(Qt::Key_Return) << 0 << "<none>";
    QTest::newRow("tab") << "\t" << int(Qt::Key_Tab) << 0 << "<none>";
    QTest::newRow("backspace") << "\b" << int(Qt::Key_Backspace) << 0 << "<none>";
    QTest::newRow("delete") << QString(QChar(0x7f)) << int(Qt::Key_Delete) << 0 << "<none>";
    QTest::newRow("arrow") << "" << int(Qt::Key_Left) << 0 << "<none>";
    QTest::newRow("ctrl+c") << "\x03" << int(Qt::Key_C) << int(Qt::ControlModifier) << "c";
    QTest::newRow("ctrl+shift+c") << "\x03" << int(Qt::Key_C) << int(Qt::ControlModifier | Qt::ShiftModifier) << "C";
    QTest::newRow("ctrl+[") << "\x1b" << int(Qt::Key_BracketLeft) << int(Qt::ControlModifier) << "<none>";
    QTest::newRow("alt+a") << "a" << int(Qt::Key_A) << int(Qt::AltModifier) << "a";
    QTest::newRow("eszett") << "ß" << int(0xdf) << 0 << "ß";
    QTest::newRow("emoji") << "😀" << 0 << 0 << "😀";
    QTest::newRow("two chars") << "ab" << int(Qt::Key_A) << 0 << "<none>";
    QTest::newRow("c1 control passes") << QString(QChar(0x85)) << 0 << 0 << QString(QChar(0x85));
}

void TestKeyMap::chRule() {
    QFETCH(QString, text);
    QFETCH(int, key);
    QFETCH(int, mods);
    QFETCH(QString, ch);
    QCOMPARE(KeyMap::ch(text, key, Qt::KeyboardModifiers(mods)).value_or("<none>"), ch);
}

QTEST_GUILESS_MAIN(TestKeyMap)
#include "tst_keymap.moc"
