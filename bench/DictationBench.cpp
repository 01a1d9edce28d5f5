// End-to-end figures of a dictation, printed as "NAME VALUE UNIT". Runs on a private PulseAudio
// server whose microphone hears the speech played into it at real time.
#include "Figures.h"
#include "app/DictationAssembly.h"
#include "core/AudioRecorder.h"
#include "core/DictationCoordinator.h"
#include "core/DictationFormatter.h"
#include "core/HybridTranscriber.h"
#include "core/Polisher.h"
#include "core/ProxyClient.h"
#include "core/ServiceClient.h"
#include "core/ServiceConfig.h"
#include "doubles/FakeComponents.h"
#include "platform/linux/desktop/NetworkHTTPSession.h"
#include "platform/linux/sound/PulseAudioEngine.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "support/LoopbackHTTPServer.h"
#include "support/PulseAudioServer.h"
#include "support/SpokenText.h"
#include "support/Subprocess.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <future>
#include <unistd.h>

namespace {

// Notes when the first buffer reaches the transcriber.
class TimedTranscriber final : public Transcriber {
public:
    TimedTranscriber(std::shared_ptr<Transcriber> inner, std::function<void()> firstBuffer)
        : inner_(std::move(inner)), firstBuffer_(std::move(firstBuffer)) {}
    void start() override { inner_->start(); }
    void append(const AudioBufferPtr& b) override {
        if (!seen_.exchange(true))
            firstBuffer_();
        inner_->append(b);
    }
    QCoro::Task<QString> finish() override { return inner_->finish(); }

private:
    std::shared_ptr<Transcriber> inner_;
    std::function<void()> firstBuffer_;
    std::atomic<bool> seen_{false};
};

class TimedPaster final : public Paster {
public:
    PasteOutcome paste(const QString& text) override {
        last = text;
        ++count;
        return PasteOutcome::pasted;
    }
    PasteOutcome copyForUser(const QString& text) override { return paste(text); }
    QString last;
    int count = 0;
};

struct Timings {
    std::vector<double> releaseToPaste;
    std::vector<double> downToRecording;
};

// Dictations through the real recorder and transcribers, with the services `choice` names.
Timings dictate(PulseAudioServer& pulse, const QString& speech, int runs,
                TranscriberChoice choice = {}, std::shared_ptr<Polisher> polisher = nullptr) {
    auto hotkey = std::make_shared<FakeHotkeyMonitor>();
    auto paster = std::make_unique<TimedPaster>();
    TimedPaster* pasted = paster.get();
    const double serviceWait = choice.serviceWaitSeconds;
    auto inner = makeTranscriberFactory(std::move(choice), PocketSphinxRecognizer::makeProvider());
    QElapsedTimer clock;
    std::atomic<qint64> firstBufferAt{0};
    auto coordinator = std::make_shared<DictationCoordinator>(
        hotkey, std::make_shared<AVEngineAudioRecorder>(std::make_unique<PulseAudioEngine>()),
        [&](const QStringList& recent) {
            return std::make_shared<TimedTranscriber>(
                inner(recent), [&] { firstBufferAt = clock.nsecsElapsed(); });
        },
        std::move(paster), std::make_unique<HUDWindowController>([](HUDModel&) { return nullptr; }),
        std::move(polisher));
    coordinator->serviceWaitSeconds = serviceWait;
    coordinator->start();
    QTest::qWait(1500); // the speech model warms up

    Timings timings;
    for (int i = 0; i < runs; ++i) {
        const int before = pasted->count;
        firstBufferAt = 0;
        clock.restart();
        hotkey->press();
        QDeadlineTimer wait(5000);
        while (firstBufferAt == 0 && !wait.hasExpired())
            QTest::qWait(1);
        timings.downToRecording.push_back(double(firstBufferAt) / 1e6);
        pulse.play(speech);
        QTest::qWait(200);
        clock.restart();
        hotkey->release();
        wait = QDeadlineTimer(20000);
        while (pasted->count == before && !wait.hasExpired())
            QTest::qWait(1);
        timings.releaseToPaste.push_back(double(clock.nsecsElapsed()) / 1e6);
        QTest::qWait(300);
    }
    return timings;
}

struct ProcessSample {
    long rssKb = 0;
    double cpuSeconds = 0;
};

ProcessSample sample(pid_t pid) {
    ProcessSample s;
    s.rssKb = processStatus(QString::number(pid), "VmRSS");
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        s.cpuSeconds =
            double(fields[11].toLong() + fields[12].toLong()) / double(sysconf(_SC_CLK_TCK));
    }
    return s;
}

// A client of the OpenAI-compatible service at `base` (on this computer).
std::shared_ptr<ServiceClient> serviceAt(const QString& base, const QString& section) {
    const ServiceConfig config = ServiceConfig::decode(
        QStringLiteral(R"({"%1": {"url": "%2/v1", "model": "m"}})").arg(section, base).toUtf8());
    return std::make_shared<ServiceClient>(
        section == "polish" ? *config.polish : *config.transcription,
        []() -> QCoro::Task<QString> { co_return QStringLiteral("sk-bench"); },
        std::make_shared<NetworkHTTPSession>());
}

void serviceFigures(PulseAudioServer& pulse, const QString& speech) {
    using Response = LoopbackHTTPServer::Response;
    constexpr int serviceMs = 150;
    LoopbackHTTPServer server;
    server.route("/v1/audio/transcriptions", {200,
                                              R"({"text":"Service words, comma, new line done."})",
                                              Response::Behaviour::answer,
                                              "application/json",
                                              {},
                                              serviceMs});
    server.route("/v1/chat/completions", {200,
                                          R"({"choices":[{"message":{"content":"Clean."}}]})",
                                          Response::Behaviour::answer,
                                          "application/json",
                                          {},
                                          serviceMs});
    TranscriberChoice choice;
    choice.transcription = serviceAt(server.baseURL(), "transcription");
    const Timings answered = dictate(pulse, speech, 7, choice);
    figure("service_release_to_text_ms_p50", percentile(answered.releaseToPaste, 0.5) - serviceMs,
           "ms");
    // Both services, each answering after 150 ms: what Mirvo adds to their time.
    const Timings polished =
        dictate(pulse, speech, 7, choice,
                std::make_shared<LLMPolisher>(serviceAt(server.baseURL(), "polish"),
                                              LLMPolisher::systemPrompt));
    figure("polish_overhead_ms_p50", percentile(polished.releaseToPaste, 0.5) - 2 * serviceMs,
           "ms");

    // A service that never answers, and one that is not there: the on-device text is pasted.
    LoopbackHTTPServer silent;
    silent.route("/v1/audio/transcriptions", {200, "", Response::Behaviour::stall});
    choice.transcription = serviceAt(silent.baseURL(), "transcription");
    choice.serviceWaitSeconds = 1;
    const Timings late = dictate(pulse, speech, 3, choice);
    figure("service_timeout_fallback_ms", percentile(late.releaseToPaste, 0.5) - 1000, "ms");
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const QString nobody = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    choice.transcription = serviceAt(nobody, "transcription");
    const Timings refused = dictate(pulse, speech, 3, choice);
    figure("service_refused_fallback_ms", percentile(refused.releaseToPaste, 0.5), "ms");

    // Fifty names and terms: how many reach the prompt, and how many of a service's answers
    // using them come out spelled as the user writes them.
    QStringList vocabulary;
    QHash<QString, QString> forms;
    for (const char* stem : {"Kubernetes", "PostgreSQL", "Grafana", "Anna Kowalski", "OAuth",
                             "TypeScript", "GraphQL", "Terraform", "Żaneta Wiśniewska", "iPhone"})
        for (int i = 0; i < 5; ++i) {
            const QString entry =
                i ? QStringLiteral("%1 %2").arg(QString::fromUtf8(stem)).arg(QChar('A' + i))
                  : QString::fromUtf8(stem);
            vocabulary.append(entry);
            forms.insert(entry.toLower(), entry);
        }
    const QString prompt = transcriptionPrompt(vocabulary, "and the last thing I said");
    int kept = 0;
    for (const QString& entry : vocabulary)
        kept += prompt.contains(entry) ? 1 : 0;
    figure("service_prompt_vocabulary_kept_percent", 100.0 * kept / vocabulary.size(), "%");
    const DictationFormatter rules({true, forms});
    int spelled = 0;
    for (const QString& entry : vocabulary) {
        const QString written = rules.formatWritten(QStringLiteral("We talked about ") +
                                                    entry.toLower() + ", then left.");
        spelled += written == QStringLiteral("We talked about ") + entry + ", then left." ? 1 : 0;
    }
    figure("service_vocabulary_spelled_percent", 100.0 * spelled / vocabulary.size(), "%");
}

// A test-mode mirvo idle, then dictating the speech of `minute` as it plays into the microphone;
// with `words` the HUD shows the words heard, as by default.
void listeningFigures(PulseAudioServer& pulse, const QString& minute, const QString& dir,
                      bool words) {
    const QString config = dir + (words ? "/config-words" : "/config-no-words");
    QDir().mkpath(config + "/Mirvo");
    QFile defaults(config + "/Mirvo/defaults.conf");
    if (defaults.open(QIODevice::WriteOnly))
        defaults.write(words ? "" : "[General]\nai.mirvo.showHeardWords=false\n");
    defaults.close();
    Subprocess mirvo;
    mirvo.start(QStringLiteral(MIRVO_BINARY), {},
                {"MIRVO_TEST_MODE=1", "QT_QPA_PLATFORM=offscreen", "XDG_CONFIG_HOME=" + config}, {},
                dir + "/mirvo.log");
    QTest::qWait(4000);
    if (words)
        figure("idle_rss_mb", sample(mirvo.pid()).rssKb / 1024.0, "MB");
    ::kill(mirvo.pid(), SIGUSR1);
    QTest::qWait(500);
    const ProcessSample start = sample(mirvo.pid());
    QElapsedTimer wall;
    wall.start();
    pulse.play(minute);
    const ProcessSample end = sample(mirvo.pid());
    figure(words ? "listening_cpu_percent" : "listening_cpu_words_off_percent",
           100.0 * (end.cpuSeconds - start.cpuSeconds) / (wall.nsecsElapsed() / 1e9), "%");
    if (words)
        figure("dictating_rss_mb", end.rssKb / 1024.0, "MB");
    ::kill(mirvo.pid(), SIGUSR2);
    QTest::qWait(2000);
    mirvo.stop();
}

// Where each word of `wav` starts, in seconds, as the on-device recogniser aligns its final text.
std::vector<double> wordStarts(const QString& wav) {
    const auto recognizer = PocketSphinxRecognizer::makeProvider()(QStringLiteral("en-US"));
    auto request = std::make_shared<RecognitionRequest>();
    std::promise<std::vector<double>> starts;
    auto task = recognizer->recognitionTask(
        request, [&](const std::optional<RecognitionResult>& result, const auto&) {
            if (result && result->isFinal)
                starts.set_value(result->segmentTimestamps);
        });
    for (const AudioBufferPtr& buffer : SpokenText::load(wav))
        request->append(buffer);
    request->endAudio();
    return starts.get_future().get();
}

// From the end of a word in the speech (the start of the next, as the recogniser aligns them)
// to the HUD showing that many words, the speech played into the microphone at real time while
// the key is held; each word after the first of every dictation.
std::vector<double> heardWordsLags(const QString& speech, int runs) {
    const std::vector<double> starts = wordStarts(speech);
    auto hotkey = std::make_shared<FakeHotkeyMonitor>();
    auto coordinator = std::make_shared<DictationCoordinator>(
        hotkey, std::make_shared<AVEngineAudioRecorder>(std::make_unique<PulseAudioEngine>()),
        makeTranscriberFactory({}, PocketSphinxRecognizer::makeProvider()),
        std::make_unique<TimedPaster>(),
        std::make_unique<HUDWindowController>([](HUDModel&) { return nullptr; }), nullptr);
    coordinator->showsHeardWords = [] { return true; };
    coordinator->start();
    QTest::qWait(1500); // the speech model warms up
    QElapsedTimer sincePlay;
    std::vector<double> shownAt; // when the HUD first showed k + 1 words
    QObject::connect(&coordinator->hud().model(), &HUDModel::heardChanged, [&] {
        const qsizetype words =
            coordinator->hud().model().heard().split(' ', Qt::SkipEmptyParts).size();
        while (qsizetype(shownAt.size()) < words)
            shownAt.push_back(double(sincePlay.nsecsElapsed()) / 1e9);
    });
    std::vector<double> lags;
    for (int run = 0; run < runs; ++run) {
        shownAt.clear();
        hotkey->press();
        QTest::qWait(200);
        Subprocess player;
        sincePlay.start();
        player.start("paplay", {"--device=speaker", "--latency-msec=20", speech});
        while (player.isRunning())
            QTest::qWait(1);
        hotkey->release();
        for (size_t k = 0; k + 1 < starts.size() && k < shownAt.size(); ++k)
            lags.push_back(1000 * (shownAt[k] - starts[k + 1]));
        QTest::qWait(1500);
    }
    return lags;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    PulseAudioServer pulse;
    if (!pulse.start()) {
        std::fprintf(stderr, "cannot start PulseAudio: %s\n", qPrintable(pulse.error()));
        return 1;
    }
    const QString speech = QStringLiteral(MIRVO_SOURCE_DIR "/resources/demo/speech.wav");
    if (argc > 1 && QByteArray(argv[1]) == "services") { // the service figures alone
        serviceFigures(pulse, speech);
        return 0;
    }

    // The application itself: idle, then a 60-second dictation through the microphone, with the
    // words heard on the HUD (as by default) and without.
    const auto listening = [&] {
        QStringList spoken = SpokenText::sentences().mid(0, 19);
        const QString minute = dir.filePath("minute.wav");
        SpokenText::synthesize(spoken, minute);
        listeningFigures(pulse, minute, dir.path(), true);
        listeningFigures(pulse, minute, dir.path(), false);
    };
    if (argc > 1 && QByteArray(argv[1]) == "listening") { // the listening figures alone
        listening();
        return 0;
    }

    const Timings local = dictate(pulse, speech, 9);
    figure("release_to_paste_ms_p50", percentile(local.releaseToPaste, 0.5), "ms");
    figure("release_to_paste_ms_p95", percentile(local.releaseToPaste, 0.95), "ms");
    figure("key_down_to_recording_ms_p50", percentile(local.downToRecording, 0.5), "ms");
    figure("hud_words_lag_ms_p50", percentile(heardWordsLags(speech, 3), 0.5), "ms");

    {
        LoopbackHTTPServer proxy;
        MirvoConfig config;
        config.proxyBaseURL = proxy.baseURL();
        config.transcribeTargets = QList<TranscribeTarget>{{"/v1/audio", "m1"}};
        config.chatPath = "/v1/chat";
        config.polishModel = "p";
        config.enableCloudTranscription = true;
        for (int i = 0; i < 5; ++i)
            proxy.answer(200, R"({"text":"cloud words"})");
        TranscriberChoice choice;
        choice.config = config;
        choice.client =
            std::make_shared<ProxyClient>(config, std::make_shared<NetworkHTTPSession>());
        const Timings cloud = dictate(pulse, speech, 5, choice);
        figure("release_to_paste_cloud_ms_p50", percentile(cloud.releaseToPaste, 0.5), "ms");
    }
    serviceFigures(pulse, speech);
    listening();
    return 0;
}
