#include "SpokenText.h"

#include "Subprocess.h"
#include "platform/linux/sound/SndFileAudioFile.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>

namespace SpokenText {

QStringList sentences() {
    QFile file(QStringLiteral(MIRVO_TEST_DATA_DIR "/sentences.txt"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool synthesize(const QStringList& sentences, const QString& wavPath) {
    return Subprocess::run(QStringLiteral("flite"),
                           {QStringLiteral("-voice"), QStringLiteral("kal16"), QStringLiteral("-t"),
                            sentences.join(QStringLiteral(". ")) + QLatin1Char('.'),
                            QStringLiteral("-o"), wavPath},
                           60000);
}

std::vector<AudioBufferPtr> load(const QString& path, uint32_t frames) {
    std::unique_ptr<AudioFile> file = SndFileAudioFile::open(path);
    std::vector<AudioBufferPtr> out;
    for (;;) {
        AudioBufferPtr b = AudioBuffer::make(file->processingFormat(), frames);
        file->read(*b);
        if (b->frameLength() == 0)
            break;
        out.push_back(b);
    }
    return out;
}

QStringList words(const QString& text) {
    QString cleaned = text.toLower();
    cleaned.replace(QRegularExpression(QStringLiteral("[^a-z' ]")), QStringLiteral(" "));
    return cleaned.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

int wordEdits(const QStringList& reference, const QStringList& hypothesis) {
    const qsizetype n = reference.size(), m = hypothesis.size();
    std::vector<int> previous(size_t(m + 1)), current(size_t(m + 1));
    for (qsizetype j = 0; j <= m; ++j)
        previous[size_t(j)] = int(j);
    for (qsizetype i = 1; i <= n; ++i) {
        current[0] = int(i);
        for (qsizetype j = 1; j <= m; ++j) {
            const int substitution =
                previous[size_t(j - 1)] + (reference[i - 1] == hypothesis[j - 1] ? 0 : 1);
            current[size_t(j)] =
                std::min({substitution, previous[size_t(j)] + 1, current[size_t(j - 1)] + 1});
        }
        std::swap(previous, current);
    }
    return previous[size_t(m)];
}

double wordErrorRate(const QStringList& reference, const QStringList& hypothesis) {
    const int edits = wordEdits(reference, hypothesis);
    return reference.isEmpty() ? (hypothesis.isEmpty() ? 0.0 : 100.0)
                               : 100.0 * edits / double(reference.size());
}

} // namespace SpokenText
