#include "CommandLine.h"

#include "MirvoApp.h"
#include "ServiceCommands.h"
#include "common/AppIdentity.h"
#include "common/Log.h"
#include "common/MirvoError.h"
#include "platform/PlatformServices.h"
#include "platform/SingleInstance.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>

namespace {

// The commands a key binding runs, each handed to the running Mirvo.
const std::pair<const QString&, const char*> commandOptions[] = {
    {SingleInstance::holdCommand, "Start dictating, as the hold key going down does."},
    {SingleInstance::releaseCommand, "Stop dictating and paste, as the hold key going up does."},
    {SingleInstance::toggleCommand, "Start dictating, or stop and paste when dictating."},
    {SingleInstance::pasteLastCommand, "Paste the last dictation again into the focused window."},
    {SingleInstance::settingsCommand, "Open the Settings window."},
};

const char* const environmentHelp = R"(
Environment:
  MIRVO_TEST_MODE=1           Signals instead of the hold key (SIGUSR1 down, SIGUSR2 up), the
                              clipboard instead of pasting, no configuration.
  MIRVO_TEST_AUDIO=FILE       In test mode, dictate FILE instead of the microphone.
  MIRVO_LOG_TRANSCRIPTS=1     Log the dictated words, not only their length.
  MIRVO_FORCE_ONBOARDING=1    Start dictation only through the setup checklist.
  MIRVO_POCKETSPHINX_MODEL=DIR  Another PocketSphinx English model.
  MIRVO_SESSION=x11|wayland   Override the session type the environment gives.
  MIRVO_UPDATE_MANIFEST_URL=URL  Tests: the release manifest on http://127.0.0.1:PORT/.
  MIRVO_TEST_SERVICES=FILE    In test mode, a services file whose services are on 127.0.0.1.
)";

// What the command line asks for: a command for the running Mirvo, Mirvo itself, or an answer
// printed here.
struct CommandLine {
    QString command; // empty: run Mirvo
    std::optional<int> exitWith;
    QString setKey = {}; // --set-key NAME
    bool removeKey = false;
    bool checkService = false;
};

CommandLine parseCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Push-to-talk dictation: hold a key, speak, release, and the words are "
                       "pasted where you type.\nWithout options it starts Mirvo, or shows the "
                       "setup checklist of the Mirvo that runs."));
    // Qt's own help option would offer Qt's options too, which Mirvo does not take.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption setKey(
        QStringLiteral("set-key"),
        QStringLiteral("Store the key of a speech service (transcription or polish) in the "
                       "keyring, read from standard input."),
        QStringLiteral("service"));
    const QCommandLineOption removeKey(QStringLiteral("remove"),
                                       QStringLiteral("With --set-key: forget the key instead."));
    const QCommandLineOption checkService(
        QStringLiteral("check-service"),
        QStringLiteral("Send the bundled speech sample to each configured speech service and "
                       "show what comes back."));
    parser.addOptions({help, version, setKey, removeKey, checkService});
    for (const auto& [name, description] : commandOptions)
        parser.addOption(QCommandLineOption(name, QString::fromUtf8(description)));
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("mirvo: links to open."),
                                 QStringLiteral("[url…]"));
    // Parsed before any application object exists, so Qt cannot name the program itself.
    const QString usage =
        parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("mirvo"));
    QStringList chosen;
    const bool parsed = parser.parse(arguments);
    if (parsed)
        for (const auto& [name, description] : commandOptions)
            if (parser.isSet(name))
                chosen.append(name);
    if (!parsed || chosen.size() > 1 ||
        (!chosen.isEmpty() && !parser.positionalArguments().isEmpty())) {
        const QString problem =
            parsed ? QStringLiteral("give one command at a time") : parser.errorText();
        std::fprintf(stderr, "mirvo: %s\n%s", qPrintable(problem), qPrintable(usage));
        return {{}, 2};
    }
    if (parser.isSet(help)) {
        std::printf("%s%s", qPrintable(usage), environmentHelp);
        return {{}, 0};
    }
    if (parser.isSet(version)) {
        std::printf("mirvo %s\n", MIRVO_VERSION);
        return {{}, 0};
    }
    if (parser.isSet(removeKey) && !parser.isSet(setKey)) {
        std::fprintf(stderr, "mirvo: --remove goes with --set-key\n%s", qPrintable(usage));
        return {{}, 2};
    }
    return {chosen.value(0), std::nullopt, parser.value(setKey), parser.isSet(removeKey),
            parser.isSet(checkService)};
}

} // namespace

int Mirvo::run(int argc, char** argv, PlatformServices& platform) {
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.exitWith)
        return *line.exitWith;
    if (!line.command.isEmpty()) {
        // A binding's command normally never comes here: the program hands it over itself.
        QCoreApplication app(argc, argv);
        return sendCommand(*platform.makeSingleInstance(), line.command);
    }
    if (!line.setKey.isEmpty() || line.checkService) {
        QCoreApplication app(argc, argv);
        return line.checkService ? checkServices(platform)
                                 : setServiceKey(platform, line.setKey, line.removeKey);
    }
    // Qt would abort the process without a display; say what is missing instead.
    platform.chooseQtPlatform();
    const QString problem = platform.desktopProblem();
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "mirvo: %s\n", qPrintable(problem));
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mirvo"));
    QApplication::setDesktopFileName(mirvoAppId);
    QApplication::setApplicationVersion(QStringLiteral(MIRVO_VERSION));
    // Mirvo has no main window: hiding the HUD or the checklist must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    LaunchOptions options =
        LaunchOptions::fromEnvironment(QProcessEnvironment::systemEnvironment());
    options.arguments = QApplication::arguments().mid(1);
    setLogDictatedWords(options.logTranscripts);

    const std::unique_ptr<SingleInstance> instance = platform.makeSingleInstance();
    switch (instance->claim(options.arguments)) {
    case SingleInstance::Role::forwarded:
        return 0;
    case SingleInstance::Role::unanswered:
        std::fprintf(stderr, "mirvo: another Mirvo runs in this session but did not answer\n");
        return 1;
    case SingleInstance::Role::primary:
    case SingleInstance::Role::alone:
        break;
    }

    MirvoAppDelegate::shared =
        std::make_shared<MirvoAppDelegate>(platform, options, platform.makeUserDefaults());
    // A logout or Ctrl+C ends Mirvo as "Quit Mirvo" does: the user's clipboard goes back first.
    try {
        platform.onTerminationRequest([] { QCoreApplication::quit(); });
    } catch (const MirvoError& e) {
        mirvoLog(QStringLiteral("[Mirvo] cannot watch for logout: ") + e.reason(),
                 LogLevel::warning);
    }
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] {
        if (DictationCoordinator* coordinator = MirvoAppDelegate::shared->coordinator())
            coordinator->finishPendingPaste();
    });
    QObject::connect(instance.get(), &SingleInstance::commandReceived,
                     MirvoAppDelegate::shared.get(), &MirvoAppDelegate::handleCommand);
    QTimer::singleShot(0, [] { MirvoAppDelegate::shared->applicationDidFinishLaunching(); });
    const int status = app.exec();
    // The coordinator's components are the application's: they go before it does.
    MirvoAppDelegate::shared.reset();
    return status;
}
