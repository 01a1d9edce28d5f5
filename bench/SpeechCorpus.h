#pragma once

#include "platform/Speech.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "support/Subprocess.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <cstdio>
#include <future>
#include <vector>

// Speech for the recognition figures: five voices of three synthesizers, for corpora made at
// bench time, and a clip through a recognizer.
struct Voice {
    QString name;
    QString program;
    QStringList arguments; // "%TEXT" and "%OUT" are replaced
};

inline const QList<Voice> voices = {
    {"flite_kal16", "flite", {"-voice", "kal16", "-t", "%TEXT", "-o", "%OUT"}},
    {"flite_awb", "flite", {"-voice", "awb", "-t", "%TEXT", "-o", "%OUT"}},
    {"flite_rms", "flite", {"-voice", "rms", "-t", "%TEXT", "-o", "%OUT"}},
    {"festival_kal",
     "sh",
     {"-c", "echo \"$0\" | text2wave -eval '(voice_kal_diphone)' -o \"$1\"", "%TEXT", "%OUT"}},
    {"espeak_en_us", "espeak-ng", {"-v", "en-us", "-w", "%OUT", "%TEXT"}},
};

// Speaks `text` with `voice` into a 16 kHz mono 16-bit file.
inline bool speak(const Voice& voice, const QString& text, const QString& path) {
    const QString raw = path + ".raw.wav";
    QStringList arguments;
    for (QString a : voice.arguments)
        arguments.append(a.replace("%TEXT", text).replace("%OUT", raw));
    const bool ok = Subprocess::run(voice.program, arguments, 60000) &&
                    Subprocess::run("sox", {raw, "-r", "16000", "-c", "1", "-b", "16", path});
    QFile::remove(raw);
    return ok;
}

// `audio` through `recognizer` as fast as it decodes; the final text. `task` keeps the task.
inline std::future<QString> recognise(SpeechRecognizer& recognizer,
                                      const std::vector<AudioBufferPtr>& audio,
                                      std::shared_ptr<RecognitionTask>& task, int taskHint = 0,
                                      const QStringList& hints = {}) {
    auto done = std::make_shared<std::promise<QString>>();
    auto request = std::make_shared<RecognitionRequest>();
    request->taskHint = taskHint;
    request->contextualStrings = hints;
    task = recognizer.recognitionTask(request, [done](const std::optional<RecognitionResult>& r,
                                                      const std::optional<MirvoError>& e) {
        if (e || (r && r->isFinal))
            done->set_value(r ? r->formattedString : QString());
    });
    for (const auto& b : audio)
        request->append(b);
    request->endAudio();
    return done->get_future();
}

// The installed speech model's folder; empty, having said so, when there is none.
inline QString speechModelOrComplain() {
    const QString model = PocketSphinxRecognizer::installedModelDirectory();
    if (model.isEmpty())
        std::fprintf(stderr, "no speech model\n");
    return model;
}
