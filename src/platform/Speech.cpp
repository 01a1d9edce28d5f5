#include "Speech.h"

QString recognitionProfileName(RecognitionProfile profile) {
    return profile == RecognitionProfile::fast ? QStringLiteral("fast")
                                               : QStringLiteral("accurate");
}

std::optional<RecognitionProfile> recognitionProfileNamed(const QString& name) {
    for (RecognitionProfile p : {RecognitionProfile::fast, RecognitionProfile::accurate})
        if (name == recognitionProfileName(p))
            return p;
    return std::nullopt;
}

void RecognitionRequest::append(const AudioBufferPtr& buffer) {
    {
        std::lock_guard lock(mutex_);
        if (ended_ || !buffer)
            return;
        queue_.push_back(buffer);
        receivedAudio_ = true;
    }
    changed_.notify_all();
}

bool RecognitionRequest::endedWithoutAudio() const {
    std::lock_guard lock(mutex_);
    return ended_ && !receivedAudio_;
}

void RecognitionRequest::endAudio() {
    {
        std::lock_guard lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool RecognitionRequest::isAudioEnded() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

AudioBufferPtr RecognitionRequest::waitForBuffer(const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stop || !queue_.empty() || ended_; });
    if (stop || queue_.empty())
        return nullptr;
    AudioBufferPtr next = std::move(queue_.front());
    queue_.pop_front();
    return next;
}

std::vector<AudioBufferPtr> RecognitionRequest::takeAvailable() {
    std::lock_guard lock(mutex_);
    std::vector<AudioBufferPtr> out(queue_.begin(), queue_.end());
    queue_.clear();
    return out;
}

void RecognitionRequest::wake() {
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
}
