// DictationCoordinator::make(): the one place that names concrete components.
#include "DictationCoordinator.h"
#include "HybridTranscriber.h"
#include "MirvoConfig.h"
#include "ProxyClient.h"
#include "RecordingHUD.h"
#include "platform/Accessibility.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/linux/NetworkHTTPSession.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "platform/linux/PulseAudioEngine.h"
#include "platform/linux/QtClipboardPasteboard.h"
#include "platform/linux/QtHUDPanel.h"
#include "platform/linux/SettingsUserDefaults.h"
#include "platform/linux/XInput2EventTap.h"
#include "platform/linux/XTestKeyboardEvents.h"

std::shared_ptr<DictationCoordinator> DictationCoordinator::make() {
    const bool testMode = qgetenv("MIRVO_TEST_MODE") == "1";

    std::shared_ptr<HotkeyMonitor> hotkey;
    std::shared_ptr<AudioRecorder> recorder;
    std::unique_ptr<Paster> paster;
    std::optional<MirvoConfig> config;
    std::shared_ptr<ProxyClient> client;
    auto pasteboard = std::make_shared<QtClipboardPasteboard>();

    if (testMode) {
        hotkey = std::make_shared<SignalHotkeyMonitor>();
        const QString audio = qEnvironmentVariable("MIRVO_TEST_AUDIO");
        if (qEnvironmentVariableIsSet("MIRVO_TEST_AUDIO"))
            recorder = std::make_shared<FileAudioRecorder>(audio);
        else
            recorder =
                std::make_shared<AVEngineAudioRecorder>(std::make_unique<PulseAudioEngine>());
        paster = std::make_unique<PasteboardOnlyPaster>(pasteboard,
                                                        std::make_shared<NotificationCenter>());
    } else {
        // The push-to-talk key: an X keysym name under "ai.mirvo.hotkey", Control_R by default.
        QString key = SettingsUserDefaults().stringForKey(QStringLiteral("ai.mirvo.hotkey"));
        if (key.isEmpty())
            key = QStringLiteral("Control_R");
        hotkey = std::make_shared<CGEventTapHotkeyMonitor>(
            HotkeyStateMachine(),
            [key](uint64_t mask, EventTapCallback callback, void* userInfo) {
                return XInput2EventTap::create(mask, callback, userInfo, key);
            },
            &accessibilityIsProcessTrusted);
        recorder = std::make_shared<AVEngineAudioRecorder>(std::make_unique<PulseAudioEngine>());
        paster =
            std::make_unique<PasteboardPaster>(pasteboard, std::make_shared<XTestKeyboardEvents>());
        config = MirvoConfig::load(MirvoConfig::defaultPath());
        if (config)
            client = std::make_shared<ProxyClient>(*config, std::make_shared<NetworkHTTPSession>());
    }

    auto transcriberFactory =
        makeTranscriberFactory(config, client, PocketSphinxRecognizer::makeProvider());

    std::shared_ptr<Polisher> polisher;
    if (client && config && config->enablePolish) {
        mirvoLog(QStringLiteral("[Mirvo] polisher: LLM (%1)").arg(config->polishModel));
        polisher = std::make_shared<LLMPolisher>(client, LLMPolisher::systemPrompt);
    }

    auto hud = std::make_unique<HUDWindowController>([](HUDModel& model) {
        auto* view = new RecordingHUD(model);
        view->setTranslucent(QtHUDPanel::compositorRunning());
        return QtHUDPanel::create(view);
    });

    return std::make_shared<DictationCoordinator>(hotkey, recorder, std::move(transcriberFactory),
                                                  std::move(paster), std::move(hud), polisher);
}
