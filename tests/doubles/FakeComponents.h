#pragma once

#include "CallLog.h"
#include "core/AudioRecorder.h"
#include "core/HotkeyMonitor.h"
#include "core/Paster.h"
#include "core/Polisher.h"
#include "core/Transcriber.h"

#include <atomic>
#include <exception>
#include <optional>
#include <vector>

// Doubles of the dictation components. Each records its calls in the shared log.

class FakeHotkeyMonitor final : public HotkeyMonitor {
    Q_OBJECT
public:
    void start() override {
        ++startCount;
        if (startError)
            std::rethrow_exception(startError);
    }
    void press() { emit events(HotkeyEvent::down); }
    void release() { emit events(HotkeyEvent::up); }
    int startCount = 0;
    std::exception_ptr startError;
};

class FakeAudioRecorder final : public AudioRecorder {
public:
    explicit FakeAudioRecorder(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
    void start() override {
        log_->record(QStringLiteral("recorder.start"));
        ++startCount;
        if (startError)
            std::rethrow_exception(startError);
        running = true;
    }
    void stop() override {
        ++stopCount;
        running = false;
    }
    // Delivers as the capture thread would, from whichever thread calls it.
    void deliver(const AudioBufferPtr& buffer) {
        if (onBuffer)
            onBuffer(buffer);
    }
    void deliverLevel(float level) {
        if (onRMS)
            onRMS(level);
    }
    std::atomic<int> startCount{0};
    std::atomic<int> stopCount{0};
    std::atomic<bool> running{false};
    std::exception_ptr startError;

private:
    std::shared_ptr<CallLog> log_;
};

// A transcriber whose finish() completes when the test calls finishWith().
class FakeTranscriber final : public QObject, public Transcriber {
    Q_OBJECT
public:
    FakeTranscriber(std::shared_ptr<CallLog> log, QString name, QStringList contextualStrings = {})
        : contextualStrings(std::move(contextualStrings)), log_(std::move(log)),
          name_(std::move(name)) {}
    void start() override {
        log_->record(name_ + QStringLiteral(".start"));
        if (startError)
            std::rethrow_exception(startError);
    }
    void append(const AudioBufferPtr& buffer) override {
        std::lock_guard lock(mutex_);
        appendsAfterFinish_ += finishCalled_ ? 1 : 0;
        buffers_.push_back(buffer);
    }
    QCoro::Task<QString> finish() override;
    QString shortfall() const override { return shortfallText; }

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
    std::exception_ptr startError;
    QString shortfallText;

signals:
    void resolved();

private:
    std::shared_ptr<CallLog> log_;
    const QString name_;
    mutable std::mutex mutex_;
    std::vector<AudioBufferPtr> buffers_;
    bool finishCalled_ = false;
    int appendsAfterFinish_ = 0;
    std::optional<QString> result_;
};

// Records what it is given and answers with `outcome`.
class FakePaster final : public Paster {
public:
    PasteOutcome paste(const QString& text) override {
        pasted.append(text);
        return outcome;
    }
    QString lastTarget() const override { return QStringLiteral("kate"); }
    std::optional<QString> focusedApplication() const override { return focus; }
    PasteOutcome copyForUser(const QString& text) override {
        copied.append(text);
        return PasteOutcome::copiedForUser;
    }
    QStringList pasted;
    QStringList copied;
    PasteOutcome outcome = PasteOutcome::pasted;
    std::optional<QString> focus = QStringLiteral("kate");
};

// Answers every polish() with `answer`, recording the inputs.
class FakePolisher final : public Polisher {
public:
    explicit FakePolisher(QString answer) : answer(std::move(answer)) {}
    QCoro::Task<QString> polish(QString text) override;
    QString answer;
    QStringList inputs;
    int delayMs = 0;
};
