#pragma once

#include "UserVocabulary.h"
#include "platform/Speech.h"
#include "platform/linux/LinuxOnly.h"

#include <QHash>
#include <QString>

// Turns a recogniser's lowercase words into text as a person writes it: spoken punctuation
// ("comma", "new paragraph", …) becomes marks with written English spacing, sentences and
// names get their capitals, and numbers from ten up become digits ("twenty five" → 25, "three
// thirty p m" → 3:30 PM, "five percent" → 5%). Nothing is invented: a sentence ended without a
// spoken mark keeps no period. Each written token keeps the start time of its first spoken
// word, so that times and space-separated tokens still pair up for the overlap cut at chunk
// seams. Immutable, so usable from any thread.
class DictationFormatter final {
public:
    struct Options {
        // Off for users who dictate the punctuation words themselves.
        bool spokenPunctuation = true;
        // Lowercase word or phrase, its words one space apart → how the user writes it
        // ("postgresql" → "PostgreSQL", "new york" → "New York").
        QHash<QString, QString> writtenForms;
    };

    explicit DictationFormatter(Options options);

    RecognitionResult format(const RecognitionResult& spoken) const;

    // Words of the spoken marks that the speech model's dictionary lacks ("semicolon",
    // "paren"), and the phrases they are said in.
    static std::vector<TaughtWord> commandWords();
    static QStringList commandPhrases();

private:
    Options options_;
};
