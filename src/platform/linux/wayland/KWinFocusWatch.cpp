#include "KWinFocusWatch.h"

#include "common/Log.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStandardPaths>

namespace {

const QString kwinService = QStringLiteral("org.kde.KWin");
const QString scriptingPath = QStringLiteral("/Scripting");
const QString scriptingInterface = QStringLiteral("org.kde.kwin.Scripting");
const QString watchPath = QStringLiteral("/ai/mirvo/KWinFocus");
// One name for every run: a script a Mirvo that ended abruptly left behind is replaced.
const QString pluginName = QStringLiteral("mirvo-focus");
constexpr int callTimeoutMs = 2000;

QDBusMessage call(const QDBusConnection& bus, const QString& path, const QString& interface,
                  const QString& method, const QVariantList& arguments = {}) {
    QDBusMessage message = QDBusMessage::createMethodCall(kwinService, path, interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, callTimeoutMs);
}

void unloadScript(const QDBusConnection& bus) {
    call(bus, scriptingPath, scriptingInterface, QStringLiteral("unloadScript"), {pluginName});
}

} // namespace

std::unique_ptr<KWinFocusWatch> KWinFocusWatch::start() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() ||
        !bus.interface()->isServiceRegistered(kwinService).value())
        return nullptr;
    std::unique_ptr<KWinFocusWatch> watch(new KWinFocusWatch(bus));
    return watch->load() ? std::move(watch) : nullptr;
}

KWinFocusWatch::KWinFocusWatch(const QDBusConnection& bus)
    : bus_(bus), kwin_(bus_.interface()->serviceOwner(kwinService).value()) {}

KWinFocusWatch::~KWinFocusWatch() {
    unloadScript(bus_);
    bus_.unregisterObject(watchPath);
}

QString KWinFocusWatch::script(const QString& service) {
    // KWin 5 names the window a client; KWin 6 a window.
    return QStringLiteral(
               "function report(window) {\n"
               "    callDBus(\"%1\", \"%2\", \"ai.mirvo.KWinFocus\", \"report\",\n"
               "             window ? String(window.resourceClass) : \"\");\n"
               "}\n"
               "(workspace.windowActivated || workspace.clientActivated).connect(report);\n"
               "report(workspace.activeWindow || workspace.activeClient);\n")
        .arg(service, watchPath);
}

bool KWinFocusWatch::load() {
    if (!bus_.registerObject(watchPath, this, QDBusConnection::ExportScriptableSlots))
        return false;
    // In the user's own runtime folder: KWin reads the script from a path.
    file_.setFileTemplate(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) +
                          QStringLiteral("/mirvo-kwin-focus-XXXXXX.js"));
    if (!file_.open() || file_.write(script(bus_.baseService()).toUtf8()) < 0 || !file_.flush()) {
        mirvoLog(QStringLiteral("[Mirvo] cannot write KWin's focus script: ") + file_.errorString(),
                 LogLevel::warning);
        return false;
    }
    unloadScript(bus_);
    const QDBusMessage loaded = call(bus_, scriptingPath, scriptingInterface,
                                     QStringLiteral("loadScript"), {file_.fileName(), pluginName});
    const int id = loaded.arguments().value(0, -1).toInt();
    if (loaded.type() != QDBusMessage::ReplyMessage || id < 0) {
        mirvoLog(QStringLiteral("[Mirvo] KWin did not load the focus script: ") +
                     loaded.errorMessage(),
                 LogLevel::warning);
        return false;
    }
    // KWin 6 keeps a script at /Scripting/Script<id>, KWin 5 at /<id>.
    for (const QString& path :
         {QStringLiteral("/Scripting/Script%1").arg(id), QStringLiteral("/%1").arg(id)})
        if (call(bus_, path, QStringLiteral("org.kde.kwin.Script"), QStringLiteral("run")).type() ==
            QDBusMessage::ReplyMessage)
            return true;
    mirvoLog(QStringLiteral("[Mirvo] KWin did not run the focus script"), LogLevel::warning);
    return false;
}

void KWinFocusWatch::report(const QString& windowClass) {
    if (calledFromDBus() && message().service() != kwin_)
        return;
    focused_ = windowClass;
}
