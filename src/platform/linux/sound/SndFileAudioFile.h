#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/AudioFile.h"

typedef struct sf_private_tag SNDFILE;

// An audio file read with libsndfile (WAV, AIFF, FLAC, Ogg/Vorbis, …), as interleaved floats.
class SndFileAudioFile final : public AudioFile {
public:
    // Throws MirvoError naming the file and libsndfile's reason.
    static std::unique_ptr<AudioFile> open(const QString& path);
    ~SndFileAudioFile() override;

    AudioFormatPtr processingFormat() const override { return format_; }
    int64_t length() const override { return frames_; }
    void read(AudioBuffer& buffer) override;

private:
    SndFileAudioFile(QString path, SNDFILE* file, AudioFormatPtr format, int64_t frames);

    QString path_;
    SNDFILE* file_;
    AudioFormatPtr format_;
    int64_t frames_;
};
