#pragma once

#include "common/AudioBuffer.h"
#include "platform/AudioFile.h"

#include <QString>

#include <functional>
#include <memory>

// A source of sound for one dictation at a time. The owner sets both callbacks before the first
// start() and never calls start() twice without stop() in between.
class AudioRecorder {
public:
    virtual ~AudioRecorder() = default;

    // Receives every captured buffer; called on the recorder's delivery thread.
    std::function<void(const AudioBufferPtr& buffer)> onBuffer;
    // Receives the level of every buffer; called on the recorder's delivery thread.
    std::function<void(float level)> onRMS;

    // Begins delivering buffers. Throws MirvoError when capture cannot start.
    virtual void start() = 0;
    // Stops delivering buffers; safe to call when not started.
    virtual void stop() = 0;
};

class AudioEngine;
class CancellableWork;

// Captures the default microphone through an audio engine (on Linux PulseAudio's default
// source). The tap runs on the engine's capture thread and calls both callbacks there.
class AVEngineAudioRecorder final : public AudioRecorder {
public:
    explicit AVEngineAudioRecorder(std::unique_ptr<AudioEngine> engine);
    // Stops the engine first, so no tap call can reach a destroyed recorder.
    ~AVEngineAudioRecorder() override;

    void start() override;
    void stop() override;

    // The level of one buffer: root mean square of channel 0, unscaled; 0 without float data or
    // frames. Allocates nothing.
    static float rms(const AudioBuffer& buffer);

private:
    const std::unique_ptr<AudioEngine> engine_;
    bool tapInstalled_ = false;
};

// Plays back a prepared audio file as one buffer, 50 ms after start(), on the main thread.
class FileAudioRecorder final : public AudioRecorder {
public:
    FileAudioRecorder(QString path, AudioFileOpener opener);
    ~FileAudioRecorder() override;

    // Throws the file's MirvoError, or MirvoError::Kind::audioFileTooLarge when the buffer for
    // the whole file cannot be allocated.
    void start() override;
    void stop() override;

private:
    const QString path_;
    const AudioFileOpener opener_;
    std::shared_ptr<CancellableWork> work_;
    // Expires with the recorder, so pending deliveries find it gone.
    std::shared_ptr<FileAudioRecorder*> self_;
};
