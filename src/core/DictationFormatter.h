#pragma once

#include "platform/Speech.h"

#include <QHash>
#include <QString>
#include <QStringList>

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
    // The same rules for text a service wrote: what it already wrote (capitals, digits, its own
    // punctuation) stays; a mark said aloud replaces the punctuation it put around the words.
    QString formatWritten(const QString& text) const;

private:
    Options options_;
};
