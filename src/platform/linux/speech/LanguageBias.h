#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <QByteArray>
#include <QStringList>

#include <functional>

struct ps_decoder_s;

// Makes one decoder favour the rare words and word pairs of a few phrases (the user's
// vocabulary, the last transcripts): a small bigram model of them is interpolated with the
// decoder's own language model. Swapping it takes some milliseconds and rebuilds nothing, since the
// phrases' words are ones the decoder knows.
namespace LanguageBias {

// The share of the phrases' model in the interpolation.
inline constexpr float weight = 0.03f;
// Only words rarer than this (log10 of the model's own probability) are favoured: the model
// knows the common ones well, and favouring them only brings them in where they were not said.
inline constexpr double rareBelowLog10 = -5.0;

// Lower-case words of written text, without marks or numbers alone: "Dear Anna, 25 K8s notes."
// → dear anna k8s notes.
QStringList wordsOf(const QString& text);

// The phrases' bigram model in ARPA text, sentence marks included; words `known` refuses are
// left out (a pair is only made of neighbours both kept). Empty when no word is left.
QByteArray modelText(const QStringList& phrases, const std::function<bool(const QString&)>& known);

// Which words of the phrases are favoured: the rare ones the decoder knows, or all of them, for
// a search about to be built over a new dictionary to take the phrases' words.
enum Words { rareKnownWords, everyWord };

// Replaces what `decoder` favoured with `phrases`; none restores its own model alone. False
// (and the decoder's own model alone) when the model could not be made.
bool apply(ps_decoder_s* decoder, const QStringList& phrases, Words which = rareKnownWords);

} // namespace LanguageBias
