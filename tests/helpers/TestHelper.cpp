// The other programs of the desktop tests, one mode each:
//   field LOGFILE [--terminal] a focused text field; logs "ready", "text <contents>" on every
//                             change and "key <chord>" for key presses; as a terminal it is
//                             named Konsole's app id and pastes on Ctrl+Shift+V
//   clipboard-owner TYPE=FILE...   holds the clipboard with those types, as an application the
//                             user copied from
//   wayland-clipboard-owner TYPE=FILE...   the same on a wlroots Wayland desktop
//   kwin-keys FLAGFILE CODE... presses the keys (evdev codes) in order through KWin's fake
//                             input, and releases them in reverse once FLAGFILE exists
//   clipboard-manager LOGFILE  owns CLIPBOARD_MANAGER; on SAVE_TARGETS it reads the clipboard's
//                             text from the exiting owner, logs "saved <text>" and then owns the
//                             clipboard with it, as a desktop's clipboard manager does
#include "platform/linux/wayland/DataControlPasteboard.h"
#include "platform/linux/wayland/WaylandConnection.h"

#include "fake-input-client-protocol.h"

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QShortcut>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace {

QFile* logFile = nullptr;

void logLine(const QString& line) {
    logFile->write(line.toUtf8() + '\n');
    logFile->flush();
}

class KeyLogger final : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (!key->isAutoRepeat())
                logLine(QStringLiteral("key ") +
                        QKeySequence(key->keyCombination()).toString(QKeySequence::PortableText));
        }
        return QObject::eventFilter(watched, event);
    }
};

int field(QApplication& app, bool terminal) {
    QLineEdit field;
    QShortcut paste(QKeySequence(QStringLiteral("Ctrl+Shift+V")), &field);
    paste.setEnabled(terminal);
    QObject::connect(&paste, &QShortcut::activated, &field, &QLineEdit::paste);
    field.setWindowTitle(QStringLiteral("Mirvo test field"));
    field.resize(400, 40);
    KeyLogger keys;
    app.installEventFilter(&keys);
    QObject::connect(&field, &QLineEdit::textChanged,
                     [](const QString& text) { logLine(QStringLiteral("text ") + text); });
    field.show();
    field.activateWindow();
    field.setFocus();
    QTimer::singleShot(300, [&] {
        field.activateWindow();
        logLine(QStringLiteral("ready"));
    });
    return app.exec();
}

// TYPE=FILE arguments as the types and data of a clipboard item; none when a file is missing.
std::optional<PasteboardItemData> clipboardItem(const QStringList& contents) {
    PasteboardItemData item;
    for (const QString& typeAndFile : contents) {
        // A type may have an = of its own (text/plain;charset=utf-8).
        QFile content(typeAndFile.section(QLatin1Char('='), -1));
        if (!content.open(QIODevice::ReadOnly))
            return std::nullopt;
        item[typeAndFile.section(QLatin1Char('='), 0, -2)] = content.readAll();
    }
    return item;
}

int clipboardOwner(QApplication& app, const QStringList& contents) {
    const std::optional<PasteboardItemData> item = clipboardItem(contents);
    if (!item)
        return 2;
    auto* mime = new QMimeData;
    for (const auto& [type, bytes] : *item)
        mime->setData(type, bytes);
    QApplication::clipboard()->setMimeData(mime, QClipboard::Clipboard);
    return app.exec();
}

// On a wlroots desktop, through the data-control protocol as Mirvo's own clipboard does.
int waylandClipboardOwner(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::optional<PasteboardItemData> item =
        clipboardItem(QCoreApplication::arguments().mid(2));
    const auto clipboard = DataControlPasteboard::connect();
    const char* problem = !item                               ? "a file cannot be read"
                          : !clipboard                        ? "no compositor with data-control"
                          : !clipboard->writeObjects({*item}) ? "the clipboard cannot be set"
                                                              : nullptr;
    if (problem) {
        std::fprintf(stderr, "wayland-clipboard-owner: %s\n", problem);
        return 2;
    }
    return app.exec();
}

// A person's key presses on KDE Plasma, for the desktop's own shortcuts to see.
int kwinKeys(int argc, char** argv) {
    const auto connection = WaylandConnection::open({{&org_kde_kwin_fake_input_interface, 4}});
    auto* input =
        connection ? connection->global<org_kde_kwin_fake_input>(org_kde_kwin_fake_input_interface)
                   : nullptr;
    if (!input || argc < 4) {
        std::fprintf(stderr, "kwin-keys: no KWin fake input granted, or no keys\n");
        return 2;
    }
    org_kde_kwin_fake_input_authenticate(input, "Mirvo tests", "presses keys as a person");
    const auto post = [&](int i, uint32_t state) {
        org_kde_kwin_fake_input_keyboard_key(input, uint32_t(std::atoi(argv[i])), state);
        return wl_display_roundtrip(connection->display()) >= 0;
    };
    for (int i = 3; i < argc; ++i)
        if (!post(i, WL_KEYBOARD_KEY_STATE_PRESSED))
            return 1;
    while (!QFile::exists(QString::fromLocal8Bit(argv[2])))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    for (int i = argc - 1; i >= 3; --i)
        if (!post(i, WL_KEYBOARD_KEY_STATE_RELEASED))
            return 1;
    return 0;
}

} // namespace

// Xlib's macros (KeyPress, None…) would break the Qt code above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

// The clipboard's text, asked of its owner on behalf of `window`; empty when it gives none.
std::string clipboardText(Display* d, Window window) {
    const Atom property = XInternAtom(d, "MIRVO_SAVED", False);
    XConvertSelection(d, XInternAtom(d, "CLIPBOARD", False), XInternAtom(d, "UTF8_STRING", False),
                      property, window, CurrentTime);
    XFlush(d);
    // Generous: an exiting owner under a sanitizer answers slowly.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    XEvent event{};
    while (std::chrono::steady_clock::now() < deadline &&
           !XCheckTypedWindowEvent(d, window, SelectionNotify, &event))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (event.type != SelectionNotify || event.xselection.property == None)
        return {};
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(d, window, property, 0, 1 << 20, True, AnyPropertyType, &type, &format,
                       &count, &after, &data);
    std::string text = data ? std::string(reinterpret_cast<char*>(data), count) : std::string();
    if (data)
        XFree(data);
    return text;
}

int clipboardManager() {
    Display* d = XOpenDisplay(nullptr);
    if (!d)
        return 1;
    const Window window = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    const Atom manager = XInternAtom(d, "CLIPBOARD_MANAGER", False);
    const Atom saveTargets = XInternAtom(d, "SAVE_TARGETS", False);
    const Atom clipboard = XInternAtom(d, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
    const Atom targets = XInternAtom(d, "TARGETS", False);
    std::string kept;
    XSetSelectionOwner(d, manager, window, CurrentTime);
    if (XGetSelectionOwner(d, manager) != window)
        return 1;
    logLine(QStringLiteral("ready"));
    for (;;) {
        XEvent event{};
        XNextEvent(d, &event);
        if (event.type != SelectionRequest)
            continue;
        const XSelectionRequestEvent& request = event.xselectionrequest;
        XEvent reply{};
        reply.xselection = {
            SelectionNotify, 0,    False,       nullptr, request.requestor, request.selection,
            request.target,  None, request.time};
        const Atom property = request.property == None ? request.target : request.property;
        if (request.selection == manager && request.target == saveTargets) {
            kept = clipboardText(d, window);
            logLine(QStringLiteral("saved ") + QString::fromStdString(kept));
            reply.xselection.property = property;
            XSetSelectionOwner(d, clipboard, window, CurrentTime);
        } else if (request.selection == clipboard && request.target == utf8) {
            XChangeProperty(d, request.requestor, property, utf8, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(kept.data()), int(kept.size()));
            reply.xselection.property = property;
        } else if (request.selection == clipboard && request.target == targets) {
            const Atom offered[] = {targets, utf8};
            XChangeProperty(d, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(offered), 2);
            reply.xselection.property = property;
        }
        XSendEvent(d, request.requestor, False, NoEventMask, &reply);
        XFlush(d);
    }
}

} // namespace

int main(int argc, char** argv) {
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const QString first = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    QFile log(first);
    if ((mode == "field" || mode == "clipboard-manager") &&
        log.open(QIODevice::WriteOnly | QIODevice::Append))
        logFile = &log;
    if (mode == "clipboard-manager" && logFile)
        return clipboardManager();
    if (mode == "wayland-clipboard-owner")
        return waylandClipboardOwner(argc, argv);
    if (mode == "kwin-keys")
        return kwinKeys(argc, argv);
    const bool terminal = mode == "field" && argc > 3 && QByteArray(argv[3]) == "--terminal";
    if (terminal)
        QGuiApplication::setDesktopFileName(QStringLiteral("org.kde.konsole"));
    QApplication app(argc, argv);
    if (mode == "field" && logFile)
        return field(app, terminal);
    if (mode == "clipboard-owner")
        return clipboardOwner(app, QApplication::arguments().mid(2));
    std::fprintf(
        stderr,
        "usage: TestHelper field|clipboard-owner|wayland-clipboard-owner|clipboard-manager …\n");
    return 2;
}
