#include "DictationAssembly.h"

#include "common/LaunchOptions.h"
#include "common/Log.h"
#include "core/CloudTranscriber.h"
#include "core/DictationCoordinator.h"
#include "core/DictationFormatter.h"
#include "core/HybridTranscriber.h"
#include "core/MirvoConfig.h"
#include "core/ProxyClient.h"
#include "core/ServiceClient.h"
#include "core/ServiceKeys.h"
#include "core/SettingKeys.h"
#include "gui/RecordingHUD.h"
#include "platform/AudioEngine.h"
#include "platform/GlobalShortcut.h"
#include "platform/HUDPanel.h"
#include "platform/PlatformServices.h"
#include "platform/UserDefaults.h"

#include <QHostAddress>

RecognitionSettings recognitionSettings(const UserDefaults& defaults) {
    const QString name = defaults.stringForKey(SettingKeys::recognitionProfile);
    const std::optional<RecognitionProfile> chosen = recognitionProfileNamed(name);
    if (!chosen && !name.isEmpty())
        mirvoLog(QStringLiteral("[Mirvo] unknown recognition profile \"") + name +
                     QStringLiteral("\" — using ") +
                     recognitionProfileName(defaultRecognitionProfile),
                 LogLevel::warning);
    return {chosen.value_or(defaultRecognitionProfile),
            defaults.boolForKeyOr(SettingKeys::spokenPunctuation, true)};
}

std::shared_ptr<DictationCoordinator>
makeDictationCoordinator(PlatformServices& platform, const LaunchOptions& options,
                         UserDefaults& defaults, HotkeyCommands* commands,
                         std::shared_ptr<DictationHistory> history) {
    std::shared_ptr<HotkeyMonitor> hotkey;
    std::shared_ptr<AudioRecorder> recorder;
    std::unique_ptr<Paster> paster;
    std::optional<MirvoConfig> config;
    std::shared_ptr<ProxyClient> client;
    // Where the services are named; none in test mode without a file.
    QString servicesPath;
    auto pasteboard = platform.makePasteboard();

    if (options.testMode) {
        hotkey = std::make_shared<SignalHotkeyMonitor>(platform.makeSignalSource());
        if (options.testAudio)
            recorder =
                std::make_shared<FileAudioRecorder>(*options.testAudio, platform.audioFileOpener());
        else
            recorder = std::make_shared<AVEngineAudioRecorder>(platform.makeAudioEngine());
        paster = std::make_unique<PasteboardOnlyPaster>(pasteboard);
        servicesPath = options.testServices.value_or(QString());
    } else {
        const QString key = holdKey(defaults, platform);
        const DesktopCapabilities& capabilities = platform.capabilities();
        // The key is read at every start, so that one the user chooses later is watched.
        if (capabilities.holdKey == DesktopCapabilities::HoldKey::watched)
            hotkey = std::make_shared<CGEventTapHotkeyMonitor>(
                [&platform, &defaults](HoldKeyChanged changed) {
                    return platform.watchHoldKey(holdKey(defaults, platform), std::move(changed));
                },
                [&platform] { return platform.capabilities().keysReady(); });
        else if (std::unique_ptr<GlobalShortcut> shortcut = platform.makeGlobalShortcut())
            hotkey = std::make_shared<ShortcutHotkeyMonitor>(std::move(shortcut), key);
        else
            mirvoLog(QStringLiteral("[Mirvo] hold key: through the desktop's key bindings "
                                    "(mirvo --hold / --release / --toggle)"));
        recorder = std::make_shared<AVEngineAudioRecorder>(platform.makeAudioEngine());
        const auto tellUser = [&platform](const QString& summary) { platform.notifyUser(summary); };
        if (capabilities.pasteChord == DesktopCapabilities::PasteChord::none)
            paster = std::make_unique<ClipboardHandoffPaster>(pasteboard, tellUser);
        else if (capabilities.pasteChord == DesktopCapabilities::PasteChord::remoteDesktop)
            paster = std::make_unique<AllowedChordPaster>(pasteboard, platform.makeKeyboardEvents(),
                                                          tellUser);
        else
            paster = std::make_unique<PasteboardPaster>(pasteboard, platform.makeKeyboardEvents());
        config = MirvoConfig::load(MirvoConfig::defaultPath(platform.configDirectory()));
        if (config)
            client = std::make_shared<ProxyClient>(*config, platform.makeHTTPSession());
        servicesPath = ServiceConfig::defaultPath(platform.configDirectory());
    }
    const bool loopbackOnly = options.testMode;
    Services services;
    if (!servicesPath.isEmpty())
        services = makeServices(platform, servicesPath, loopbackOnly);

    hotkey = std::make_shared<CommandHotkeyMonitor>(std::move(hotkey), commands);

    // The service is on unless the user switched it off in the tray.
    auto serviceOn = std::make_shared<std::atomic<bool>>(
        defaults.boolForKeyOr(SettingKeys::useSpeechService, true));
    // Shared with the reload below, which the Settings window asks for.
    auto choice = std::make_shared<TranscriberChoice>();
    choice->config = config;
    choice->client = client;
    choice->vocabulary = platform.vocabulary();
    choice->serviceOn = [serviceOn] { return serviceOn->load(); };
    // The recognition settings are read at every dictation, so that a change applies to the next
    // one; the recognizers of each are the platform's warm ones, those of today's made now.
    auto factories = std::make_shared<std::map<RecognitionSettings, TranscriberFactory>>();
    const auto factoryFor = [&platform, choice, factories](const RecognitionSettings& settings) {
        TranscriberFactory& factory = (*factories)[settings];
        if (!factory) {
            TranscriberChoice chosen = *choice;
            // One set of written-text rules for the device's words and a service's text.
            chosen.writing = [vocabulary = choice->vocabulary, settings] {
                QHash<QString, QString> forms;
                for (const QString& entry : vocabulary())
                    forms.insert(entry.simplified().toLower(), entry.simplified());
                return DictationFormatter({settings.spokenPunctuation, forms});
            };
            factory = makeTranscriberFactory(chosen, platform.speechRecognizers(settings));
        }
        return factory;
    };
    // `defaults` outlives the coordinator (the shell owns both).
    TranscriberFactory transcriberFactory = [&defaults, factoryFor](const QStringList& recent) {
        return factoryFor(recognitionSettings(defaults))(recent);
    };

    std::shared_ptr<Polisher> polisher;
    // The clean-up service as the settings name it now, while the user has the service on.
    auto cleanUp = std::make_shared<std::shared_ptr<Polisher>>();
    if (services.polish) {
        mirvoLog(QStringLiteral("[Mirvo] polisher: LLM (") +
                 services.polish->endpoint().displayName() + QLatin1Char(')'));
        polisher = std::make_shared<SwitchedPolisher>(
            [cleanUp, serviceOn] { return serviceOn->load() ? *cleanUp : nullptr; });
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
        polisher, platform.texts(), DictationCoordinator::maxDictationSeconds, std::move(history));
    // On unless the user switched it off.
    coordinator->showsHeardWords = [&defaults] {
        return defaults.boolForKeyOr(SettingKeys::showHeardWords, true);
    };
    // What the services of the settings decide: chosen now, and again whenever the Settings
    // window changes them.
    const auto choose = [choice, factories, cleanUp, serviceOn](DictationCoordinator& coordinator,
                                                                const Services& chosen) {
        choice->transcription = chosen.transcription;
        choice->serviceWaitSeconds =
            chosen.config ? chosen.config->fallbackSeconds : ::serviceWaitSeconds;
        factories->clear();
        *cleanUp = chosen.polish
                       ? std::make_shared<LLMPolisher>(chosen.polish, LLMPolisher::systemPrompt)
                       : nullptr;
        coordinator.serviceWaitSeconds = choice->serviceWaitSeconds;
        coordinator.speechService.reset();
        if (chosen.transcription)
            coordinator.speechService = DictationCoordinator::SpeechService{
                chosen.transcription->endpoint().displayName(), serviceOn};
    };
    choose(*coordinator, services);
    factoryFor(recognitionSettings(defaults));
    std::weak_ptr<DictationCoordinator> weak = coordinator;
    coordinator->reloadServices = [=, &platform, &defaults] {
        serviceOn->store(defaults.boolForKeyOr(SettingKeys::useSpeechService, true));
        const auto coordinator = weak.lock();
        if (coordinator && !servicesPath.isEmpty())
            choose(*coordinator, makeServices(platform, servicesPath, loopbackOnly));
    };
    return coordinator;
}

namespace {

// Reads a key at launch, so that a keyring that asks to be unlocked asks then, not during the
// first dictation.
QCoro::Task<> readEarly(std::shared_ptr<ServiceKeys> keys, QString name, QString otherwise) {
    co_await keys->key(name, otherwise);
}

} // namespace

Services makeServices(PlatformServices& platform, const QString& path, bool loopbackOnly) {
    Services services;
    services.config = ServiceConfig::load(path);
    if (!services.config)
        return services;
    const auto onThisComputer = [](const std::optional<ServiceEndpoint>& endpoint) {
        return !endpoint || QHostAddress(endpoint->url.host()).isLoopback();
    };
    if (loopbackOnly && (!onThisComputer(services.config->transcription) ||
                         !onThisComputer(services.config->polish))) {
        mirvoLog(QStringLiteral("[Mirvo] MIRVO_TEST_SERVICES ignored: its services must be on "
                                "127.0.0.1"),
                 LogLevel::warning);
        services.config.reset();
        return services;
    }
    auto keys = std::make_shared<ServiceKeys>(
        platform.makeSecretStore(), ServiceKeys::defaultFolder(platform.configDirectory()));
    auto session = platform.makeHTTPSession();
    ServiceLimits limits;
    limits.longestRetryWait = services.config->fallbackSeconds;
    const auto client = [&](const ServiceEndpoint& endpoint, const QString& name,
                            const QString& otherwise) {
        if (!endpoint.keyAllowed)
            mirvoLog(QStringLiteral("[Mirvo/Service] %1 over plain http: no key is sent to %2")
                         .arg(name, endpoint.url.host()));
        readEarly(keys, name, otherwise);
        return std::make_shared<ServiceClient>(
            endpoint, [keys, name, otherwise] { return keys->key(name, otherwise); }, session,
            limits);
    };
    const std::optional<ServiceEndpoint>& speech = services.config->transcription;
    if (speech)
        services.transcription = client(*speech, QStringLiteral("transcription"), QString());
    if (const std::optional<ServiceEndpoint>& chat = services.config->polish) {
        const bool sameService = speech && speech->url.host() == chat->url.host();
        services.polish = client(*chat, QStringLiteral("polish"),
                                 sameService ? QStringLiteral("transcription") : QString());
    }
    return services;
}

TranscriberFactory makeTranscriberFactory(std::optional<MirvoConfig> config,
                                          std::shared_ptr<ProxyClient> client,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing) {
    TranscriberChoice choice;
    choice.config = std::move(config);
    choice.client = std::move(client);
    return makeTranscriberFactory(std::move(choice), std::move(recognizers), std::move(timing));
}

TranscriberFactory makeTranscriberFactory(TranscriberChoice choice,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing) {
    return [choice = std::move(choice), recognizers = std::move(recognizers),
            timing = std::move(timing)](const QStringList& recent) -> std::shared_ptr<Transcriber> {
        SFTranscriber::ResultWriter writer;
        HybridTranscriber::WrittenRules rules;
        if (const auto writing = choice.writing) {
            writer = [writing](const RecognitionResult& heard) { return writing().format(heard); };
            rules = [writing](const QString& text) { return writing().formatWritten(text); };
        }
        auto local = std::make_shared<SFTranscriber>(QStringLiteral("en-US"), recent, recognizers,
                                                     timing, writer);
        const auto hybrid = [&](std::shared_ptr<CloudTranscriber> cloud) {
            return std::make_shared<HybridTranscriber>(local, std::move(cloud),
                                                       choice.serviceWaitSeconds, rules);
        };
        if (choice.transcription && (!choice.serviceOn || choice.serviceOn())) {
            const std::shared_ptr<ServiceClient> service = choice.transcription;
            const QString prompt =
                transcriptionPrompt(choice.vocabulary ? choice.vocabulary() : QStringList(),
                                    recent.isEmpty() ? QString() : recent.last());
            mirvoLog(QStringLiteral("[Mirvo] transcriber: hybrid (local + ") +
                     service->endpoint().displayName() + QLatin1Char(')'));
            return hybrid(std::make_shared<CloudTranscriber>(std::vector<CloudTranscriber::Target>{
                {service->endpoint().model, [service, prompt](QByteArray wav) {
                     return service->transcribe(std::move(wav), prompt);
                 }}}));
        }
        if (choice.client && choice.config && choice.config->enableCloudTranscription) {
            const QList<TranscribeTarget> targets = choice.config->resolvedTargets();
            if (targets.isEmpty()) {
                mirvoLog(
                    QStringLiteral("[Mirvo] transcriber: local only (no cloud targets resolved)"));
                return local;
            }
            QStringList models;
            for (const TranscribeTarget& t : targets)
                models.append(t.model);
            mirvoLog(QStringLiteral("[Mirvo] transcriber: hybrid (local + cloud: %1)")
                         .arg(models.join(QStringLiteral(" → "))));
            return hybrid(std::make_shared<CloudTranscriber>(choice.client, targets));
        }
        mirvoLog(QStringLiteral("[Mirvo] transcriber: local only"));
        return local;
    };
}
