#pragma once

#include "common/AudioBuffer.h"

#include <QString>
#include <QStringList>

#include <vector>

// Speech for tests and figures, made with flite's 16 kHz "kal16" voice.
namespace SpokenText {

// The sentences of tests/data/sentences.txt.
QStringList sentences();
// Speaks `sentences` (with a pause between them) into a WAV file; false when flite fails.
bool synthesize(const QStringList& sentences, const QString& wavPath);
// The file as buffers of `frames` frames, in the file's own format (float samples).
std::vector<AudioBufferPtr> load(const QString& path, uint32_t frames = 1024);
// Lower-case words without punctuation.
QStringList words(const QString& text);
// Word substitutions, insertions and deletions that turn `reference` into `hypothesis`.
int wordEdits(const QStringList& reference, const QStringList& hypothesis);
// Word error rate of `hypothesis` against `reference`, in percent (edits / reference words).
double wordErrorRate(const QStringList& reference, const QStringList& hypothesis);

} // namespace SpokenText
