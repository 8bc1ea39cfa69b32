#include "platform/wayland/wlroots/WlrInjector.h"

#include "input/EvdevButton.h"
#include "platform/wayland/WaylandClient.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSocketNotifier>

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

Q_LOGGING_CATEGORY(lcWlrInput, "velmo.input.wlroots")

namespace {
constexpr size_t kMaxSpares = 8;
// One wheel notch, in the compositor's axis units (what libinput reports for a notch).
constexpr double kWheelNotch = 15.0;

// A file holding `text` for the compositor to map; -1 on failure.
int keymapFile(const QByteArray &text) {
    const int fd = memfd_create("velmo-keymap", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    // The compositor maps size bytes including the terminating NUL.
    if (write(fd, text.constData(), size_t(text.size()) + 1) != text.size() + 1) {
        close(fd);
        return -1;
    }
    return fd;
}
} // namespace

std::unique_ptr<WlrInjector> WlrInjector::open(QString *problem) {
    std::unique_ptr<WlrInjector> in(new WlrInjector);
    in->m_client = WaylandClient::connect(problem);
    if (!in->m_client)
        return nullptr;
    WaylandClient &c = *in->m_client;
    in->m_seat = static_cast<wl_seat *>(c.bind(&wl_seat_interface, 1));
    in->m_pointerManager =
        static_cast<zwlr_virtual_pointer_manager_v1 *>(c.bind(&zwlr_virtual_pointer_manager_v1_interface, 1));
    in->m_keyboardManager =
        static_cast<zwp_virtual_keyboard_manager_v1 *>(c.bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
    if (!in->m_seat || !in->m_pointerManager || !in->m_keyboardManager) {
        *problem = !in->m_seat             ? QStringLiteral("the compositor has no seat")
                   : !in->m_pointerManager ? QStringLiteral("the compositor has no wlr-virtual-pointer")
                                           : QStringLiteral("the compositor has no virtual-keyboard");
        return nullptr;
    }
    in->m_pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(in->m_pointerManager, in->m_seat);
    in->m_keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(in->m_keyboardManager, in->m_seat);

    // The keymap: the XKB defaults of the environment (XKB_DEFAULT_LAYOUT …), else "us".
    in->m_xkb = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (in->m_xkb)
        in->m_keymap = xkb_keymap_new_from_names(in->m_xkb, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS);
    char *text = in->m_keymap ? xkb_keymap_get_as_string(in->m_keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : nullptr;
    if (!text) {
        *problem = QStringLiteral("no XKB keymap could be made (xkb-data missing?)");
        return nullptr;
    }
    in->m_keymapText = QByteArray(text);
    free(text);
    in->m_state = xkb_state_new(in->m_keymap);
    if (!in->sendKeymap(in->m_keymapText)) {
        *problem = QStringLiteral("the keymap could not be handed to the compositor");
        return nullptr;
    }
    in->sendModifiers();
    if (!c.roundtrip()) {
        *problem = QStringLiteral("the compositor refused the virtual input devices");
        return nullptr;
    }

    WlrInjector *self = in.get();
    in->m_restore.setSingleShot(true);
    in->m_restore.setInterval(restoreAfterMs);
    QObject::connect(&in->m_restore, &QTimer::timeout, self, &WlrInjector::restoreKeymap);
    in->m_notifier = new QSocketNotifier(c.fd(), QSocketNotifier::Read, self);
    QObject::connect(in->m_notifier, &QSocketNotifier::activated, self, &WlrInjector::readEvents);
    qCInfo(lcWlrInput) << "virtual pointer and keyboard on the compositor's seat";
    return in;
}

WlrInjector::~WlrInjector() {
    delete m_notifier;
    if (m_pointer)
        zwlr_virtual_pointer_v1_destroy(m_pointer);
    if (m_keyboard)
        zwp_virtual_keyboard_v1_destroy(m_keyboard);
    if (m_pointerManager)
        zwlr_virtual_pointer_manager_v1_destroy(m_pointerManager);
    if (m_keyboardManager)
        zwp_virtual_keyboard_manager_v1_destroy(m_keyboardManager);
    if (m_seat)
        wl_seat_destroy(m_seat);
    if (m_client)
        m_client->roundtrip();
    if (m_state)
        xkb_state_unref(m_state);
    if (m_keymap)
        xkb_keymap_unref(m_keymap);
    if (m_xkb)
        xkb_context_unref(m_xkb);
}

// Main thread, when the connection's socket has data (output changes).
void WlrInjector::readEvents() {
    if (!m_client->dispatchPending()) {
        qCWarning(lcWlrInput) << "the Wayland compositor went away: no more input";
        m_notifier->setEnabled(false);
    }
}

void WlrInjector::flush() {
    m_client->dispatchPending();
}

uint32_t WlrInjector::now() const {
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return uint32_t(clock.elapsed());
}

QList<QRect> WlrInjector::monitors() const {
    QList<QRect> list;
    for (const auto &o : m_client->outputs())
        if (o->announced && !o->desktopRect().isEmpty())
            list.append(o->desktopRect());
    if (list.isEmpty())
        list.append(QRect(0, 0, 1, 1));
    return list;
}

void WlrInjector::movePointer(QPoint desktop) {
    if (m_client->broken())
        return;
    // Desktop pixels (each output as large as its pictures) → the layout's own units.
    QRect layout;
    QPointF at;
    bool found = false;
    for (const auto &o : m_client->outputs()) {
        if (!o->announced)
            continue;
        layout = layout.united(o->logical);
        const QRect rect = o->desktopRect();
        if (!found && rect.contains(desktop) && !rect.isEmpty()) {
            found = true;
            at = QPointF(o->logical.x() + (desktop.x() - rect.x()) * double(o->logical.width()) / rect.width(),
                         o->logical.y() + (desktop.y() - rect.y()) * double(o->logical.height()) / rect.height());
        }
    }
    if (layout.isEmpty())
        return;
    if (!found)
        at = QPointF(std::clamp(desktop.x(), layout.left(), layout.right()),
                     std::clamp(desktop.y(), layout.top(), layout.bottom()));
    const auto x = uint32_t(std::max(0.0, at.x() - layout.x()));
    const auto y = uint32_t(std::max(0.0, at.y() - layout.y()));
    zwlr_virtual_pointer_v1_motion_absolute(m_pointer, now(), x, y, uint32_t(layout.width()),
                                            uint32_t(layout.height()));
    zwlr_virtual_pointer_v1_frame(m_pointer);
    flush();
}

bool WlrInjector::button(int button, bool down) {
    if (m_client->broken())
        return false;
    if (button >= 4 && button <= 7) {
        // A wheel notch is one press and release: the press turns it.
        if (down) {
            const uint32_t axis = button <= 5 ? WL_POINTER_AXIS_VERTICAL_SCROLL : WL_POINTER_AXIS_HORIZONTAL_SCROLL;
            const int step = (button == 4 || button == 6) ? -1 : 1;
            const uint32_t t = now();
            zwlr_virtual_pointer_v1_axis_source(m_pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
            zwlr_virtual_pointer_v1_axis_discrete(m_pointer, t, axis, wl_fixed_from_double(step * kWheelNotch), step);
            zwlr_virtual_pointer_v1_frame(m_pointer);
            flush();
        }
        return true;
    }
    const uint32_t code = EvdevButton::fromX(button);
    if (code == 0)
        return false;
    zwlr_virtual_pointer_v1_button(m_pointer, now(), code,
                                   down ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
    zwlr_virtual_pointer_v1_frame(m_pointer);
    flush();
    return true;
}

bool WlrInjector::sendKeymap(const QByteArray &text) {
    const int fd = keymapFile(text);
    if (fd < 0)
        return false;
    zwp_virtual_keyboard_v1_keymap(m_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, uint32_t(text.size() + 1));
    close(fd);
    // A new keymap starts without modifiers.
    for (uint32_t &m : m_sentMods)
        m = ~0u;
    return true;
}

void WlrInjector::sendModifiers() {
    const uint32_t mods[4] = {
        xkb_state_serialize_mods(m_state, XKB_STATE_MODS_DEPRESSED),
        xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LATCHED),
        xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LOCKED),
        xkb_state_serialize_layout(m_state, XKB_STATE_LAYOUT_EFFECTIVE),
    };
    if (std::equal(std::begin(mods), std::end(mods), std::begin(m_sentMods)))
        return;
    std::copy(std::begin(mods), std::end(mods), std::begin(m_sentMods));
    zwp_virtual_keyboard_v1_modifiers(m_keyboard, mods[0], mods[1], mods[2], mods[3]);
}

void WlrInjector::restoreKeymap() {
    if (!m_spareActive)
        return;
    m_spareActive = false;
    sendKeymap(m_keymapText);
    sendModifiers();
    flush();
}

bool WlrInjector::key(quint32 evdev, bool down) {
    if (m_client->broken())
        return false;
    const xkb_keycode_t kc = evdev + 8;
    if (down) {
        // A key the keymap leaves empty is not pressed: the caller types the character instead.
        const xkb_keysym_t *syms = nullptr;
        if (kc > xkb_keymap_max_keycode(m_keymap) || xkb_keymap_key_get_syms_by_level(m_keymap, kc, 0, 0, &syms) <= 0)
            return false;
    }
    if (m_spareActive) {
        m_restore.stop();
        restoreKeymap();
    }
    xkb_state_update_key(m_state, kc, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    zwp_virtual_keyboard_v1_key(m_keyboard, now(), evdev,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
    sendModifiers();
    flush();
    return true;
}

void WlrInjector::tapKey(quint32 evdev) {
    const uint32_t t = now();
    zwp_virtual_keyboard_v1_key(m_keyboard, t, evdev, WL_KEYBOARD_KEY_STATE_PRESSED);
    zwp_virtual_keyboard_v1_key(m_keyboard, t, evdev, WL_KEYBOARD_KEY_STATE_RELEASED);
}

bool WlrInjector::typeCharacter(char32_t ch) {
    if (m_client->broken() || ch < 0x20 || ch == 0x7f || ch > 0x10ffff)
        return false;
    const xkb_keysym_t sym = xkb_utf32_to_keysym(uint32_t(ch));
    if (sym == XKB_KEY_NoSymbol)
        return false;
    // A key of the keymap: on its first level, or its second with Shift.
    {
        const xkb_layout_index_t layout = xkb_state_serialize_layout(m_state, XKB_STATE_LAYOUT_EFFECTIVE);
        for (xkb_keycode_t kc = xkb_keymap_min_keycode(m_keymap); kc <= xkb_keymap_max_keycode(m_keymap); ++kc) {
            for (xkb_level_index_t level = 0; level < 2; ++level) {
                const xkb_keysym_t *syms = nullptr;
                if (xkb_keymap_key_get_syms_by_level(m_keymap, kc, layout, level, &syms) != 1 || syms[0] != sym)
                    continue;
                const quint32 evdev = kc - 8;
                if (m_spareActive) {
                    m_restore.stop();
                    restoreKeymap();
                }
                if (level == 1) {
                    key(KEY_LEFTSHIFT, true);
                    tapKey(evdev);
                    key(KEY_LEFTSHIFT, false);
                } else {
                    tapKey(evdev);
                }
                flush();
                return true;
            }
        }
    }
    // A spare keymap of the characters typed lately, one key each.
    auto it = std::find(m_spareSyms.begin(), m_spareSyms.end(), sym);
    bool changed = false;
    if (it == m_spareSyms.end()) {
        if (m_spareSyms.size() >= kMaxSpares)
            m_spareSyms.erase(m_spareSyms.begin());
        m_spareSyms.push_back(sym);
        it = m_spareSyms.end() - 1;
        changed = true;
    }
    if (changed || !m_spareActive) {
        QByteArray text = "xkb_keymap {\nxkb_keycodes \"velmo\" {\nminimum = 8;\nmaximum = " +
                          QByteArray::number(9 + qsizetype(kMaxSpares)) + ";\n";
        for (size_t i = 0; i < m_spareSyms.size(); ++i)
            text += "<K" + QByteArray::number(qsizetype(i)) + "> = " + QByteArray::number(qsizetype(9 + i)) + ";\n";
        text += "};\nxkb_types \"velmo\" { include \"complete\" };\n"
                "xkb_compatibility \"velmo\" { include \"complete\" };\nxkb_symbols \"velmo\" {\n";
        for (size_t i = 0; i < m_spareSyms.size(); ++i) {
            char name[64] = {};
            xkb_keysym_get_name(m_spareSyms[i], name, sizeof name);
            text += "key <K" + QByteArray::number(qsizetype(i)) + "> {[ " + QByteArray(name) + " ]};\n";
        }
        text += "};\n};\n";
        if (!sendKeymap(text))
            return false;
        m_spareActive = true;
        zwp_virtual_keyboard_v1_modifiers(m_keyboard, 0, 0, 0, 0);
    }
    tapKey(quint32(9 + (it - m_spareSyms.begin())) - 8);
    flush();
    m_restore.start();
    return true;
}
