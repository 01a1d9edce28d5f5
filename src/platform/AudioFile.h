#pragma once

#include "common/AudioBuffer.h"

#include <QString>

#include <functional>
#include <memory>

// An audio file opened for reading.
class AudioFile {
public:
    virtual ~AudioFile() = default;
    // Float samples at the file's rate and channel count.
    virtual AudioFormatPtr processingFormat() const = 0;
    // Length in frames.
    virtual int64_t length() const = 0;
    // Fills `buffer` from the current position up to its capacity and sets its frame length.
    // Throws MirvoError when the file cannot be read.
    virtual void read(AudioBuffer& buffer) = 0;
};

// Opens the file at `path`; throws MirvoError naming the file and the reason.
using AudioFileOpener = std::function<std::unique_ptr<AudioFile>(const QString& path)>;
