#include "MirvoApp.h"

#include "OnboardingWindow.h"
#include "ServiceCommands.h"
#include "common/Log.h"
#include "common/MirvoError.h"
#include "platform/LoginItem.h"
#include "platform/Pasteboard.h"
#include "platform/PlatformServices.h"
#include "platform/SingleInstance.h"
#include "platform/Tray.h"
#include "platform/UserDefaults.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>

#include <cstdio>

#ifndef MIRVO_WEBSITE
#define MIRVO_WEBSITE ""
#endif

namespace {

const QString onboardingCompletedKey = QStringLiteral("ai.mirvo.onboardingCompleted");
const QString keepHistoryKey = QStringLiteral("ai.mirvo.keepHistory");
// Entries the "Recent Dictations" menu lists, and the characters of each it shows.
constexpr int menuEntries = 10;
constexpr int menuTitleLength = 40;

// The manifest address tests may point at a loopback server; anything else is refused.
std::optional<QUrl> loopbackManifest(const QString& value) {
    const QUrl url(value, QUrl::StrictMode);
    if (url.scheme() == QLatin1String("http") && url.host() == QLatin1String("127.0.0.1") &&
        url.port() > 0)
        return url;
    return std::nullopt;
}

// The commands a key binding runs, each handed to the running Mirvo.
const std::pair<const QString&, const char*> commandOptions[] = {
    {SingleInstance::holdCommand, "Start dictating, as the hold key going down does."},
    {SingleInstance::releaseCommand, "Stop dictating and paste, as the hold key going up does."},
    {SingleInstance::toggleCommand, "Start dictating, or stop and paste when dictating."},
    {SingleInstance::pasteLastCommand, "Paste the last dictation again into the focused window."},
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

MirvoAppDelegate::MirvoAppDelegate(PlatformServices& platform, LaunchOptions options,
                                   std::shared_ptr<UserDefaults> defaults, Timing timing)
    : platform_(platform), options_(std::move(options)), defaults_(std::move(defaults)),
      timing_(timing),
      history_(std::make_shared<DictationHistory>(
          DictationHistoryFile(DictationHistoryFile::defaultPath(platform.stateDirectory())),
          defaults_->boolForKey(keepHistoryKey))),
      loginItem_(platform.makeLoginItem()) {
    manifestURL_ = UpdateChecker::defaultManifestURL();
    if (options_.manifestURL) {
        if (const auto loopback = loopbackManifest(*options_.manifestURL))
            manifestURL_ = *loopback;
        else
            mirvoLog(QStringLiteral("[Mirvo] MIRVO_UPDATE_MANIFEST_URL ignored: only "
                                    "http://127.0.0.1:PORT/… is accepted"),
                     LogLevel::warning);
    }
}

MirvoAppDelegate::~MirvoAppDelegate() = default;

QString MirvoAppDelegate::websiteURLString() {
    return QStringLiteral(MIRVO_WEBSITE);
}

void MirvoAppDelegate::applicationDidFinishLaunching() {
    const bool test = options_.testMode;
    const bool force = options_.forceOnboarding;
    const bool seen = defaults_->boolForKey(onboardingCompletedKey);
    installMenuBar();
    mirvoLog(QStringLiteral("[Mirvo] launched (pid=%1, test=%2, seen=%3, force=%4)")
                 .arg(QString::number(QCoreApplication::applicationPid()), boolText(test),
                      boolText(seen), boolText(force)));
    if (test) {
        startCoordinator();
    } else {
        showOnboarding(); // at every launch
        if (seen && !force)
            startCoordinator();
        scheduleUpdateChecks();
    }
    for (const QString& argument : options_.arguments)
        handleURLEvent(argument);
}

void MirvoAppDelegate::handleURLEvent(const QString& url) {
    if (const std::optional<QUrl> parsed = launchURL(url))
        mirvoLog(QStringLiteral("[Mirvo] handleURLEvent: ") + parsed->toString());
}

void MirvoAppDelegate::handleCommand(const QString& command, const QStringList& arguments) {
    if (const std::optional<HotkeyCommand> hotkey = hotkeyCommandNamed(command)) {
        if (!coordinator_)
            mirvoLog(QStringLiteral("[Mirvo] --%1 ignored: dictation has not started yet (finish "
                                    "the setup checklist)")
                         .arg(command));
        emit hotkeyCommands_.issued(*hotkey);
        return;
    }
    if (command == SingleInstance::pasteLastCommand) {
        pasteLastDictation();
        return;
    }
    if (command != SingleInstance::openCommand)
        return;
    mirvoLog(QStringLiteral("[Mirvo] another launch forwarded its command line"));
    // Without a tray, launching Mirvo again is how the checklist is reached. In test mode it
    // would take every later dictation into its try-it box.
    if (!options_.testMode)
        showOnboarding();
    for (const QString& argument : arguments)
        handleURLEvent(argument);
}

void MirvoAppDelegate::startCoordinator() {
    if (coordinator_) {
        mirvoLog(QStringLiteral("[Mirvo] startCoordinator() skipped (already running)"));
        return;
    }
    mirvoLog(QStringLiteral("[Mirvo] startCoordinator() entered"));
    if (options_.testMode) {
        startCoordinatorNow();
        mirvoLog(QStringLiteral("[Mirvo] coordinator up (test mode)"));
        return;
    }
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    QTimer::singleShot(0, this, [weak] {
        const auto self = weak.lock();
        if (!self)
            return;
        // Two calls can pass the first check before either task runs: only one builds.
        if (self->coordinator_) {
            mirvoLog(QStringLiteral("[Mirvo] startCoordinator() skipped (already running)"));
            return;
        }
        mirvoLog(QStringLiteral("[Mirvo] checking permissions"));
        mirvoLog(QStringLiteral("[Mirvo] speech model installed=") +
                 boolText(self->platform_.speechModelInstalled()));
        const DesktopCapabilities& capabilities = self->platform_.capabilities();
        mirvoLog(QStringLiteral("[Mirvo] keys may be watched and posted=") +
                 boolText(capabilities.keysReady()));
        if (!capabilities.keysReady()) {
            mirvoLog(QStringLiteral("[Mirvo] keys cannot be watched and posted — reshowing the "
                                    "setup checklist"));
            self->defaults_->setValue(onboardingCompletedKey, false);
            // Without a screen there is no checklist to fix it from, and showing it would only
            // come back here: say what is missing, once.
            if (!capabilities.screen) {
                mirvoLog(QStringLiteral("[Mirvo] no screen to show the setup checklist on, and "
                                        "dictation cannot start: ") +
                             capabilities.missing,
                         LogLevel::error);
                self->platform_.notifyUser(capabilities.missing);
                return;
            }
            self->showOnboarding();
            return;
        }
        self->startCoordinatorNow();
        mirvoLog(QStringLiteral("[Mirvo] coordinator up"));
    });
}

void MirvoAppDelegate::startCoordinatorNow() {
    coordinator_ =
        DictationCoordinator::make(platform_, options_, *defaults_, &hotkeyCommands_, history_);
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    coordinator_->onRecordingComplete = [weak] {
        if (auto self = weak.lock())
            self->showUpdateWindowIfNeeded();
    };
    coordinator_->onStartFailure = [weak](const QString& message) {
        if (auto self = weak.lock())
            self->notifyStartFailure(message);
    };
    refreshPasteRouting();
    coordinator_->start();
}

void MirvoAppDelegate::notifyStartFailure(const QString& message) {
    // The HUD has room for two words; the tray shows the whole message, not over and over.
    if (!statusItem_ || !statusItem_->isAvailable())
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto last = notifiedAt_.constFind(message);
    if (last != notifiedAt_.cend() && now - *last < qint64(timing_.notificationRepeat * 1000))
        return;
    notifiedAt_.insert(message, now);
    statusItem_->showMessage(QStringLiteral("Mirvo"), message);
}

void MirvoAppDelegate::showOnboarding() {
    // An invisible checklist would take every dictation into its try-it box.
    // Without a screen there is no checklist to finish: dictation starts when it can.
    if (!platform_.capabilities().screen) {
        mirvoLog(QStringLiteral("[Mirvo] no screen to show the setup checklist on"));
        // A finished checklist had the launch start dictation already.
        if (!defaults_->boolForKey(onboardingCompletedKey))
            startCoordinator();
        return;
    }
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    QTimer::singleShot(0, this, [this, weak] {
        if (onboarding_) {
            onboarding_->show();
            refreshPasteRouting();
            return;
        }
        auto checker = std::make_shared<SystemOnboardingChecker>(
            platform_, defaults_, platform_.makeLoginItem(),
            platform_.speechRecognizers(DictationCoordinator::recognitionSettings(*defaults_)));
        onboarding_ = std::make_shared<OnboardingWindowController>(
            std::make_shared<OnboardingDetector>(checker), checker,
            [weak] {
                if (auto self = weak.lock())
                    self->startCoordinator();
            },
            [weak] {
                if (auto self = weak.lock()) {
                    self->defaults_->setValue(onboardingCompletedKey, true);
                    self->onboarding_.reset();
                    self->refreshPasteRouting();
                    self->startCoordinator();
                }
            });
        onboarding_->onScreenChanged = [weak] {
            if (auto self = weak.lock())
                self->refreshPasteRouting();
        };
        onboarding_->show();
        refreshPasteRouting();
    });
}

void MirvoAppDelegate::refreshPasteRouting() {
    if (!coordinator_)
        return;
    // Only while the user can see the box: text sent to a closed checklist would be lost.
    if (!onboarding_ || !onboarding_->isOnScreen()) {
        coordinator_->alternatePasteHandler = nullptr;
        return;
    }
    std::weak_ptr<MirvoAppDelegate> weak = weak_from_this();
    coordinator_->alternatePasteHandler = [weak](const QString& text) {
        if (auto self = weak.lock(); self && self->onboarding_)
            self->onboarding_->setDemoText(text);
    };
}

void MirvoAppDelegate::installMenuBar() {
    statusItem_ = platform_.makeTray();
    QIcon icon;
    const QPixmap image(QStringLiteral(":/menubar-icon.png"));
    if (!image.isNull())
        icon = QIcon(image.scaled(22, 22, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    const QString key = platform_.holdKeyDisplayName(holdKey(*defaults_, platform_));

    menu_ = std::make_unique<QMenu>();
    const auto add = [this](const QString& title, auto action) {
        QAction* item = menu_->addAction(title);
        connect(item, &QAction::triggered, this, action);
        return item;
    };
    add(QStringLiteral("About Mirvo ") + UpdateChecker::currentAppVersion(),
        &MirvoAppDelegate::openWebsite);
    QAction* pendingUpdate = add(QString(), &MirvoAppDelegate::openPendingUpdate);
    pendingUpdate->setVisible(false);
    add(QStringLiteral("Check for Updates…"), &MirvoAppDelegate::manualUpdateCheck);
    add(QStringLiteral("Setup Checklist…"), &MirvoAppDelegate::openChecklist);
    pasteLastItem_ =
        add(QStringLiteral("Paste Last Dictation"), &MirvoAppDelegate::pasteLastDictation);
    recentMenu_ = menu_->addMenu(QStringLiteral("Recent Dictations"));
    menu_->addSeparator();
    speechEngineItem_ = menu_->addAction(QString());
    speechEngineItem_->setEnabled(false);
    speechServiceItem_ = add(QString(), &MirvoAppDelegate::toggleSpeechService);
    speechServiceItem_->setCheckable(true);
    menu_->addSeparator();
    launchAtLoginItem_ =
        add(QStringLiteral("Launch at Login"), &MirvoAppDelegate::toggleLaunchAtLogin);
    launchAtLoginItem_->setCheckable(true);
    menu_->addSeparator();
    QAction* quit = menu_->addAction(QStringLiteral("Quit Mirvo"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    connect(menu_.get(), &QMenu::aboutToShow, this, &MirvoAppDelegate::menuWillOpen);
    updates_ =
        std::make_shared<UpdateSchedule>(platform_, defaults_, manifestURL_, pendingUpdate,
                                         timing_.firstUpdateCheck, timing_.updateCheckInterval);

    statusItem_->show(icon, QStringLiteral("Mirvo — hold %1 to dictate").arg(key), menu_.get());
}

void MirvoAppDelegate::menuWillOpen() {
    launchAtLoginItem_->setChecked(loginItem_->isEnabled());
    const auto& service = coordinator_ ? coordinator_->speechService : std::nullopt;
    const bool serviceOn = service && service->on->load();
    speechEngineItem_->setText(QStringLiteral("Speech: ") +
                               (serviceOn ? service->name : QStringLiteral("on this computer")));
    speechServiceItem_->setVisible(service.has_value());
    if (service) {
        speechServiceItem_->setText(QStringLiteral("Use ") + service->name);
        speechServiceItem_->setChecked(serviceOn);
    }
    pasteLastItem_->setEnabled(!history_->isEmpty());
    recentMenu_->clear();
    const QList<DictationEntry> entries = history_->entries().mid(0, menuEntries);
    for (const DictationEntry& entry : entries) {
        QAction* item = recentMenu_->addAction(menuTitle(entry));
        connect(item, &QAction::triggered, this,
                [this, text = entry.text] { copyDictation(text); });
    }
    if (entries.isEmpty())
        recentMenu_->addAction(QStringLiteral("No Recent Dictations"))->setEnabled(false);
    recentMenu_->addSeparator();
    QAction* clear = recentMenu_->addAction(QStringLiteral("Clear Recent Dictations"));
    clear->setEnabled(!entries.isEmpty());
    connect(clear, &QAction::triggered, this, &MirvoAppDelegate::clearRecentDictations);
}

QString MirvoAppDelegate::menuTitle(const DictationEntry& entry) {
    // One line (a tab would start the shortcut column); an "&" is shown, not made a mnemonic.
    QString title = entry.text.simplified();
    if (title.size() > menuTitleLength)
        title = title.left(menuTitleLength) + QStringLiteral("…");
    title.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return entry.wasPasted() ? title : title + QStringLiteral(" (not pasted)");
}

void MirvoAppDelegate::pasteLastDictation() {
    if (!coordinator_) {
        mirvoLog(QStringLiteral("[Mirvo] paste last: dictation has not started yet"));
        return;
    }
    coordinator_->pasteLast();
}

void MirvoAppDelegate::copyDictation(const QString& text) {
    if (!pasteboard_)
        pasteboard_ = platform_.makePasteboard();
    pasteboard_->clearContents();
    if (!pasteboard_->setString(text)) {
        mirvoLog(QStringLiteral("[Mirvo] a recent dictation could not be copied"),
                 LogLevel::warning);
        return;
    }
    mirvoLog(QStringLiteral("[Mirvo] recent dictation copied: ") + dictatedText(text));
    platform_.notifyUser(ClipboardHandoffPaster::copiedMessage);
}

void MirvoAppDelegate::clearRecentDictations() {
    history_->clear();
    mirvoLog(QStringLiteral("[Mirvo] recent dictations cleared"));
}

void MirvoAppDelegate::openWebsite() {
    const QUrl url(websiteURLString(), QUrl::StrictMode);
    if (url.isValid() && !url.host().isEmpty())
        openURLOrSay(platform_, url);
}

void MirvoAppDelegate::openChecklist() {
    showOnboarding();
}

void MirvoAppDelegate::toggleSpeechService() {
    if (!coordinator_ || !coordinator_->speechService)
        return;
    const bool on = !coordinator_->speechService->on->load();
    coordinator_->speechService->on->store(on);
    defaults_->setValue(DictationCoordinator::speechServiceKey, on);
    mirvoLog(QStringLiteral("[Mirvo] speech: ") +
             (on ? coordinator_->speechService->name : QStringLiteral("on this computer")));
}

void MirvoAppDelegate::toggleLaunchAtLogin() {
    // The check mark follows the real state the next time the menu opens.
    const bool enable = !loginItem_->isEnabled();
    if (!loginItem_->setEnabled(enable))
        mirvoLog(QStringLiteral("[Mirvo] Launch at Login could not be turned ") +
                     (enable ? QStringLiteral("on") : QStringLiteral("off")),
                 LogLevel::warning);
}
