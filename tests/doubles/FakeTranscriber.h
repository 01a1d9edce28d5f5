#pragma once

#include "FakeAudioRecorder.h"
#include "mirvo/Transcriber.h"

#include <QObject>
#include <QStringList>

#include <mutex>
#include <optional>
#include <vector>

// A transcriber whose finish() completes when the test calls finishWith().
class FakeTranscriber final : public QObject, public Transcriber {
    Q_OBJECT
public:
    explicit FakeTranscriber(QStringList contextualStrings = {})
        : contextualStrings(std::move(contextualStrings)) {}

    void start() override {
        ++startCount;
        startedAt = ++FakeAudioRecorder::sequence;
        if (startError)
            std::rethrow_exception(startError);
    }
    void append(const AudioBufferPtr& buffer) override {
        std::lock_guard lock(mutex_);
        if (finishCalled_)
            ++appendsAfterFinish_;
        buffers_.push_back(buffer);
    }
    QCoro::Task<QString> finish() override;

    void finishWith(const QString& text) {
        result_ = text;
        emit resolved();
    }
    bool finishCalled() const {
        std::lock_guard lock(mutex_);
        return finishCalled_;
    }
    std::vector<AudioBufferPtr> buffers() const {
        std::lock_guard lock(mutex_);
        return buffers_;
    }
    int appendsAfterFinish() const {
        std::lock_guard lock(mutex_);
        return appendsAfterFinish_;
    }

    const QStringList contextualStrings;
    int startCount = 0;
    int startedAt = 0;
    int finishCalledAt = 0;
    std::exception_ptr startError;

signals:
    void resolved();

private:
    mutable std::mutex mutex_;
    std::vector<AudioBufferPtr> buffers_;
    bool finishCalled_ = false;
    int appendsAfterFinish_ = 0;
    std::optional<QString> result_;
};
