#pragma once

#include "UserVocabulary.h"
#include "platform/linux/system/LinuxOnly.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

struct ps_decoder_s;
class InMemoryFile;
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
    // The job waits for a decoder to load or to finish learning; told at most once, on a
    // worker's thread, with no lock of the pool held.
    virtual void waitingForModel() = 0;
    // Whether the job has anything for a decoder to do; one that has not is answered without
    // loading one, once a model has been seen to load.
    virtual bool needsDecoder() const = 0;
    // No more audio will come: the job is only finishing what it has.
    virtual bool isAudioEnded() const = 0;
    // Phrases its decoder should favour (the recent transcripts), and those the next job will
    // likely bring, for the decoder to prepare once this one is done.
    virtual QStringList hints() const = 0;
    virtual QStringList hintsForNext() const = 0;
};

// What decoders learn beyond their model: words with pronunciations, and phrases to favour.
struct Teaching {
    std::vector<TaughtWord> words;
    QStringList phrases;
};
// Asked from the workers' threads for what to teach now.
using TeachingSource = std::function<Teaching()>;

// A bounded set of PocketSphinx decoders with one worker thread each. Loading a decoder takes
// about half a second and ~90 MB, so one is kept warm and reused; a second (the spare) is
// loaded when a job comes while the warm one is busy taking audio or learning, and is freed
// again once it has been idle for `spareIdleSeconds` while the other sits idle too. A job that
// comes while the busy decoder only finishes audio that has ended (a chunk rotation, a dictation
// right after another) waits for it: the rest of an utterance decodes in far less time than a load
// takes. Jobs that find every decoder busy wait in a queue with their audio. However fast jobs
// come, there are never more than two decoders and two threads. Each decoder learns the teaching
// source's words when it loads and again when they change while it is idle (new words cost a
// search rebuild, ~0.2 s), and favours the source's phrases and the hints of a job, prepared
// after each job for the next one, off the dictation path. Thread-safe.
class DecoderPool final {
public:
    static constexpr int maxDecoders = 2;

    // `modelDirectory` holds en-us/, en-us.lm.bin and cmudict-en-us.dict; `decoderArguments`
    // are further PocketSphinx options as name and value pairs ("-fwdflat", "no", …).
    explicit DecoderPool(QString modelDirectory, QStringList decoderArguments = {},
                         double spareIdleSeconds = 5.0, TeachingSource teaching = {});
    // Cancels what runs and waits for the workers.
    ~DecoderPool();
    // A pool whose last owner does not wait for a load or a lesson in progress (neither can be
    // interrupted): what runs is cancelled, and the pool ends by itself once they are done, so
    // that quitting Mirvo never waits for the speech model. Its last owner may also let go on
    // one of the pool's own threads, in a task's handler.
    static std::shared_ptr<DecoderPool> make(QString modelDirectory,
                                             QStringList decoderArguments = {},
                                             double spareIdleSeconds = 5.0,
                                             TeachingSource teaching = {});
    DecoderPool(const DecoderPool&) = delete;
    DecoderPool& operator=(const DecoderPool&) = delete;

    // Loads a decoder in the background unless one is idle or already loading.
    void prepare();
    // Queues a job; the first worker with a decoder free runs it.
    void submit(std::shared_ptr<DecodeJob> job);
    // A queued job was cancelled: an idle worker answers it now.
    void wake();
    // What the teaching source gives has changed: each decoder learns it once it is free.
    void relearn();

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
        // Learning new words or phrases: busy, though it has no job.
        bool learning = false;
        bool preloadRequested = false;
        // The teaching or the hints may have changed since the decoder last learned.
        bool relearn = false;
        // Only the worker's own thread touches these.
        std::vector<TaughtWord> taught;
        QStringList favoured; // the words of each phrase favoured, one space apart
        QStringList lastHints;
        std::chrono::steady_clock::time_point learnAfter;
    };

    void work(int index);
    // Stops the workers; true when one is busy loading or learning and the pool must end with
    // the last of them instead of now.
    bool stopLocked();
    static void release(DecoderPool* pool);
    // Has a decoder, and nothing to do with it.
    static bool isReadyLocked(const Worker& worker);
    bool mayTakeLocked(int index) const;
    bool needsLoadLocked(const DecodeJob& job) const;
    bool otherIdleWithDecoderLocked(int index) const;
    bool otherPreloadingLocked(int index) const;
    bool otherFinishingLocked(int index) const;
    // Loads the worker's decoder with the lock released meanwhile, telling `waiting` (may be
    // null) first; logs a failure.
    void loadLocked(Worker& worker, std::unique_lock<std::mutex>& lock, DecodeJob* waiting);
    // Tells the queued jobs that wait for a load or a lesson in progress, once each; false when
    // there were none.
    bool tellWaitingLocked(std::unique_lock<std::mutex>& lock);
    // The model's dictionary with `words` added, for a decoder to read.
    struct Dictionary {
        Dictionary(const QString& modelDictionary, const std::vector<TaughtWord>& words);
        QByteArray path; // empty when it could not be made
        std::unique_ptr<InMemoryFile> merged;
    };

    ps_decoder_s* init(const QByteArray& languageModel, const QByteArray& dictionary) const;
    // A decoder that knows the teaching's words.
    ps_decoder_s* load(Worker& worker, const Teaching& teaching) const;
    static void unload(ps_decoder_s* decoder);
    // With the lock released, by the worker's thread: the source's words, then its phrases and
    // the worker's last hints to favour.
    void learn(Worker& worker, ps_decoder_s* decoder) const;
    void learn(Worker& worker, ps_decoder_s* decoder, const Teaching& teaching) const;
    // Learns what changed with the worker counted as busy meanwhile.
    void learnLocked(Worker& worker, std::unique_lock<std::mutex>& lock);
    // A dictionary of the model's words and the teaching's, in one search build. False when it
    // could not be loaded.
    bool teach(Worker& worker, ps_decoder_s* decoder, const Teaching& teaching) const;
    // False when the worker favoured these already.
    static bool favour(Worker& worker, ps_decoder_s* decoder, const Teaching& teaching,
                       const QStringList& hints);

    const QString modelDirectory_;
    const QStringList decoderArguments_;
    const double spareIdleSeconds_;
    const TeachingSource teaching_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    struct Queued {
        std::shared_ptr<DecodeJob> job;
        bool toldWaiting = false;
    };
    std::deque<Queued> queue_;
    Worker workers_[maxDecoders];
    bool stopping_ = false;
    bool everLoaded_ = false;
    // Let go while busy: the last worker to leave deletes the pool.
    bool abandoned_ = false;
    int liveWorkers_ = maxDecoders;
};
