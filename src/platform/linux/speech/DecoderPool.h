#pragma once

#include "platform/linux/LinuxOnly.h"

#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

struct ps_decoder_s;
class DecoderPool;

// Work for a decoder of the pool: one recognition task.
class DecodeJob {
public:
    virtual ~DecodeJob() = default;
    // Runs on a worker of `pool`; `decoder` is null when none could be loaded or the job was
    // cancelled before it started. Reports to the task's handler before it returns.
    virtual void run(ps_decoder_s* decoder, DecoderPool& pool) = 0;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
    // Whether the job has anything for a decoder to do; one that has not is answered without
    // loading one, once a model has been seen to load.
    virtual bool needsDecoder() const = 0;
    // No more audio will come: the job is only finishing what it has.
    virtual bool isAudioEnded() const = 0;
};

// A bounded set of PocketSphinx decoders with one worker thread each. Loading a decoder takes
// about half a second and ~90 MB, so one is kept warm and reused; a second (the spare) is
// loaded when a job comes while the warm one is busy taking audio, and is freed again once it
// has been idle for `spareIdleSeconds` while the other sits idle too. A job that comes while the
// busy decoder only finishes audio that has ended (a chunk rotation, a dictation right after
// another) waits for it: the rest of an utterance decodes in far less time than a load takes.
// Jobs that find every decoder busy wait in a queue with their audio. However fast jobs come,
// there are never more than two decoders and two threads. Thread-safe.
class DecoderPool final {
public:
    static constexpr int maxDecoders = 2;

    // `modelDirectory` holds en-us/, en-us.lm.bin and cmudict-en-us.dict; `decoderArguments`
    // are further PocketSphinx options as name and value pairs ("-fwdflat", "no", …).
    explicit DecoderPool(QString modelDirectory, QStringList decoderArguments = {},
                         double spareIdleSeconds = 5.0);
    // Cancels what runs and waits for the workers.
    ~DecoderPool();
    DecoderPool(const DecoderPool&) = delete;
    DecoderPool& operator=(const DecoderPool&) = delete;

    // Loads a decoder in the background unless one is idle or already loading.
    void prepare();
    // Queues a job; the first worker with a decoder free runs it.
    void submit(std::shared_ptr<DecodeJob> job);
    // A queued job was cancelled: an idle worker answers it now.
    void wake();

    // Decoders that exist: idle, in use and loading.
    int decoderCount() const;
    // Whether a decoder has loaded from the model at least once.
    bool modelLoads() const;
    // Blocks until nothing is loading in the background.
    void waitUntilSettled();

private:
    struct Worker {
        std::thread thread;
        ps_decoder_s* decoder = nullptr;
        std::shared_ptr<DecodeJob> job;
        bool loading = false;
        bool preloadRequested = false;
    };

    void work(int index);
    bool mayTakeLocked(int index) const;
    bool needsLoadLocked(const DecodeJob& job) const;
    bool otherIdleWithDecoderLocked(int index) const;
    bool otherPreloadingLocked(int index) const;
    bool otherFinishingLocked(int index) const;
    // Loads the worker's decoder with the lock released meanwhile; logs a failure.
    void loadLocked(Worker& worker, std::unique_lock<std::mutex>& lock);
    ps_decoder_s* load();
    static void unload(ps_decoder_s* decoder);

    const QString modelDirectory_;
    const QStringList decoderArguments_;
    const double spareIdleSeconds_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::shared_ptr<DecodeJob>> queue_;
    Worker workers_[maxDecoders];
    bool stopping_ = false;
    bool everLoaded_ = false;
};
