#pragma once

#include "DecoderPool.h"
#include "UserVocabulary.h"
#include "platform/Speech.h"
#include "platform/linux/system/LinuxOnly.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

// What the decoders made of each word they heard last: sure of it, or in doubt (a low posterior
// probability). A recent transcript's words in doubt are no hints: favouring a misheard word
// makes it come back where it was not said. Words never heard here (a service's transcript)
// count as sure. Thread-safe.
class HeardWords final {
public:
    // Words below this posterior are in doubt.
    static constexpr double sureFrom = 0.5;

    void record(const QHash<QString, bool>& sure);
    // The phrases without the words in doubt, each split where one stood.
    QStringList withoutDoubted(const QStringList& phrases) const;

private:
    mutable std::mutex mutex_;
    QHash<QString, bool> sure_;
};

// The on-device recognizer for English, on PocketSphinx. Every task decodes on a worker of the
// shared pool; results carry the recognised words in lower case (no fillers or silences) and
// their start times; the core writes them. The decoder favours the request's contextual
// strings.
class PocketSphinxRecognizer final : public SpeechRecognizer {
public:
    // Hints are rid of the words `heard` (may be null) doubts.
    explicit PocketSphinxRecognizer(std::shared_ptr<DecoderPool> pool,
                                    std::shared_ptr<HeardWords> heard = nullptr);

    bool isAvailable() const override { return true; }
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) override;

    // The model directory: $MIRVO_POCKETSPHINX_MODEL when set, else Debian's
    // /usr/share/pocketsphinx/model/en-us. Empty when the model files are not there.
    static QString installedModelDirectory();
    // The directory looked in, whether or not the model is there.
    static QString modelDirectoryToUse();
    // A provider with one pool for the process: a recognizer for "en-US" when the model is
    // installed, none otherwise. The pool starts warming up at once; its decoders learn the
    // words of `vocabulary` (may be null) and, with spoken punctuation, the marks' words.
    static SpeechRecognizerProvider
    makeProvider(const RecognitionSettings& settings = {},
                 std::shared_ptr<VocabularyWatcher> vocabulary = nullptr);

    // The decoder options of a profile.
    static QStringList decoderArguments(RecognitionProfile profile);

private:
    std::shared_ptr<DecoderPool> pool_;
    std::shared_ptr<HeardWords> heard_;
};
