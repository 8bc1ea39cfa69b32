#pragma once

#include "input/InputInjector.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <memory>
#include <vector>

class QSocketNotifier;
class WaylandClient;
struct wl_seat;
struct xkb_context;
struct xkb_keymap;
struct xkb_state;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

// Input on a wlroots desktop through a virtual pointer (wlr-virtual-pointer) and a
// virtual keyboard (virtual-keyboard) of the agent's own, on the first seat. Pointer
// positions are absolute over the output layout. The keyboard carries a keymap of its
// own (the XKB defaults, XKB_DEFAULT_LAYOUT …, else "us"); its modifier state is kept
// here with xkbcommon and sent along, as the protocol leaves that to the client. A
// character that no key of that keymap gives is typed through a small keymap of spare
// keys made for the purpose, and the normal keymap is restored once typing pauses or a
// key comes. Main thread only.
class WlrInjector : public QObject, public InputInjector {
    Q_OBJECT
public:
    // Nothing, and the reason in *problem, without a compositor offering both protocols.
    static std::unique_ptr<WlrInjector> open(QString *problem);
    ~WlrInjector() override;

    QList<QRect> monitors() const override;
    void movePointer(QPoint desktop) override;
    bool button(int button, bool down) override;
    bool key(quint32 evdev, bool down) override;
    bool typeCharacter(char32_t ch) override;

    // How long the spare keymap stays after the last typed character.
    static constexpr int restoreAfterMs = 1500;

private:
    WlrInjector() = default;
    void readEvents();
    void flush();
    uint32_t now() const;
    bool sendKeymap(const QByteArray &text);
    void sendModifiers();
    void tapKey(quint32 evdev);
    void restoreKeymap();

    std::unique_ptr<WaylandClient> m_client;
    QSocketNotifier *m_notifier = nullptr; // child
    wl_seat *m_seat = nullptr;
    zwlr_virtual_pointer_manager_v1 *m_pointerManager = nullptr;
    zwlr_virtual_pointer_v1 *m_pointer = nullptr;
    zwp_virtual_keyboard_manager_v1 *m_keyboardManager = nullptr;
    zwp_virtual_keyboard_v1 *m_keyboard = nullptr;
    xkb_context *m_xkb = nullptr;
    xkb_keymap *m_keymap = nullptr;
    xkb_state *m_state = nullptr;
    QByteArray m_keymapText;
    uint32_t m_sentMods[4] = {~0u, ~0u, ~0u, ~0u};
    // Characters of the spare keymap, one key each (keycode 9 + index), while it is in force.
    std::vector<uint32_t> m_spareSyms;
    bool m_spareActive = false;
    QTimer m_restore;
};
