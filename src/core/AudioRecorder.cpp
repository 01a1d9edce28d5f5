#include "AudioRecorder.h"

#include "common/Log.h"
#include "common/MainThread.h"
#include "common/MirvoError.h"
#include "platform/AudioEngine.h"

#include <cmath>
#include <limits>

AVEngineAudioRecorder::AVEngineAudioRecorder(std::unique_ptr<AudioEngine> engine)
    : engine_(std::move(engine)) {}

AVEngineAudioRecorder::~AVEngineAudioRecorder() {
    stop();
}

void AVEngineAudioRecorder::start() {
    mirvoLog(QStringLiteral("[Mirvo/Audio] installing tap on input bus 0 with nil format"));
    engine_->installTap(1024, [this](const AudioBufferPtr& buffer) {
        if (onBuffer)
            onBuffer(buffer);
        if (onRMS)
            onRMS(rms(*buffer));
    });
    tapInstalled_ = true;
    try {
        engine_->start();
    } catch (const std::exception& e) {
        mirvoLog(QStringLiteral("[Mirvo/Audio] engine.start() threw: %1 — removing tap")
                     .arg(QString::fromUtf8(e.what())),
                 LogLevel::error);
        engine_->removeTap();
        tapInstalled_ = false;
        throw;
    }
    mirvoLog(QStringLiteral("[Mirvo/Audio] engine started"));
}

void AVEngineAudioRecorder::stop() {
    if (engine_->isRunning())
        engine_->stop();
    if (tapInstalled_) {
        engine_->removeTap();
        tapInstalled_ = false;
    }
}

float AVEngineAudioRecorder::rms(const AudioBuffer& buffer) {
    const float* samples = buffer.floatChannel(0);
    const uint32_t frames = buffer.frameLength();
    if (!samples || frames == 0)
        return 0;
    const int stride = buffer.stride();
    float sum = 0;
    for (uint32_t i = 0; i < frames; ++i) {
        const float s = samples[size_t(i) * size_t(stride)];
        sum += s * s;
    }
    return std::sqrt(sum / float(frames));
}

FileAudioRecorder::FileAudioRecorder(QString path, AudioFileOpener opener)
    : path_(std::move(path)), opener_(std::move(opener)),
      self_(std::make_shared<FileAudioRecorder*>(this)) {}

FileAudioRecorder::~FileAudioRecorder() = default;

void FileAudioRecorder::start() {
    std::unique_ptr<AudioFile> file = opener_(path_);
    const int64_t length = file->length();
    AudioBufferPtr buffer;
    if (length >= 0 && length <= int64_t(std::numeric_limits<uint32_t>::max()))
        buffer = AudioBuffer::make(file->processingFormat(), uint32_t(length));
    if (!buffer)
        throw MirvoError(MirvoError::Kind::audioFileTooLarge,
                         QStringLiteral("Could not allocate PCM buffer"));
    file->read(*buffer);

    std::weak_ptr<FileAudioRecorder*> weakSelf = self_;
    work_ = std::make_shared<CancellableWork>([weakSelf, buffer] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        FileAudioRecorder* recorder = *self;
        if (recorder->onBuffer)
            recorder->onBuffer(buffer);
        if (recorder->onRMS)
            recorder->onRMS(0.6f);
    });
    scheduleOnMain(work_, 0.05);
}

void FileAudioRecorder::stop() {
    if (work_) {
        work_->cancel();
        work_.reset();
    }
}
