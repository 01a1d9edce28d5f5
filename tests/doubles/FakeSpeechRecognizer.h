#pragma once

#include "platform/Speech.h"

#include <exception>
#include <mutex>
#include <vector>

// A recognition task whose results the test delivers, from whichever thread it likes.
class FakeRecognitionTask final : public RecognitionTask {
public:
    FakeRecognitionTask(std::shared_ptr<RecognitionRequest> request, RecognitionHandler handler)
        : request(std::move(request)), handler_(std::move(handler)) {}

    void cancel() override { cancelled = true; }

    void deliver(const QString& text, std::vector<double> timestamps, bool isFinal) {
        handler_(RecognitionResult{text, std::move(timestamps), isFinal}, std::nullopt);
    }
    void fail(const PlatformError& error) { handler_(std::nullopt, error); }

    const std::shared_ptr<RecognitionRequest> request;
    std::atomic<bool> cancelled{false};
    // Buffers taken from the request so far, in order.
    std::vector<AudioBufferPtr> received() {
        for (AudioBufferPtr& b : request->takeAvailable())
            taken_.push_back(std::move(b));
        return taken_;
    }

private:
    RecognitionHandler handler_;
    std::vector<AudioBufferPtr> taken_;
};

class FakeSpeechRecognizer final : public SpeechRecognizer {
public:
    bool isAvailable() const override { return available; }
    bool supportsOnDeviceRecognition() const override { return onDevice; }
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) override {
        std::lock_guard lock(mutex_);
        if (nextTaskError)
            std::rethrow_exception(std::exchange(nextTaskError, nullptr));
        auto task = std::make_shared<FakeRecognitionTask>(std::move(request), std::move(handler));
        tasks_.push_back(task);
        return task;
    }

    std::shared_ptr<FakeRecognitionTask> task(size_t i) {
        std::lock_guard lock(mutex_);
        return i < tasks_.size() ? tasks_[i] : nullptr;
    }
    size_t taskCount() {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }
    // A provider handing out this recognizer for "en-US" only.
    SpeechRecognizerProvider provider(std::shared_ptr<FakeSpeechRecognizer> self) {
        return [self](const QString& locale) -> std::shared_ptr<SpeechRecognizer> {
            return locale == QLatin1String("en-US") ? self : nullptr;
        };
    }

    bool available = true;
    bool onDevice = true;
    std::exception_ptr nextTaskError;

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeRecognitionTask>> tasks_;
};
