#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <QString>

// Pronunciations for words the speech model's dictionary lacks, from espeak-ng's English rules,
// in the model's phone set (the CMU dictionary's: "K Y UW B ER N IY T S"). Thread-safe:
// espeak-ng itself is not, so calls take turns.
namespace EspeakPronouncer {

// Empty when espeak-ng cannot speak the word or says a sound the model has no phone for.
QString phonesOf(const QString& word);

// espeak-ng's IPA (stress and length marks, phonemes separated by spaces) as the model's phones;
// empty when a sound has no counterpart.
QString phonesOfIPA(const QString& ipa);

} // namespace EspeakPronouncer
