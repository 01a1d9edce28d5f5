#include "DecoderPool.h"

#include "LanguageBias.h"
#include "common/Log.h"
#include "platform/linux/system/InMemoryFile.h"

#include <pocketsphinx.h>

#include <QFile>

#include <malloc.h>

#include <chrono>

#include <sphinxbase/err.h>

namespace {

// How long a decoder waits after a job before it prepares the next one's hints.
constexpr std::chrono::milliseconds learningDelay(250);

// PocketSphinx keeps process-wide state (its log file, the command-line defaults) that
// concurrent loads would share: the log is silenced once, before the first decoder, and loads
// and frees take turns.
std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}

// A dictionary, a search or a favoured model swapped leaves many small freed blocks (some MB in
// all) that the allocator keeps for the process unless asked to give them back.
void releaseFreedMemory() {
    malloc_trim(0);
}

void silenceLibraryLogOnce() {
    static std::once_flag once;
    std::call_once(once, [] { err_set_logfp(nullptr); });
}

} // namespace

DecoderPool::DecoderPool(QString modelDirectory, QStringList decoderArguments,
                         double spareIdleSeconds, TeachingSource teaching)
    : modelDirectory_(std::move(modelDirectory)), decoderArguments_(std::move(decoderArguments)),
      spareIdleSeconds_(spareIdleSeconds), teaching_(std::move(teaching)) {
    silenceLibraryLogOnce();
    for (int i = 0; i < maxDecoders; ++i)
        workers_[i].thread = std::thread([this, i] { work(i); });
}

DecoderPool::~DecoderPool() {
    {
        std::lock_guard lock(mutex_);
        stopLocked();
    }
    changed_.notify_all();
    for (Worker& w : workers_)
        if (w.thread.joinable())
            w.thread.join();
    // Queued jobs are answered, so that no caller waits for them in vain.
    for (const Queued& queued : queue_) {
        queued.job->cancel();
        queued.job->run(nullptr, *this);
    }
    for (Worker& w : workers_)
        unload(w.decoder);
}

std::shared_ptr<DecoderPool> DecoderPool::make(QString modelDirectory, QStringList decoderArguments,
                                               double spareIdleSeconds, TeachingSource teaching) {
    return std::shared_ptr<DecoderPool>(new DecoderPool(std::move(modelDirectory),
                                                        std::move(decoderArguments),
                                                        spareIdleSeconds, std::move(teaching)),
                                        &DecoderPool::release);
}

bool DecoderPool::stopLocked() {
    stopping_ = true;
    bool busy = false;
    for (Worker& w : workers_) {
        if (w.job)
            w.job->cancel();
        busy = busy || w.loading || w.learning;
    }
    return busy;
}

void DecoderPool::release(DecoderPool* pool) {
    std::unique_lock lock(pool->mutex_);
    // The last owner may let go on a worker's own thread (a task's handler can hold it), which
    // cannot wait for itself.
    bool onWorker = false;
    for (const Worker& w : pool->workers_)
        onWorker = onWorker || w.thread.get_id() == std::this_thread::get_id();
    if (!pool->stopLocked() && !onWorker) {
        lock.unlock();
        delete pool; // nothing long runs: the workers leave at once
        return;
    }
    // From here the last worker owns the pool.
    pool->abandoned_ = true;
    for (Worker& w : pool->workers_)
        w.thread.detach();
    pool->changed_.notify_all();
}

DecoderPool::Dictionary::Dictionary(const QString& modelDictionary,
                                    const std::vector<TaughtWord>& words) {
    if (words.empty()) {
        path = QFile::encodeName(modelDictionary);
        return;
    }
    // The model's own words, then the taught ones (a word the model has keeps its own).
    QFile model(modelDictionary);
    if (!model.open(QIODevice::ReadOnly))
        return;
    QByteArray text = model.readAll();
    for (const TaughtWord& word : words)
        text += word.spelling + ' ' + word.phones + '\n';
    merged = std::make_unique<InMemoryFile>("mirvo-dictionary", text);
    path = merged->path();
}

ps_decoder_t* DecoderPool::init(const QByteArray& languageModel,
                                const QByteArray& dictionary) const {
    QList<QByteArray> storage = {
        "-hmm",  (modelDirectory_ + QStringLiteral("/en-us")).toLocal8Bit(),
        "-lm",   languageModel,
        "-dict", dictionary};
    for (const QString& argument : decoderArguments_)
        storage.append(argument.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : storage)
        argv.push_back(a.data());
    std::lock_guard lock(libraryMutex());
    cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), int(argv.size()), argv.data(), TRUE);
    if (!config)
        return nullptr;
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config); // the decoder keeps its own reference
    return decoder;
}

ps_decoder_t* DecoderPool::load(Worker& worker, const Teaching& teaching) const {
    // The real model from the start, with no words: the model set sizes its word table from the
    // model it is made with and never grows it, so a small seed model would leave the whole
    // dictionary chained into a few buckets (seconds of CPU on every dictionary load). With no
    // dictionary words the first search build is empty; the one that counts comes with the
    // full dictionary, once.
    ps_decoder_t* decoder =
        init(QFile::encodeName(modelDirectory_ + QStringLiteral("/en-us.lm.bin")), "/dev/null");
    if (!decoder)
        return nullptr;
    if (!teach(worker, decoder, teaching)) {
        unload(decoder);
        return nullptr;
    }
    return decoder;
}

void DecoderPool::unload(ps_decoder_t* decoder) {
    if (!decoder)
        return;
    std::lock_guard lock(libraryMutex());
    ps_free(decoder);
    // A decoder is some 90 MB in many small blocks.
    releaseFreedMemory();
}

void DecoderPool::loadLocked(Worker& worker, std::unique_lock<std::mutex>& lock,
                             DecodeJob* waiting) {
    worker.loading = true;
    lock.unlock();
    if (waiting)
        waiting->waitingForModel();
    const auto started = std::chrono::steady_clock::now();
    ps_decoder_t* decoder = load(worker, teaching_ ? teaching_() : Teaching{});
    if (decoder) // also what changed while it loaded
        learn(worker, decoder);
    lock.lock();
    worker.loading = false;
    worker.decoder = decoder;
    everLoaded_ = everLoaded_ || decoder;
    if (decoder)
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] speech model ready in %1 ms")
                     .arg(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - started)
                              .count()));
    else
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] could not load the speech model from %1")
                     .arg(modelDirectory_),
                 LogLevel::error);
}

bool DecoderPool::isReadyLocked(const Worker& worker) {
    return worker.decoder && !worker.job && !worker.loading && !worker.learning;
}

bool DecoderPool::otherIdleWithDecoderLocked(int index) const {
    for (int i = 0; i < maxDecoders; ++i)
        if (i != index && isReadyLocked(workers_[i]))
            return true;
    return false;
}

bool DecoderPool::otherPreloadingLocked(int index) const {
    // A preload asked for but not yet begun counts: its worker may not have woken yet.
    for (int i = 0; i < maxDecoders; ++i)
        if (i != index && (workers_[i].loading || workers_[i].preloadRequested) && !workers_[i].job)
            return true;
    return false;
}

bool DecoderPool::otherFinishingLocked(int index) const {
    for (int i = 0; i < maxDecoders; ++i)
        if (i != index && workers_[i].decoder && workers_[i].job && workers_[i].job->isAudioEnded())
            return true;
    return false;
}

bool DecoderPool::needsLoadLocked(const DecodeJob& job) const {
    // An empty job still needs a decoder until one has loaded: its answer tells whether the
    // model can load at all.
    return !job.isCancelled() && (job.needsDecoder() || !everLoaded_);
}

bool DecoderPool::modelLoads() const {
    std::lock_guard lock(mutex_);
    return everLoaded_;
}

bool DecoderPool::mayTakeLocked(int index) const {
    if (queue_.empty())
        return false;
    // A job with nothing to decode needs no decoder; a worker with one takes any job; a worker
    // without one loads a spare only when no other decoder is free or about to be.
    return !needsLoadLocked(*queue_.front().job) || workers_[index].decoder ||
           (!otherIdleWithDecoderLocked(index) && !otherPreloadingLocked(index) &&
            !otherFinishingLocked(index));
}

void DecoderPool::work(int index) {
    Worker& self = workers_[index];
    using Clock = std::chrono::steady_clock;
    const auto spareIdle = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(spareIdleSeconds_));
    std::unique_lock lock(mutex_);
    Clock::time_point idleSince = Clock::now();
    while (!stopping_) {
        if (self.preloadRequested && !self.decoder) {
            self.preloadRequested = false;
            loadLocked(self, lock, nullptr);
            idleSince = Clock::now();
            changed_.notify_all();
            continue;
        }
        if (mayTakeLocked(index)) {
            const bool toldWaiting = queue_.front().toldWaiting;
            self.job = std::move(queue_.front().job);
            queue_.pop_front();
            if (!self.decoder && needsLoadLocked(*self.job))
                loadLocked(self, lock, toldWaiting ? nullptr : self.job.get());
            const std::shared_ptr<DecodeJob> job = self.job;
            ps_decoder_t* decoder = job->isCancelled() ? nullptr : self.decoder;
            lock.unlock();
            if (decoder && teaching_)
                favour(self, decoder, teaching_(), job->hints());
            job->run(decoder, *this);
            if (decoder && !job->isCancelled())
                self.lastHints = job->hintsForNext();
            lock.lock();
            self.job.reset();
            idleSince = Clock::now();
            // Ready for the next dictation, but only once this one's text has been delivered:
            // a model rebuild beside the paste would slow it on a machine with two cores.
            self.learnAfter = idleSince + learningDelay;
            self.relearn = true; // the next job's hints
            changed_.notify_all();
            continue;
        }
        if (self.decoder && self.relearn) {
            if (Clock::now() < self.learnAfter) {
                changed_.wait_until(lock, self.learnAfter);
                continue;
            }
            learnLocked(self, lock);
            continue;
        }
        if (tellWaitingLocked(lock))
            continue;
        // A spare left idle while another decoder is idle too goes, keeping one warm.
        const bool spare = self.decoder && otherIdleWithDecoderLocked(index);
        if (spare && Clock::now() - idleSince >= spareIdle) {
            ps_decoder_t* surplus = std::exchange(self.decoder, nullptr);
            lock.unlock();
            unload(surplus);
            lock.lock();
            changed_.notify_all();
            continue;
        }
        if (spare)
            changed_.wait_until(lock, idleSince + spareIdle);
        else
            changed_.wait(lock);
    }
    const bool lastOfAbandoned = --liveWorkers_ == 0 && abandoned_;
    lock.unlock();
    if (lastOfAbandoned)
        delete this;
}

void DecoderPool::learnLocked(Worker& worker, std::unique_lock<std::mutex>& lock) {
    // New words rebuild the search, as long as a load: the decoder is busy meanwhile, and a job
    // that comes loads the spare instead of waiting. Other phrases to favour take milliseconds,
    // which a job rather waits for. Busy until it is known which.
    worker.relearn = false;
    worker.learning = true;
    ps_decoder_t* decoder = worker.decoder;
    lock.unlock();
    const Teaching teaching = teaching_ ? teaching_() : Teaching{};
    if (teaching.words == worker.taught) {
        lock.lock();
        worker.learning = false;
        lock.unlock();
    }
    learn(worker, decoder, teaching);
    lock.lock();
    worker.learning = false;
    changed_.notify_all();
}

bool DecoderPool::tellWaitingLocked(std::unique_lock<std::mutex>& lock) {
    bool busyPreparing = false;
    for (const Worker& w : workers_) {
        if (isReadyLocked(w))
            return false;
        busyPreparing = busyPreparing || w.loading || w.learning || w.preloadRequested;
    }
    if (!busyPreparing)
        return false;
    std::vector<std::shared_ptr<DecodeJob>> waiting;
    for (Queued& queued : queue_)
        if (!std::exchange(queued.toldWaiting, true) && needsLoadLocked(*queued.job))
            waiting.push_back(queued.job);
    if (waiting.empty())
        return false;
    lock.unlock();
    for (const auto& job : waiting)
        job->waitingForModel();
    lock.lock();
    return true;
}

void DecoderPool::learn(Worker& worker, ps_decoder_t* decoder) const {
    if (teaching_)
        learn(worker, decoder, teaching_());
}

void DecoderPool::learn(Worker& worker, ps_decoder_t* decoder, const Teaching& teaching) const {
    if (!teaching_)
        return;
    const bool newWords = teaching.words != worker.taught;
    if (newWords && !teach(worker, decoder, teaching))
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] the vocabulary could not be taught"),
                 LogLevel::warning);
    // Only a swap leaves freed blocks to give back.
    if (favour(worker, decoder, teaching, worker.lastHints) || newWords)
        releaseFreedMemory();
}

bool DecoderPool::teach(Worker& worker, ps_decoder_t* decoder, const Teaching& teaching) const {
    // The search takes only words a language model knows: the phrases name all of theirs
    // before the search is built. The words go into the dictionary only, never into the model's
    // own language model (PocketSphinx's ps_add_word): this PocketSphinx reads out of bounds
    // when a word added there is the history of the next one.
    LanguageBias::apply(decoder, teaching.phrases + worker.lastHints, LanguageBias::everyWord);
    worker.favoured.clear();
    worker.taught = teaching.words;
    const Dictionary dictionary(modelDirectory_ + QStringLiteral("/cmudict-en-us.dict"),
                                teaching.words);
    return !dictionary.path.isEmpty() &&
           ps_load_dict(decoder, dictionary.path.constData(), nullptr, nullptr) >= 0;
}

bool DecoderPool::favour(Worker& worker, ps_decoder_t* decoder, const Teaching& teaching,
                         const QStringList& hints) {
    const QStringList phrases = teaching.phrases + hints;
    // The model sees only the words: the hints foreseen from a text as heard are those of the
    // same text as written ("left for you", "Left for you.").
    QStringList words;
    for (const QString& phrase : phrases)
        words.append(LanguageBias::wordsOf(phrase).join(QLatin1Char(' ')));
    if (words == worker.favoured)
        return false;
    if (!LanguageBias::apply(decoder, phrases))
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] recognition hints could not be prepared"),
                 LogLevel::warning);
    worker.favoured = words;
    return true;
}

void DecoderPool::prepare() {
    {
        std::lock_guard lock(mutex_);
        for (const Worker& w : workers_)
            if (w.loading || w.preloadRequested || isReadyLocked(w))
                return;
        for (Worker& w : workers_) {
            if (!w.decoder && !w.job) {
                w.preloadRequested = true;
                break;
            }
        }
    }
    changed_.notify_all();
}

void DecoderPool::submit(std::shared_ptr<DecodeJob> job) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({std::move(job)});
    }
    changed_.notify_all();
}

void DecoderPool::wake() {
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
}

void DecoderPool::relearn() {
    {
        std::lock_guard lock(mutex_);
        for (Worker& w : workers_)
            w.relearn = true;
    }
    changed_.notify_all();
}

int DecoderPool::decoderCount() const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const Worker& w : workers_)
        count += (w.decoder || w.loading) ? 1 : 0;
    return count;
}

void DecoderPool::waitUntilSettled() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
        for (const Worker& w : workers_)
            if (w.loading || w.preloadRequested)
                return false;
        return true;
    });
}
