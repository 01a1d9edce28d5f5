#pragma once

#include "common/AudioBuffer.h"
#include "common/MirvoError.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// What a recognizer heard so far (or, when final, in all) of one request's audio.
struct RecognitionResult {
    // The words, separated by single spaces.
    QString formattedString;
    // Start of each word of formattedString, in seconds from the start of the request's audio.
    std::vector<double> segmentTimestamps;
    bool isFinal = false;
};

// Where a task is, besides its results: waiting for a speech model to load (the first after
// launch, or one learning new words), or decoding its audio.
enum class RecognitionStage { waitingForModel, decoding };

// Audio handed to one recognition task, buffer by buffer, from any thread. The settings are set
// before the task starts.
class RecognitionRequest final {
public:
    static constexpr int dictationTaskHint = 1;

    bool shouldReportPartialResults = false;
    int taskHint = 0;
    QStringList contextualStrings;
    // Told on the recognizer's own thread, never before the task has been returned; a
    // recognizer whose models are always ready may tell nothing.
    std::function<void(RecognitionStage)> stageHandler;

    // Thread-safe; ignored once the audio has ended.
    void append(const AudioBufferPtr& buffer);
    // No more audio will come; the task then reports its final result.
    void endAudio();
    bool isAudioEnded() const;
    // The audio ended before any was appended.
    bool endedWithoutAudio() const;

    // For the task: the next buffer, waiting for one; null once the audio has ended and every
    // buffer was taken, or when `stop` is set (call wake() after setting it).
    AudioBufferPtr waitForBuffer(const std::atomic<bool>& stop);
    // Every buffer appended and not yet taken, without waiting.
    std::vector<AudioBufferPtr> takeAvailable();
    void wake();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<AudioBufferPtr> queue_;
    bool ended_ = false;
    bool receivedAudio_ = false;
};

// Called on the recognizer's own thread with a result, an error (the task is then over), or both.
using RecognitionHandler = std::function<void(const std::optional<RecognitionResult>& result,
                                              const std::optional<MirvoError>& error)>;

class RecognitionTask {
public:
    virtual ~RecognitionTask() = default;
    // Stops recognising promptly; the handler then receives a cancellation error. Never blocks.
    virtual void cancel() = 0;
};

// On-device speech recognition for one language.
class SpeechRecognizer {
public:
    virtual ~SpeechRecognizer() = default;
    virtual bool isAvailable() const = 0;
    // Starts recognising `request` on a thread of the recognizer's own. Never calls the handler
    // before it returns. Throws MirvoError when no task can be started.
    virtual std::shared_ptr<RecognitionTask>
    recognitionTask(std::shared_ptr<RecognitionRequest> request, RecognitionHandler handler) = 0;
};

// The trade between speed and accuracy a user chose for on-device recognition (user default
// "ai.mirvo.recognitionProfile").
enum class RecognitionProfile { fast, accurate };
inline constexpr RecognitionProfile defaultRecognitionProfile = RecognitionProfile::fast;
// "fast" or "accurate".
QString recognitionProfileName(RecognitionProfile profile);
// The profile of that name; absent for any other text.
std::optional<RecognitionProfile> recognitionProfileNamed(const QString& name);

// How the user wants dictation recognised (user defaults "ai.mirvo.recognitionProfile" and
// "ai.mirvo.spokenPunctuation").
struct RecognitionSettings {
    RecognitionProfile profile = defaultRecognitionProfile;
    // "comma", "new line", … are written as marks.
    bool spokenPunctuation = true;
    auto operator<=>(const RecognitionSettings&) const = default;
};

// The recognizer for a locale such as "en-US", or null when there is none.
using SpeechRecognizerProvider =
    std::function<std::shared_ptr<SpeechRecognizer>(const QString& locale)>;
