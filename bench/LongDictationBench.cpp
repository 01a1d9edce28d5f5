// A ten-minute dictation through the whole transcription path: the on-device transcriber
// rotating its chunks (on a clock that follows the audio) beside the cloud transcriber, whose
// WAV upload goes to a loopback proxy.
//   long_dictation_10min_word_count_error_percent  words heard against words spoken
//   long_dictation_10min_seam_repeats              words repeated where chunks meet
//   long_dictation_10min_upload_ok                 the proxy got the whole WAV (1/0)
//   long_dictation_10min_peak_rss_mb               peak resident memory of this process while it
//                                                  transcribes, fed at twice real time; it also
//                                                  holds the proxy's copy of the upload
#include "Figures.h"
#include "mirvo/CloudTranscriber.h"
#include "mirvo/HybridTranscriber.h"
#include "mirvo/ProxyClient.h"
#include "mirvo/Transcriber.h"
#include "platform/linux/NetworkHTTPSession.h"
#include "platform/linux/PocketSphinxRecognizer.h"
#include "support/Await.h"
#include "support/LoopbackHTTPServer.h"
#include "support/ProxyConfig.h"
#include "support/SpokenText.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

long statusKilobytes(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLong();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    // Ten minutes of speech: the sentence corpus, again and again.
    QStringList spoken;
    const QStringList sentences = SpokenText::sentences();
    const QString path = dir.filePath(QStringLiteral("long.wav"));
    double seconds = 0;
    std::vector<AudioBufferPtr> audio;
    while (seconds < 600) {
        spoken += sentences;
        if (!SpokenText::synthesize(spoken, path))
            return 1;
        audio = SpokenText::load(path);
        seconds = 0;
        for (const auto& b : audio)
            seconds += b->frameLength() / b->format()->sampleRate;
    }

    LoopbackHTTPServer proxy;
    // The proxy hears nothing, so the on-device text is the result and can be judged; the
    // upload is still made and checked.
    proxy.answer(200, R"({"text":""})");
    auto client = std::make_shared<ProxyClient>(proxyConfig(proxy.baseURL()),
                                                std::make_shared<NetworkHTTPSession>());
    const SpeechRecognizerProvider recognizers = PocketSphinxRecognizer::makeProvider();
    SFTranscriber::Timing timing;
    timing.finishTimeout = 600;
    double clock = 0;
    timing.now = [&clock] { return clock; };
    auto local = std::make_shared<SFTranscriber>(QStringLiteral("en-US"), QStringList{},
                                                 recognizers, timing);
    auto cloud = std::make_shared<CloudTranscriber>(
        client, QList<TranscribeTarget>{{QStringLiteral("/t"), QStringLiteral("m")}});
    HybridTranscriber hybrid(local, cloud);
    // Peak memory from here on: the speech synthesis before is not Mirvo's.
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
    clearRefs.close();
    const long startRss = statusKilobytes("VmRSS:");
    hybrid.start();
    // The microphone delivers in real time; this feeds twice as fast (still more than a person
    // makes) and lets go of each buffer once handed over, as the recorder does.
    QElapsedTimer wall;
    wall.start();
    for (AudioBufferPtr& b : audio) {
        clock += b->frameLength() / b->format()->sampleRate;
        hybrid.append(std::exchange(b, nullptr));
        while (wall.elapsed() < qint64(clock * 500)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
    }
    const QStringList heard =
        SpokenText::words(await(hybrid.finish(), 900000).value.value_or(QString()));
    const QStringList reference = SpokenText::words(spoken.join(QLatin1Char(' ')));
    const bool uploaded =
        proxy.requests().size() == 1 &&
        LoopbackHTTPServer::body(proxy.requests().first()).size() > qsizetype(seconds * 16000 * 2);
    figure("long_dictation_10min_seconds", seconds, "s");
    figure("long_dictation_10min_word_count_error_percent",
           100.0 * std::abs(heard.size() - reference.size()) / reference.size(), "%");
    figure("long_dictation_10min_seam_repeats", SpokenText::repeatedRuns(reference, heard),
           "words");
    figure("long_dictation_10min_upload_ok", uploaded ? 1 : 0, "bool");
    figure("long_dictation_10min_peak_rss_mb", statusKilobytes("VmHWM:") / 1024.0, "MB");
    // What the dictation itself added at its peak, over the audio and decoder already there.
    figure("long_dictation_10min_peak_growth_mb", (statusKilobytes("VmHWM:") - startRss) / 1024.0,
           "MB");
    return 0;
}
