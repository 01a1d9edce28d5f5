#pragma once

#include "LinuxOnly.h"

#include "platform/Speech.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

struct ps_decoder_s;

// Loaded PocketSphinx decoders, kept warm between recognition tasks. Loading one takes about half
// a second and ~90 MB, so one is loaded in the background at start-up and reused; a further one
// is loaded in the background when a task asks while all are busy, or when a long chunk is about
// to be rotated; idle decoders beyond the first are freed again. Thread-safe.
class DecoderPool final : public std::enable_shared_from_this<DecoderPool> {
public:
    // `modelDirectory` holds en-us/, en-us.lm.bin and cmudict-en-us.dict.
    explicit DecoderPool(QString modelDirectory);
    ~DecoderPool();
    DecoderPool(const DecoderPool&) = delete;
    DecoderPool& operator=(const DecoderPool&) = delete;

    // Loads a decoder in the background unless one is idle or already loading.
    void prepare();
    // A ready decoder, waiting for one to load or be released when none is idle; null when
    // `stop` is set (wake() waiters after setting it) or a decoder cannot be loaded.
    ps_decoder_s* acquire(const std::atomic<bool>& stop);
    void release(ps_decoder_s* decoder);
    void wake();

    // Decoders that exist: idle, in use and loading.
    int decoderCount() const;
    int idleCount() const;
    // Blocks until nothing is loading in the background.
    void waitUntilSettled();

private:
    ps_decoder_s* load();
    void finishLoad(ps_decoder_s* decoder);
    void startLoadLocked();
    void trimLocked(std::vector<ps_decoder_s*>& surplus);

    const QString modelDirectory_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ps_decoder_s*> idle_;
    int inUse_ = 0;
    int loading_ = 0;
    int waiting_ = 0;
    bool loadFailed_ = false;
};

// The on-device recognizer for English, on PocketSphinx. Every task decodes on a thread of its
// own with a decoder from the shared pool; results carry the recognised words (no fillers or
// silences) and their start times. Contextual strings are accepted and not used: PocketSphinx
// has no cheap way to bias its language model.
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
    // A provider with one pool for the process: a recognizer for "en-US" when the model is
    // installed, none otherwise. The pool starts warming up at once.
    static SpeechRecognizerProvider makeProvider();

    // Seconds of audio after which a task asks the pool for a spare decoder, ahead of the
    // chunk rotation that will need one.
    static constexpr double spareAfterSeconds = 35.0;

private:
    std::shared_ptr<DecoderPool> pool_;
};
