// DictationCoordinator::make(): the one place that chooses the dictation components.
#include "RecordingHUD.h"
#include "ServiceAssembly.h"
#include "common/Log.h"
#include "core/DictationCoordinator.h"
#include "core/DictationFormatter.h"
#include "core/HybridTranscriber.h"
#include "core/MirvoConfig.h"
#include "core/ProxyClient.h"
#include "core/ServiceClient.h"
#include "platform/AudioEngine.h"
#include "platform/GlobalShortcut.h"
#include "platform/HUDPanel.h"
#include "platform/PlatformServices.h"
#include "platform/UserDefaults.h"

RecognitionSettings DictationCoordinator::recognitionSettings(const UserDefaults& defaults) {
    const QString name = defaults.stringForKey(QStringLiteral("ai.mirvo.recognitionProfile"));
    const std::optional<RecognitionProfile> chosen = recognitionProfileNamed(name);
    if (!chosen && !name.isEmpty())
        mirvoLog(QStringLiteral("[Mirvo] unknown recognition profile \"") + name +
                     QStringLiteral("\" — using ") +
                     recognitionProfileName(defaultRecognitionProfile),
                 LogLevel::warning);
    const QString punctuationKey = QStringLiteral("ai.mirvo.spokenPunctuation");
    return {chosen.value_or(defaultRecognitionProfile),
            defaults.stringForKey(punctuationKey).isEmpty() || defaults.boolForKey(punctuationKey)};
}

std::shared_ptr<DictationCoordinator>
DictationCoordinator::make(PlatformServices& platform, const LaunchOptions& options,
                           UserDefaults& defaults, HotkeyCommands* commands,
                           std::shared_ptr<DictationHistory> history) {
    std::shared_ptr<HotkeyMonitor> hotkey;
    std::shared_ptr<AudioRecorder> recorder;
    std::unique_ptr<Paster> paster;
    std::optional<MirvoConfig> config;
    std::shared_ptr<ProxyClient> client;
    Services services;
    auto pasteboard = platform.makePasteboard();

    if (options.testMode) {
        hotkey = std::make_shared<SignalHotkeyMonitor>(platform.makeSignalSource());
        if (options.testAudio)
            recorder =
                std::make_shared<FileAudioRecorder>(*options.testAudio, platform.audioFileOpener());
        else
            recorder = std::make_shared<AVEngineAudioRecorder>(platform.makeAudioEngine());
        paster = std::make_unique<PasteboardOnlyPaster>(pasteboard);
        if (options.testServices)
            services = makeServices(platform, *options.testServices, true);
    } else {
        const QString key = holdKey(defaults, platform);
        const DesktopCapabilities& capabilities = platform.capabilities();
        if (capabilities.holdKey == DesktopCapabilities::HoldKey::watched)
            hotkey = std::make_shared<CGEventTapHotkeyMonitor>(
                [&platform, key](HoldKeyChanged changed) {
                    return platform.watchHoldKey(key, std::move(changed));
                },
                [&platform] { return platform.capabilities().keysReady(); });
        else if (std::unique_ptr<GlobalShortcut> shortcut = platform.makeGlobalShortcut())
            hotkey = std::make_shared<ShortcutHotkeyMonitor>(std::move(shortcut), key);
        else
            mirvoLog(QStringLiteral("[Mirvo] hold key: through the desktop's key bindings "
                                    "(mirvo --hold / --release / --toggle)"));
        recorder = std::make_shared<AVEngineAudioRecorder>(platform.makeAudioEngine());
        if (capabilities.pasteChord != DesktopCapabilities::PasteChord::none)
            paster = std::make_unique<PasteboardPaster>(pasteboard, platform.makeKeyboardEvents());
        else
            paster = std::make_unique<ClipboardHandoffPaster>(
                pasteboard, [&platform](const QString& summary) { platform.notifyUser(summary); });
        config = MirvoConfig::load(MirvoConfig::defaultPath(platform.configDirectory()));
        if (config)
            client = std::make_shared<ProxyClient>(*config, platform.makeHTTPSession());
        services =
            makeServices(platform, ServiceConfig::defaultPath(platform.configDirectory()), false);
    }

    hotkey = std::make_shared<CommandHotkeyMonitor>(std::move(hotkey), commands);

    const RecognitionSettings settings = recognitionSettings(defaults);
    // The service is on unless the user switched it off in the tray.
    auto serviceOn = std::make_shared<std::atomic<bool>>(
        defaults.stringForKey(speechServiceKey).isEmpty() || defaults.boolForKey(speechServiceKey));
    TranscriberChoice choice;
    choice.config = config;
    choice.client = client;
    choice.transcription = services.transcription;
    choice.vocabulary = platform.vocabulary();
    choice.serviceOn = [serviceOn] { return serviceOn->load(); };
    // One set of written-text rules for the device's words and a service's text.
    choice.writing = [vocabulary = choice.vocabulary, settings] {
        QHash<QString, QString> forms;
        for (const QString& entry : vocabulary())
            forms.insert(entry.simplified().toLower(), entry.simplified());
        return DictationFormatter({settings.spokenPunctuation, forms});
    };
    if (services.config)
        choice.serviceWaitSeconds = services.config->fallbackSeconds;
    auto transcriberFactory = makeTranscriberFactory(choice, platform.speechRecognizers(settings));

    std::shared_ptr<Polisher> polisher;
    if (services.polish) {
        mirvoLog(QStringLiteral("[Mirvo] polisher: LLM (") +
                 services.polish->endpoint().displayName() + QLatin1Char(')'));
        polisher = std::make_shared<SwitchedPolisher>(
            std::make_shared<LLMPolisher>(services.polish, LLMPolisher::systemPrompt),
            choice.serviceOn);
    } else if (client && config && config->enablePolish) {
        mirvoLog(QStringLiteral("[Mirvo] polisher: LLM (") + config->polishModel +
                 QLatin1Char(')'));
        polisher = std::make_shared<LLMPolisher>(client, LLMPolisher::systemPrompt);
    }

    auto hud = std::make_unique<HUDWindowController>([&platform](HUDModel& model) {
        auto* view = new RecordingHUD(model);
        view->setTranslucent(platform.capabilities().translucentWindows);
        return platform.makeHUDPanel(view);
    });

    auto coordinator = std::make_shared<DictationCoordinator>(
        hotkey, recorder, std::move(transcriberFactory), std::move(paster), std::move(hud),
        polisher, platform.texts(), maxDictationSeconds, std::move(history));
    if (services.config) {
        coordinator->serviceWaitSeconds = services.config->fallbackSeconds;
        if (services.transcription)
            coordinator->speechService =
                SpeechService{services.transcription->endpoint().displayName(), serviceOn};
    }
    return coordinator;
}
