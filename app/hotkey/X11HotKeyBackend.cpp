#include "app/hotkey/X11HotKeyBackend.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <array>
#include <set>

#include "platform/runtime/Log.h"

namespace kestrel {

namespace {

const Log logger{std::string(kAppLogSubsystem), "HotKey"};

Display* asDisplay(void* display) {
    return static_cast<Display*>(display);
}

constexpr unsigned kRelevantModifiers = ShiftMask | ControlMask | Mod1Mask | Mod4Mask;
// Num Lock is Mod2 on every common keymap.
constexpr std::array<unsigned, 4> kLockVariants = {0, LockMask, Mod2Mask, LockMask | Mod2Mask};

unsigned xModifiers(std::uint32_t carbonModifiers) {
    unsigned mask = 0;
    if ((carbonModifiers & carbon::kCommand) != 0) {
        mask |= Mod4Mask;
    }
    if ((carbonModifiers & carbon::kOption) != 0) {
        mask |= Mod1Mask;
    }
    if ((carbonModifiers & carbon::kControl) != 0) {
        mask |= ControlMask;
    }
    if ((carbonModifiers & carbon::kShift) != 0) {
        mask |= ShiftMask;
    }
    return mask;
}

// Set while a grab is checked: XGrabKey reports a combination taken by another client only
// through the error handler.
bool grabFailed = false;
int recordGrabError(Display* /*display*/, XErrorEvent* /*error*/) {
    grabFailed = true;
    return 0;
}

// Xlib's I/O error handler is process-wide and its default ends the process before a display's
// own exit handler runs; ours lets the exit handler decide for our displays and leaves the others
// to the handler that was there before.
std::set<Display*> ownDisplays;
XIOErrorHandler previousIOErrorHandler = nullptr;
int handleIOError(Display* display) {
    if (ownDisplays.contains(display)) {
        return 0;
    }
    return previousIOErrorHandler != nullptr ? previousIOErrorHandler(display) : 0;
}

// True for the release half of an auto-repeat, whose press it then takes off the queue.
bool isAutoRepeat(Display* xDisplay, const XKeyEvent& release) {
    // Without detectable auto-repeat a held key sends a release and a press with the same time
    // stamp; the press is taken out with the release so that neither counts.
    if (XEventsQueued(xDisplay, QueuedAfterReading) == 0) {
        return false;
    }
    XEvent next;
    XPeekEvent(xDisplay, &next);
    if (next.type != KeyPress || next.xkey.keycode != release.keycode ||
        next.xkey.time != release.time) {
        return false;
    }
    XNextEvent(xDisplay, &next);
    return true;
}

}  // namespace

void X11HotKeyBackend::DisplayCloser::operator()(void* display) const {
    // Closing may meet a dead connection once more; nobody is left to tell.
    XSetIOErrorExitHandler(
        asDisplay(display), [](Display*, void*) {}, nullptr);
    XCloseDisplay(asDisplay(display));
    ownDisplays.erase(asDisplay(display));
}

X11HotKeyBackend::X11HotKeyBackend(Executor& main, const std::string& displayName)
    : main_(main), display_(XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str())) {
    if (!display_) {
        return;
    }
    Display* display = asDisplay(display_.get());
    // Without this, Xlib ends the process when the server goes away (logout, a crashed server).
    if (ownDisplays.empty()) {
        previousIOErrorHandler = XSetIOErrorHandler(handleIOError);
    }
    ownDisplays.insert(display);
    XSetIOErrorExitHandler(
        display,
        [](Display* /*display*/, void* self) {
            static_cast<X11HotKeyBackend*>(self)->lost_ = true;
        },
        this);
    // A held key then repeats as presses alone, without a release before each; a server that
    // cannot do this sends release and press pairs, which readEvents() recognises.
    Bool detectable = False;
    XkbSetDetectableAutoRepeat(display, True, &detectable);
    watch_ = main_.watchFd(ConnectionNumber(display), static_cast<unsigned>(FdEvent::readable),
                           [this](unsigned /*events*/) { readEvents(); });
}

X11HotKeyBackend::~X11HotKeyBackend() {
    watch_ = Handle{};
    while (!grabs_.empty()) {
        unregisterHotKey(grabs_.begin()->first);
    }
    if (display_) {
        // Closing may meet the dead connection once more; nobody is left to tell.
        XSetIOErrorExitHandler(
            asDisplay(display_.get()), [](Display*, void*) {}, nullptr);
    }
}

bool X11HotKeyBackend::connected() const {
    return display_ != nullptr && !lost_;
}

int X11HotKeyBackend::fd() const {
    return connected() ? ConnectionNumber(asDisplay(display_.get())) : -1;
}

void X11HotKeyBackend::handleLostConnection() {
    // The display only waits to be closed now; the grabs went with the server.
    grabs_.clear();
    pressedId_.reset();
    logger.info("lost the X server: global hot keys are off");
    main_.post([weak = std::weak_ptr<bool>(alive_), this] {
        if (weak.lock()) {
            watch_ = Handle{};
        }
    });
}

void X11HotKeyBackend::logUnavailableOnce() {
    if (!loggedUnavailable_) {
        loggedUnavailable_ = true;
        logger.info("no X server reachable: global hot keys are off");
    }
}

unsigned long X11HotKeyBackend::keySymbol(Key key) {
    const auto index = static_cast<unsigned>(key);
    if (key <= Key::z) {
        return XK_a + index;
    }
    if (key >= Key::zero && key <= Key::nine) {
        return XK_0 + (index - static_cast<unsigned>(Key::zero));
    }
    if (key >= Key::f1 && key <= Key::f20) {
        return XK_F1 + (index - static_cast<unsigned>(Key::f1));
    }
    if (key >= Key::keypad0 && key <= Key::keypad9) {
        return XK_KP_0 + (index - static_cast<unsigned>(Key::keypad0));
    }
    switch (key) {
        case Key::period:
            return XK_period;
        case Key::quote:
            return XK_apostrophe;
        case Key::rightBracket:
            return XK_bracketright;
        case Key::semicolon:
            return XK_semicolon;
        case Key::slash:
            return XK_slash;
        case Key::backslash:
            return XK_backslash;
        case Key::comma:
            return XK_comma;
        case Key::equal:
            return XK_equal;
        case Key::grave:
            return XK_grave;
        case Key::leftBracket:
            return XK_bracketleft;
        case Key::minus:
            return XK_minus;
        case Key::section:
            return XK_section;
        case Key::space:
            return XK_space;
        case Key::tab:
            return XK_Tab;
        case Key::return_:
            return XK_Return;
        case Key::command:
            return XK_Super_L;
        case Key::rightCommand:
            return XK_Super_R;
        case Key::option:
            return XK_Alt_L;
        case Key::rightOption:
            return XK_Alt_R;
        case Key::control:
            return XK_Control_L;
        case Key::rightControl:
            return XK_Control_R;
        case Key::shift:
            return XK_Shift_L;
        case Key::rightShift:
            return XK_Shift_R;
        case Key::capsLock:
            return XK_Caps_Lock;
        case Key::pageUp:
            return XK_Page_Up;
        case Key::pageDown:
            return XK_Page_Down;
        case Key::home:
            return XK_Home;
        case Key::end:
            return XK_End;
        case Key::upArrow:
            return XK_Up;
        case Key::rightArrow:
            return XK_Right;
        case Key::downArrow:
            return XK_Down;
        case Key::leftArrow:
            return XK_Left;
        case Key::keypadClear:
            return XK_Clear;
        case Key::keypadDecimal:
            return XK_KP_Decimal;
        case Key::keypadDivide:
            return XK_KP_Divide;
        case Key::keypadEnter:
            return XK_KP_Enter;
        case Key::keypadEquals:
            return XK_KP_Equal;
        case Key::keypadMinus:
            return XK_KP_Subtract;
        case Key::keypadMultiply:
            return XK_KP_Multiply;
        case Key::keypadPlus:
            return XK_KP_Add;
        case Key::escape:
            return XK_Escape;
        case Key::delete_:
            return XK_BackSpace;
        case Key::forwardDelete:
            return XK_Delete;
        case Key::help:
            return XK_Help;
        default:
            return 0;  // fn and the media keys have no portable symbol
    }
}

bool X11HotKeyBackend::registerHotKey(const KeyCombo& combo, std::uint32_t signature,
                                      std::uint32_t id) {
    if (!connected()) {
        logUnavailableOnce();
        return false;
    }
    const auto key = combo.key();
    const unsigned long symbol = key ? keySymbol(*key) : 0;
    Display* display = asDisplay(display_.get());
    const unsigned keycode = symbol != 0 ? XKeysymToKeycode(display, symbol) : 0;
    if (keycode == 0) {
        logger.info("no key on this keyboard for hot key %{public}@", combo.description());
        return false;
    }
    const unsigned modifiers = xModifiers(combo.carbonModifiers);
    const Window root = DefaultRootWindow(display);
    XSync(display, False);
    grabFailed = false;
    auto* previous = XSetErrorHandler(recordGrabError);
    for (const unsigned lock : kLockVariants) {
        XGrabKey(display, static_cast<int>(keycode), modifiers | lock, root, True, GrabModeAsync,
                 GrabModeAsync);
    }
    XSync(display, False);
    XSetErrorHandler(previous);
    if (grabFailed) {
        for (const unsigned lock : kLockVariants) {
            XUngrabKey(display, static_cast<int>(keycode), modifiers | lock, root);
        }
        XFlush(display);
        logger.info("hot key %{public}@ is taken by another application", combo.description());
        return false;
    }
    grabs_[id] = Grab{keycode, modifiers, signature};
    return true;
}

void X11HotKeyBackend::unregisterHotKey(std::uint32_t id) {
    const auto found = grabs_.find(id);
    if (found == grabs_.end() || !connected()) {
        return;
    }
    Display* display = asDisplay(display_.get());
    for (const unsigned lock : kLockVariants) {
        XUngrabKey(display, static_cast<int>(found->second.keycode), found->second.modifiers | lock,
                   DefaultRootWindow(display));
    }
    XFlush(display);
    grabs_.erase(found);
}

void X11HotKeyBackend::installEventHandler(EventHandler handler) {
    handler_ = std::move(handler);
}

void X11HotKeyBackend::readEvents() {
    if (lost_) {
        return;
    }
    Display* display = asDisplay(display_.get());
    while (XPending(display) > 0 && !lost_) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != KeyPress && event.type != KeyRelease) {
            continue;
        }
        const XKeyEvent& keyEvent = event.xkey;
        const unsigned modifiers = keyEvent.state & kRelevantModifiers;
        std::optional<HotKeyEvent> hotKeyEvent;
        if (event.type == KeyRelease && isAutoRepeat(display, keyEvent)) {
            continue;
        }
        if (event.type == KeyPress) {
            for (const auto& [id, grab] : grabs_) {
                // A press while the same grab's key is still down is the key repeating.
                if (grab.keycode == keyEvent.keycode && grab.modifiers == modifiers &&
                    pressedId_ != id) {
                    hotKeyEvent = HotKeyEvent{grab.signature, id, HotKeyEvent::Kind::pressed};
                    pressedId_ = id;
                    break;
                }
            }
        } else if (pressedId_) {
            // The key may come up after its modifiers: the press's grab keeps the keyboard until
            // then, so the release of the same key ends the press whatever is still held.
            const auto pressed = grabs_.find(*pressedId_);
            if (pressed != grabs_.end() && pressed->second.keycode == keyEvent.keycode) {
                hotKeyEvent = HotKeyEvent{pressed->second.signature, pressed->first,
                                          HotKeyEvent::Kind::released};
                pressedId_.reset();
            }
        }
        if (hotKeyEvent && handler_) {
            handler_(*hotKeyEvent);
        }
    }
    if (lost_) {
        handleLostConnection();
    }
}

}  // namespace kestrel
