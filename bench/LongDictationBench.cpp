// A ten-minute dictation through the whole transcription path: the on-device transcriber
// rotating its chunks (on a clock that follows the audio) beside the cloud transcriber, whose
// WAV upload goes to a loopback proxy.
//   long_dictation_10min_word_count_error_percent  words heard against words spoken
//   long_dictation_10min_seam_repeats              words repeated where chunks meet
//   long_dictation_10min_upload_ok                 the proxy got the whole WAV (1/0)
//   long_dictation_10min_decoders_max              speech decoders alive at once
//   long_dictation_10min_peak_rss_mb               peak resident memory of this process while it
//                                                  transcribes, fed from the file at twice real
//                                                  time; the proxy runs in a child process
#include "Figures.h"
#include "SeamRepeats.h"
#include "core/CloudTranscriber.h"
#include "core/HybridTranscriber.h"
#include "core/ProxyClient.h"
#include "core/Transcriber.h"
#include "platform/linux/desktop/NetworkHTTPSession.h"
#include "platform/linux/sound/SndFileAudioFile.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "support/Await.h"
#include "support/LoopbackHTTPServer.h"
#include "support/ProxyConfig.h"
#include "support/SpokenText.h"
#include "support/Subprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>

// The loopback proxy as a process of its own, so that its copy of the upload is not counted:
// prints its address, then the body size of every request it answers.
int runProxy() {
    LoopbackHTTPServer proxy;
    // The proxy hears nothing, so the on-device text is the result and can be judged; the
    // upload is still made and checked.
    proxy.route("/t", {200, R"({"text":""})"});
    std::printf("%s\n", qPrintable(proxy.baseURL()));
    std::fflush(stdout);
    qsizetype reported = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (; reported < proxy.requests().size(); ++reported)
            std::printf("body %lld\n",
                        qlonglong(LoopbackHTTPServer::body(proxy.requests()[reported]).size()));
        std::fflush(stdout);
    });
    poll.start(20);
    return QCoreApplication::exec();
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--proxy") == 0)
        return runProxy();
    QTemporaryDir dir;
    // A shorter length may be given for profiling; the figures are for the ten minutes.
    const double length = argc > 1 ? std::max(QByteArray(argv[1]).toDouble(), 1.0) : 600.0;
    // Ten minutes of speech: the sentence corpus, again and again.
    QStringList spoken;
    const QStringList sentences = SpokenText::sentences();
    const QString path = dir.filePath(QStringLiteral("long.wav"));
    double seconds = 0;
    while (seconds < length) {
        spoken += sentences;
        if (!SpokenText::synthesize(spoken, path))
            return 1;
        const auto file = SndFileAudioFile::open(path);
        seconds = double(file->length()) / file->processingFormat()->sampleRate;
    }

    QProcess proxy;
    proxy.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--proxy")});
    if (!proxy.waitForReadyRead(10000))
        return 1;
    const QString proxyURL = QString::fromLatin1(proxy.readLine().trimmed());
    auto client = std::make_shared<ProxyClient>(proxyConfig(proxyURL),
                                                std::make_shared<NetworkHTTPSession>());
    // As the application's provider, but with the warm decoder loaded before the start.
    auto pool =
        DecoderPool::make(PocketSphinxRecognizer::installedModelDirectory(),
                          PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile));
    pool->prepare();
    pool->waitUntilSettled();
    const SpeechRecognizerProvider recognizers = [pool](const QString&) {
        return std::make_shared<PocketSphinxRecognizer>(pool);
    };
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
    const long startRss = processStatus("self", "VmRSS");
    hybrid.start();
    // The microphone delivers in real time; this feeds twice as fast (still more than a person
    // makes), one small buffer at a time, as the recorder does.
    const auto file = SndFileAudioFile::open(path);
    QElapsedTimer wall;
    wall.start();
    int mostDecoders = 0;
    for (;;) {
        AudioBufferPtr b = AudioBuffer::make(file->processingFormat(), 1024);
        file->read(*b);
        if (b->frameLength() == 0)
            break;
        clock += b->frameLength() / b->format()->sampleRate;
        hybrid.append(b);
        mostDecoders = std::max(mostDecoders, pool->decoderCount());
        while (wall.elapsed() < qint64(clock * 500)) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(5);
        }
    }
    const QStringList heard =
        SpokenText::words(await(hybrid.finish(), 900000).value.value_or(QString()));
    const QStringList reference = SpokenText::words(spoken.join(QLatin1Char(' ')));
    const long peakKilobytes = processStatus("self", "VmHWM");
    // What the proxy printed while the dictation finished is already read in.
    QByteArray proxyReport = proxy.readAll();
    while (!proxyReport.contains("body") && proxy.waitForReadyRead(5000))
        proxyReport += proxy.readAll();
    proxy.kill();
    proxy.waitForFinished();
    const QList<QByteArray> bodies = proxyReport.trimmed().split('\n');
    const bool uploaded = bodies.size() == 1 && bodies.first().startsWith("body ") &&
                          bodies.first().mid(5).toLongLong() > qlonglong(seconds * 16000 * 2);
    figure("long_dictation_10min_seconds", seconds, "s");
    figure("long_dictation_10min_word_count_error_percent",
           100.0 * std::abs(heard.size() - reference.size()) / reference.size(), "%");
    figure("long_dictation_10min_seam_repeats", repeatedRuns(reference, heard), "words");
    figure("long_dictation_10min_upload_ok", uploaded ? 1 : 0, "bool");
    figure("long_dictation_10min_decoders_max", mostDecoders, "decoders");
    figure("long_dictation_10min_peak_rss_mb", peakKilobytes / 1024.0, "MB");
    // What the dictation itself added at its peak, over the warm decoder already there.
    figure("long_dictation_10min_peak_growth_mb", (peakKilobytes - startRss) / 1024.0, "MB");
    return 0;
}
