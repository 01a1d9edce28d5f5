#include "LanguageBias.h"

#include "platform/linux/system/InMemoryFile.h"

#include <QHash>
#include <QRegularExpression>

#include <pocketsphinx.h>

#include <cmath>
#include <map>
#include <sphinxbase/ngram_model.h>

namespace {

const char* const biasName = "mirvo-bias";

QString log10Of(double p) {
    return QString::number(std::log10(p), 'f', 4);
}

// The decoder's own model: the first of its set.
const char* ownModelName(ngram_model_t* set) {
    const char* name = nullptr;
    ngram_model_set_iter_t* it = ngram_model_set_iter(set);
    if (it) {
        ngram_model_set_iter_model(it, &name);
        ngram_model_set_iter_free(it);
    }
    return name;
}

ngram_model_t* readModel(ps_decoder_t* decoder, const QByteArray& text) {
    const InMemoryFile file("mirvo-bias", text);
    return file.path().isEmpty() ? nullptr
                                 : ngram_model_read(ps_get_config(decoder), file.path().constData(),
                                                    NGRAM_ARPA, ps_get_logmath(decoder));
}

} // namespace

QStringList LanguageBias::wordsOf(const QString& text) {
    static const QRegularExpression nonWord(QStringLiteral("[^\\p{L}\\p{N}'.&+-]+"));
    static const QRegularExpression letter(QStringLiteral("\\p{L}"));
    QStringList words;
    for (QString word : text.toLower().split(nonWord, Qt::SkipEmptyParts)) {
        // Sentence ends and quotes around a word are not part of it.
        while (!word.isEmpty() && QStringLiteral("'.-").contains(word.back()))
            word.chop(1);
        while (!word.isEmpty() && QStringLiteral("'.-").contains(word.front()))
            word.remove(0, 1);
        // Digits inside a name are part of it (K8s, MP3); a number alone is not a word.
        if (word.contains(letter))
            words.append(word);
    }
    return words;
}

QByteArray LanguageBias::modelText(const QStringList& phrases,
                                   const std::function<bool(const QString&)>& known) {
    const QString start = QStringLiteral("<s>"), end = QStringLiteral("</s>");
    std::map<QString, int> unigrams;
    std::map<std::pair<QString, QString>, int> bigrams;
    int total = 0;
    for (const QString& phrase : phrases) {
        QString previous = start;
        for (const QString& word : wordsOf(phrase)) {
            if (!known(word)) {
                previous.clear();
                continue;
            }
            ++unigrams[word];
            ++total;
            if (!previous.isEmpty())
                ++bigrams[{previous, word}];
            previous = word;
        }
        if (!previous.isEmpty() && previous != start)
            ++bigrams[{previous, end}];
    }
    if (total == 0)
        return {};
    // Counts as probabilities, half of each word's mass kept for the pairs it starts; the rest
    // backs off to the words alone.
    std::map<QString, int> starts;
    for (const auto& [pair, count] : bigrams)
        starts[pair.first] += count;
    QByteArray text = "\\data\\\nngram 1=" + QByteArray::number(qsizetype(unigrams.size()) + 2) +
                      "\nngram 2=" + QByteArray::number(qsizetype(bigrams.size())) +
                      "\n\n\\1-grams:\n";
    const QString halfBackoff = log10Of(0.5);
    text += "-99 <s> " + halfBackoff.toUtf8() + "\n";
    text += log10Of(1.0 / (total + 1)).toUtf8() + " </s>\n";
    for (const auto& [word, count] : unigrams)
        text += (log10Of(double(count) / (total + 1)) + QLatin1Char(' ') + word + QLatin1Char(' ') +
                 halfBackoff + QLatin1Char('\n'))
                    .toUtf8();
    text += "\n\\2-grams:\n";
    for (const auto& [pair, count] : bigrams)
        text += (log10Of(0.5 * count / starts[pair.first]) + QLatin1Char(' ') + pair.first +
                 QLatin1Char(' ') + pair.second + QLatin1Char('\n'))
                    .toUtf8();
    text += "\n\\end\\\n";
    return text;
}

bool LanguageBias::apply(ps_decoder_t* decoder, const QStringList& phrases, Words which) {
    ngram_model_t* set = ps_get_lm(decoder, ps_get_search(decoder));
    if (!set)
        return false;
    const char* own = ownModelName(set);
    if (ngram_model_set_count(set) > 1)
        ngram_model_free(ngram_model_set_remove(set, biasName, TRUE));
    ngram_model_set_select(set, own);
    logmath_t* lmath = ps_get_logmath(decoder);
    const QByteArray text = modelText(phrases, [set, lmath, which](const QString& word) {
        if (which == everyWord)
            return true;
        const QByteArray spelling = word.toUtf8();
        const char* unigram[] = {spelling.constData()};
        return ngram_wid(set, unigram[0]) != ngram_unknown_wid(set) &&
               logmath_log_to_log10(lmath, ngram_prob(set, unigram, 1)) < rareBelowLog10;
    });
    if (text.isEmpty())
        return phrases.isEmpty();
    ngram_model_t* bias = readModel(decoder, text);
    if (!bias)
        return false;
    // The set owns the model from here; its word map stays the decoder's, so no search is
    // rebuilt.
    ngram_model_set_add(set, bias, biasName, 1.0f, TRUE);
    const char* names[] = {own, biasName};
    const float weights[] = {1.0f - weight, weight};
    ngram_model_set_interp(set, names, weights);
    return true;
}
