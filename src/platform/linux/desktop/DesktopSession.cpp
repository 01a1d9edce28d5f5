#include "DesktopSession.h"

#include "platform/linux/system/HelperProcess.h"

#include <wayland-client.h>

namespace {

// Names as XDG_CURRENT_DESKTOP gives them, or as the compositor's own variables imply.
QString compositorName(const QProcessEnvironment& environment) {
    if (environment.contains(QStringLiteral("SWAYSOCK")))
        return QStringLiteral("sway");
    if (environment.contains(QStringLiteral("HYPRLAND_INSTANCE_SIGNATURE")))
        return QStringLiteral("Hyprland");
    const QString desktop = environment.value(QStringLiteral("XDG_CURRENT_DESKTOP"));
    return desktop.section(QLatin1Char(':'), 0, 0);
}

} // namespace

DesktopSession DesktopSession::detect(const QProcessEnvironment& environment) {
    DesktopSession session;
    const QString forced = environment.value(QStringLiteral("MIRVO_SESSION"));
    const bool wayland =
        forced.isEmpty()
            ? !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() ||
                  environment.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland")
            : forced == QLatin1String("wayland");
    session.kind = wayland ? Kind::wayland : Kind::x11;
    if (!wayland)
        return session;
    session.compositor = compositorName(environment);
    static const QStringList wlrootsCompositors = {
        QStringLiteral("sway"),    QStringLiteral("Hyprland"), QStringLiteral("river"),
        QStringLiteral("wayfire"), QStringLiteral("labwc"),    QStringLiteral("niri"),
        QStringLiteral("dwl"),     QStringLiteral("qtile"),    QStringLiteral("Wayfire")};
    const bool knownOther = session.compositor.contains(QLatin1String("GNOME")) ||
                            session.compositor.contains(QLatin1String("KDE"));
    session.wlroots =
        wlrootsCompositors.contains(session.compositor, Qt::CaseInsensitive) ||
        (!knownOther && waylandGlobals().contains(QStringLiteral("zwlr_data_control_manager_v1")));
    session.kwinFakeInput = session.compositor.contains(QLatin1String("KDE")) &&
                            waylandGlobals().contains(QStringLiteral("org_kde_kwin_fake_input"));
    session.gnome = session.compositor.contains(QLatin1String("GNOME"));
    session.xwayland = !environment.value(QStringLiteral("DISPLAY")).isEmpty();
    return session;
}

QString DesktopSession::description() const {
    if (!isWayland())
        return QStringLiteral("x11");
    return QStringLiteral("wayland (%1%2)")
        .arg(compositor.isEmpty() ? QStringLiteral("unknown compositor") : compositor,
             xwayland ? QStringLiteral(", with XWayland") : QStringLiteral(", no XWayland"));
}

DesktopCapabilities DesktopSession::waylandCapabilities() const {
    const QStringList globals = waylandGlobals();
    DesktopCapabilities capabilities;
    capabilities.holdKey = DesktopCapabilities::HoldKey::throughDesktop;
    capabilities.pasteChord = wlroots         ? DesktopCapabilities::PasteChord::virtualKeyboard
                              : kwinFakeInput ? DesktopCapabilities::PasteChord::kdeFakeInput
                              : gnome         ? DesktopCapabilities::PasteChord::remoteDesktop
                                              : DesktopCapabilities::PasteChord::none;
    capabilities.clipboard = globals.contains(QStringLiteral("zwlr_data_control_manager_v1"))
                                 ? DesktopCapabilities::Clipboard::dataControl
                                 : DesktopCapabilities::Clipboard::wlClipboard;
    capabilities.screen = xwayland;
    capabilities.missing = waylandProblem(globals);
    return capabilities;
}

QString DesktopSession::waylandProblem(const QStringList& globals) const {
    const QString dataControl = QStringLiteral("zwlr_data_control_manager_v1");
    const QString virtualKeyboard = QStringLiteral("zwp_virtual_keyboard_manager_v1");
    const QString chordProtocol = wlroots         ? virtualKeyboard
                                  : kwinFakeInput ? QStringLiteral("org_kde_kwin_fake_input")
                                                  : QString();
    // Where the compositor offers both, Mirvo's own connection does the clipboard and the chord:
    // the helpers are only its fallback.
    if (chordProtocol.isEmpty() || !globals.contains(dataControl) ||
        !globals.contains(chordProtocol)) {
        QStringList missing;
        const QStringList helpers = wlroots ? QStringList{"wl-copy", "wl-paste", "wtype"}
                                            : QStringList{"wl-copy", "wl-paste"};
        for (const QString& helper : helpers)
            if (!HelperProcess::exists(helper))
                missing.append(helper);
        if (!missing.isEmpty())
            return QStringLiteral("Mirvo needs %1 on this Wayland desktop: install the "
                                  "wl-clipboard and wtype packages.")
                .arg(missing.join(QStringLiteral(", ")));
    }
    if (!wlroots)
        return QString();
    if (!globals.contains(dataControl))
        return QStringLiteral("The compositor does not offer the clipboard to Mirvo "
                              "(wlr-data-control).");
    if (!globals.contains(virtualKeyboard))
        return QStringLiteral("The compositor does not let Mirvo type the paste chord "
                              "(virtual-keyboard).");
    return QString();
}

QString DesktopSession::keyInstructions(const QString& holdShortcut,
                                        DesktopCapabilities::PasteChord chord) const {
    if (chord == DesktopCapabilities::PasteChord::virtualKeyboard ||
        chord == DesktopCapabilities::PasteChord::kdeFakeInput)
        return holdShortcut.isEmpty()
                   ? QStringLiteral("Mirvo pastes the transcript into whichever app has focus "
                                    "through the compositor. Bind %1 to \"mirvo --hold\" and "
                                    "\"mirvo --release\" in your desktop's key bindings (Open "
                                    "Settings shows how).")
                   : holdShortcut;
    const QString dictate =
        holdShortcut.isEmpty() ? QStringLiteral("Bind a shortcut to \"mirvo --toggle\" to dictate.")
                               : holdShortcut;
    if (chord == DesktopCapabilities::PasteChord::remoteDesktop)
        return QStringLiteral("Mirvo pastes the transcript into whichever app has focus with "
                              "GNOME's leave, through its remote desktop portal: it controls only "
                              "the keyboard, to press Ctrl+V. %1")
            .arg(dictate);
    return QStringLiteral("This desktop (%1 on Wayland) lets no program paste into another: "
                          "Mirvo leaves your words on the clipboard and tells you to press "
                          "Ctrl+V. %2")
        .arg(compositor.isEmpty() ? QStringLiteral("an unnamed compositor") : compositor, dictate);
}

QStringList waylandGlobals() {
    wl_display* display = wl_display_connect(nullptr);
    if (!display)
        return {};
    QStringList names;
    static const wl_registry_listener listener = {
        [](void* data, wl_registry*, uint32_t, const char* interface, uint32_t) {
            static_cast<QStringList*>(data)->append(QString::fromLatin1(interface));
        },
        [](void*, wl_registry*, uint32_t) {},
    };
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &listener, &names);
    wl_display_roundtrip(display);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return names;
}
