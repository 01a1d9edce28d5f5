#pragma once

#include "DecoderPool.h"
#include "platform/Speech.h"
#include "platform/linux/LinuxOnly.h"

#include <QString>
#include <QStringList>

#include <memory>

// The on-device recognizer for English, on PocketSphinx. Every task decodes on a worker of the
// shared pool; results carry the recognised words (no fillers or silences) and their start
// times. Contextual strings are accepted and not used: PocketSphinx has no cheap way to bias its
// language model.
class PocketSphinxRecognizer final : public SpeechRecognizer {
public:
    explicit PocketSphinxRecognizer(std::shared_ptr<DecoderPool> pool);

    bool isAvailable() const override { return true; }
    bool supportsOnDeviceRecognition() const override { return true; }
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) override;

    // The model directory: $MIRVO_POCKETSPHINX_MODEL when set, else Debian's
    // /usr/share/pocketsphinx/model/en-us. Empty when the model files are not there.
    static QString installedModelDirectory();
    // The directory looked in, whether or not the model is there.
    static QString modelDirectoryToUse();
    // A provider with one pool for the process: a recognizer for "en-US" when the model is
    // installed, none otherwise. The pool starts warming up at once.
    static SpeechRecognizerProvider
    makeProvider(RecognitionProfile profile = defaultRecognitionProfile);

    // The decoder options of a profile.
    static QStringList decoderArguments(RecognitionProfile profile);

private:
    std::shared_ptr<DecoderPool> pool_;
};
