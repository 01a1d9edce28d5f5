#include "WaylandKeyboardEvents.h"

#include "KWinFocusWatch.h"
#include "KdeFakeInputKeyboard.h"
#include "VirtualKeyboard.h"

#include "common/Log.h"
#include "platform/linux/system/HelperProcess.h"
#include "platform/linux/system/Terminals.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QString focusedIn(const QJsonObject& node, int depth) {
    if (depth > 64)
        return QString();
    if (node.value(QStringLiteral("focused")).toBool()) {
        const QString appId = node.value(QStringLiteral("app_id")).toString();
        return appId.isEmpty() ? node.value(QStringLiteral("window_properties"))
                                     .toObject()
                                     .value(QStringLiteral("class"))
                                     .toString()
                               : appId;
    }
    for (const char* key : {"nodes", "floating_nodes"})
        for (const QJsonValue& child : node.value(QLatin1String(key)).toArray())
            if (const QString found = focusedIn(child.toObject(), depth + 1); !found.isEmpty())
                return found;
    return QString();
}

} // namespace

QString WaylandKeyboardEvents::focusedAppIdInSwayTree(const QByteArray& json) {
    return focusedIn(QJsonDocument::fromJson(json).object(), 0);
}

QString WaylandKeyboardEvents::focusedAppId() const {
    if (kwinFocus_)
        return kwinFocus_->focusedClass();
    if (qEnvironmentVariableIsSet("SWAYSOCK")) {
        const HelperResult tree = HelperProcess::run(
            QStringLiteral("swaymsg"), {QStringLiteral("-t"), QStringLiteral("get_tree")});
        if (!tree.ran)
            mirvoLog(QStringLiteral("[Mirvo] cannot tell the focused window: ") + tree.problem,
                     LogLevel::warning);
        return tree.ran ? focusedAppIdInSwayTree(tree.output) : QString();
    }
    if (qEnvironmentVariableIsSet("HYPRLAND_INSTANCE_SIGNATURE")) {
        const HelperResult window = HelperProcess::run(
            QStringLiteral("hyprctl"), {QStringLiteral("activewindow"), QStringLiteral("-j")});
        return window.ran ? QJsonDocument::fromJson(window.output)
                                .object()
                                .value(QStringLiteral("class"))
                                .toString()
                          : QString();
    }
    return QString();
}

namespace {

std::unique_ptr<ChordKeyboard> connectKeyboard(DesktopCapabilities::PasteChord chord) {
    if (chord == DesktopCapabilities::PasteChord::kdeFakeInput)
        return KdeFakeInputKeyboard::connect();
    return VirtualKeyboard::connect();
}

} // namespace

WaylandKeyboardEvents::WaylandKeyboardEvents(DesktopCapabilities::PasteChord chord)
    : keyboard_(connectKeyboard(chord)),
      kwinFocus_(chord == DesktopCapabilities::PasteChord::kdeFakeInput ? KWinFocusWatch::start()
                                                                        : nullptr) {}

WaylandKeyboardEvents::~WaylandKeyboardEvents() = default;

QString WaylandKeyboardEvents::chordPath() const {
    return keyboard_ ? QStringLiteral("through the compositor (%1)").arg(keyboard_->protocol())
                     : QStringLiteral("through wtype");
}

void WaylandKeyboardEvents::postPasteChord() {
    const QString appId = focusedAppId();
    const bool terminal = isTerminal(appId);
    mirvoLog(QStringLiteral("[Mirvo] paste chord %1 for \"%2\"")
                 .arg(terminal ? QStringLiteral("Ctrl+Shift+V") : QStringLiteral("Ctrl+V"), appId));
    if (keyboard_) {
        if (!keyboard_->typePasteChord(terminal))
            mirvoLog(QStringLiteral("[Mirvo] cannot post the paste chord: the compositor cannot "
                                    "be reached"),
                     LogLevel::warning);
        return;
    }
    const QStringList chord =
        terminal ? QStringList{"-M", "ctrl", "-M", "shift", "-k", "v", "-m", "shift", "-m", "ctrl"}
                 : QStringList{"-M", "ctrl", "-k", "v", "-m", "ctrl"};
    const HelperResult typed = HelperProcess::run(QStringLiteral("wtype"), chord);
    if (!typed.ran)
        mirvoLog(QStringLiteral("[Mirvo] cannot post the paste chord: ") + typed.problem,
                 LogLevel::warning);
}
