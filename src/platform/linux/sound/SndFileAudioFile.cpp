#include "SndFileAudioFile.h"

#include "common/MirvoError.h"

#include <QFile>

#include <sndfile.h>

std::unique_ptr<AudioFile> SndFileAudioFile::open(const QString& path) {
    SF_INFO info = {};
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        throw MirvoError(MirvoError::Kind::audioFileUnreadable,
                         QStringLiteral("Cannot open audio file %1: %2")
                             .arg(path, QString::fromUtf8(sf_strerror(nullptr))));
    if (info.channels < 1 || info.samplerate < 1 || info.frames < 0) {
        sf_close(file);
        throw MirvoError(MirvoError::Kind::audioFileUnreadable,
                         QStringLiteral("Cannot open audio file %1: no audio in it").arg(path));
    }
    auto format =
        makeAudioFormat(double(info.samplerate), info.channels, SampleType::float32, true);
    return std::unique_ptr<AudioFile>(
        new SndFileAudioFile(path, file, std::move(format), int64_t(info.frames)));
}

SndFileAudioFile::SndFileAudioFile(QString path, SNDFILE* file, AudioFormatPtr format,
                                   int64_t frames)
    : path_(std::move(path)), file_(file), format_(std::move(format)), frames_(frames) {}

SndFileAudioFile::~SndFileAudioFile() {
    sf_close(file_);
}

void SndFileAudioFile::read(AudioBuffer& buffer) {
    float* into = buffer.floatChannel(0);
    if (!into || *buffer.format() != *format_)
        throw MirvoError(
            MirvoError::Kind::audioFileUnreadable,
            QStringLiteral("Cannot read audio file %1: buffer format mismatch").arg(path_));
    const sf_count_t got = sf_readf_float(file_, into, sf_count_t(buffer.frameCapacity()));
    if (got < 0 || (got == 0 && sf_error(file_) != SF_ERR_NO_ERROR))
        throw MirvoError(MirvoError::Kind::audioFileUnreadable,
                         QStringLiteral("Cannot read audio file %1: %2")
                             .arg(path_, QString::fromUtf8(sf_strerror(file_))));
    buffer.setFrameLength(uint32_t(got));
}
