#include "DictationFormatter.h"

#include <QSet>
#include <QStringList>

#include <optional>

namespace {

// How a written mark sits between words: "word, word", "(word", "line\nLine".
enum class Glue { none, toPrevious, toNext, both };

struct SpokenMark {
    const char* spoken;
    const char* written;
    Glue glue;
    bool startsSentence;
};

const SpokenMark spokenMarks[] = {
    {"comma", ",", Glue::toPrevious, false},
    {"period", ".", Glue::toPrevious, true},
    {"full stop", ".", Glue::toPrevious, true},
    {"question mark", "?", Glue::toPrevious, true},
    {"exclamation mark", "!", Glue::toPrevious, true},
    {"exclamation point", "!", Glue::toPrevious, true},
    {"colon", ":", Glue::toPrevious, false},
    {"semicolon", ";", Glue::toPrevious, false},
    {"dash", "\u2014", Glue::both, false},
    {"open quote", "\"", Glue::toNext, false},
    {"close quote", "\"", Glue::toPrevious, false},
    {"open paren", "(", Glue::toNext, false},
    {"close paren", ")", Glue::toPrevious, false},
    {"new line", "\n", Glue::both, true},
    {"new paragraph", "\n\n", Glue::both, true},
};

enum class NumberKind { unit, teen, tens, hundred, scale };

struct NumberWord {
    const char* word;
    qint64 value;
    NumberKind kind;
};

const NumberWord numberWords[] = {
    {"one", 1, NumberKind::unit},
    {"two", 2, NumberKind::unit},
    {"three", 3, NumberKind::unit},
    {"four", 4, NumberKind::unit},
    {"five", 5, NumberKind::unit},
    {"six", 6, NumberKind::unit},
    {"seven", 7, NumberKind::unit},
    {"eight", 8, NumberKind::unit},
    {"nine", 9, NumberKind::unit},
    {"ten", 10, NumberKind::teen},
    {"eleven", 11, NumberKind::teen},
    {"twelve", 12, NumberKind::teen},
    {"thirteen", 13, NumberKind::teen},
    {"fourteen", 14, NumberKind::teen},
    {"fifteen", 15, NumberKind::teen},
    {"sixteen", 16, NumberKind::teen},
    {"seventeen", 17, NumberKind::teen},
    {"eighteen", 18, NumberKind::teen},
    {"nineteen", 19, NumberKind::teen},
    {"twenty", 20, NumberKind::tens},
    {"thirty", 30, NumberKind::tens},
    {"forty", 40, NumberKind::tens},
    {"fifty", 50, NumberKind::tens},
    {"sixty", 60, NumberKind::tens},
    {"seventy", 70, NumberKind::tens},
    {"eighty", 80, NumberKind::tens},
    {"ninety", 90, NumberKind::tens},
    {"hundred", 100, NumberKind::hundred},
    {"thousand", 1000, NumberKind::scale},
    {"million", 1000000, NumberKind::scale},
    {"billion", 1000000000, NumberKind::scale},
};

// Always written with a capital; "may" and "march" only where they are clearly months.
const QSet<QString> properWords = {
    "i",        "i'm",    "i'll",      "i'd",     "i've",     "monday",   "tuesday", "wednesday",
    "thursday", "friday", "saturday",  "sunday",  "january",  "february", "april",   "june",
    "july",     "august", "september", "october", "november", "december"};
const QSet<QString> ambiguousMonths = {"may", "march"};
const QSet<QString> wordsBeforeMonths = {"in", "of", "since", "until", "from", "early", "late"};

struct Token {
    QString text;
    double start = 0;
    const SpokenMark* mark = nullptr;
    // Digits, times or the user's own spelling: never recased.
    bool asWritten = false;
};

const std::vector<std::pair<QStringList, const SpokenMark*>>& spokenMarkWords() {
    static const auto marks = [] {
        std::vector<std::pair<QStringList, const SpokenMark*>> list;
        for (const SpokenMark& mark : spokenMarks)
            list.emplace_back(QString::fromLatin1(mark.spoken).split(QLatin1Char(' ')), &mark);
        return list;
    }();
    return marks;
}

const NumberWord* numberWord(const QString& word) {
    static const QHash<QString, const NumberWord*> byWord = [] {
        QHash<QString, const NumberWord*> map;
        for (const NumberWord& n : numberWords)
            map.insert(QString::fromLatin1(n.word), &n);
        return map;
    }();
    return byWord.value(word);
}

struct Cardinal {
    qint64 value = 0;
    int length = 0; // words taken; 0 when none
};

// The longest well-formed cardinal starting at `from`: "two thousand twenty six", "one hundred
// and five". Stops where a word cannot continue the number ("three thirty" is 3, then 30).
Cardinal cardinalAt(const QStringList& words, int from) {
    qint64 total = 0, group = 0, lastScale = 0;
    std::optional<NumberKind> last;
    Cardinal found;
    for (int i = from; i < words.size();) {
        int at = i;
        // "and" joins a hundred or a scale only to the tens or units that follow it.
        const bool joined = words[i] == QLatin1String("and") && last &&
                            (*last == NumberKind::hundred || *last == NumberKind::scale);
        if (joined && ++at >= words.size())
            break;
        const NumberWord* n = numberWord(words[at]);
        if (!n)
            break;
        const bool groupOpen = !last || *last == NumberKind::hundred || *last == NumberKind::scale;
        bool fits = false;
        switch (n->kind) {
        case NumberKind::unit:
            fits = groupOpen || *last == NumberKind::tens;
            break;
        case NumberKind::teen:
        case NumberKind::tens:
            fits = groupOpen;
            break;
        case NumberKind::hundred:
            fits = !joined && !groupOpen && group < 100;
            break;
        case NumberKind::scale:
            fits = !joined && group > 0 && (lastScale == 0 || n->value < lastScale);
            break;
        }
        if (!fits)
            break;
        if (n->kind == NumberKind::hundred) {
            group *= 100;
        } else if (n->kind == NumberKind::scale) {
            total += group * n->value;
            group = 0;
            lastScale = n->value;
        } else {
            group += n->value;
        }
        last = n->kind;
        i = at + 1;
        found = {total + group, i - from};
    }
    return found;
}

// "a m", "a.m." or "am" (only ever looked for after an hour): the written form and the words
// taken.
std::optional<std::pair<QString, int>> meridiemAt(const QStringList& words, int at) {
    if (at >= words.size())
        return std::nullopt;
    const QString& w = words[at];
    if ((w == QLatin1String("a") || w == QLatin1String("p")) && at + 1 < words.size() &&
        words[at + 1] == QLatin1String("m"))
        return std::pair(w.toUpper() + QLatin1Char('M'), 2);
    if (w == QLatin1String("a.m.") || w == QLatin1String("am"))
        return std::pair(QStringLiteral("AM"), 1);
    if (w == QLatin1String("p.m.") || w == QLatin1String("pm"))
        return std::pair(QStringLiteral("PM"), 1);
    return std::nullopt;
}

// Minutes after an hour: "thirty five", or "oh five"; the value and the words taken.
Cardinal minutesAt(const QStringList& words, int at) {
    if (at < words.size() && words[at] == QLatin1String("oh")) {
        const Cardinal unit = cardinalAt(words, at + 1);
        return unit.length == 1 && unit.value < 10 ? Cardinal{unit.value, 2} : Cardinal{};
    }
    const Cardinal minutes = cardinalAt(words, at);
    return minutes.value >= 10 && minutes.value <= 59 ? minutes : Cardinal{};
}

class Writer {
public:
    Writer(const RecognitionResult& spoken, const DictationFormatter::Options& options)
        : options_(options),
          words_(spoken.formattedString.split(QLatin1Char(' '), Qt::SkipEmptyParts)),
          times_(spoken.segmentTimestamps) {}

    RecognitionResult write(bool isFinal) {
        numbers();
        if (options_.spokenPunctuation)
            marks();
        capitals();
        return joined(isFinal);
    }

private:
    double timeOf(int word) const {
        if (times_.empty())
            return 0;
        return times_[std::min(size_t(word), times_.size() - 1)];
    }

    void numbers() {
        for (int i = 0; i < words_.size();) {
            const Cardinal number = cardinalAt(words_, i);
            if (number.length == 0) {
                tokens_.push_back({words_[i], timeOf(i)});
                ++i;
                continue;
            }
            const int after = i + number.length;
            const QString digits = QString::number(number.value);
            if (number.value >= 1 && number.value <= 12) {
                const Cardinal minutes = minutesAt(words_, after);
                const int suffixAt = after + minutes.length;
                if (const auto meridiem = meridiemAt(words_, suffixAt)) {
                    const QString clock =
                        minutes.length ? digits + QStringLiteral(":%1").arg(minutes.value, 2, 10,
                                                                            QLatin1Char('0'))
                                       : digits;
                    tokens_.push_back({clock, timeOf(i), nullptr, true});
                    tokens_.push_back({meridiem->first, timeOf(suffixAt), nullptr, true});
                    i = suffixAt + meridiem->second;
                    continue;
                }
            }
            if (after < words_.size() && words_[after] == QLatin1String("percent")) {
                tokens_.push_back({digits + QLatin1Char('%'), timeOf(i), nullptr, true});
                i = after + 1;
                continue;
            }
            // One to nine stay words, as style guides write them.
            if (number.length == 1 && number.value < 10)
                tokens_.push_back({words_[i], timeOf(i)});
            else
                tokens_.push_back({digits, timeOf(i), nullptr, true});
            i = after;
        }
    }

    void marks() {
        std::vector<Token> out;
        for (size_t i = 0; i < tokens_.size();) {
            const SpokenMark* found = nullptr;
            size_t length = 0;
            for (const auto& [spoken, mark] : spokenMarkWords()) {
                if (i + spoken.size() > tokens_.size())
                    continue;
                bool same = true;
                for (qsizetype k = 0; same && k < spoken.size(); ++k)
                    same = !tokens_[i + k].asWritten && tokens_[i + k].text == spoken[k];
                if (same) {
                    found = mark;
                    length = spoken.size();
                    break;
                }
            }
            if (!found) {
                out.push_back(tokens_[i++]);
                continue;
            }
            out.push_back({QString::fromUtf8(found->written), tokens_[i].start, found, true});
            i += length;
        }
        tokens_ = std::move(out);
    }

    void capitals() {
        bool sentenceStart = true;
        for (size_t i = 0; i < tokens_.size(); ++i) {
            Token& token = tokens_[i];
            if (token.mark) {
                sentenceStart = sentenceStart || token.mark->startsSentence;
                continue;
            }
            const bool atSentenceStart = std::exchange(sentenceStart, false);
            if (token.asWritten)
                continue;
            const auto written = options_.writtenForms.constFind(token.text);
            if (written != options_.writtenForms.constEnd()) {
                token.text = *written;
                token.asWritten = true;
            } else if (atSentenceStart || properWords.contains(token.text) ||
                       (ambiguousMonths.contains(token.text) && readsAsMonth(i))) {
                token.text[0] = token.text[0].toUpper();
            }
        }
    }

    bool readsAsMonth(size_t i) const {
        const bool numberFollows = i + 1 < tokens_.size() && tokens_[i + 1].asWritten &&
                                   !tokens_[i + 1].mark && tokens_[i + 1].text[0].isDigit();
        return numberFollows ||
               (i > 0 && wordsBeforeMonths.contains(tokens_[i - 1].text.toLower()));
    }

    RecognitionResult joined(bool isFinal) const {
        RecognitionResult result;
        result.isFinal = isFinal;
        QStringList written;
        bool glueNext = false;
        for (const Token& token : tokens_) {
            const Glue glue = token.mark ? token.mark->glue : Glue::none;
            if (!written.isEmpty() &&
                (glueNext || glue == Glue::toPrevious || glue == Glue::both)) {
                written.last() += token.text;
            } else {
                written.append(token.text);
                result.segmentTimestamps.push_back(token.start);
            }
            glueNext = glue == Glue::toNext || glue == Glue::both;
        }
        result.formattedString = written.join(QLatin1Char(' '));
        return result;
    }

    const DictationFormatter::Options& options_;
    const QStringList words_;
    const std::vector<double>& times_;
    std::vector<Token> tokens_;
};

} // namespace

DictationFormatter::DictationFormatter(Options options) : options_(std::move(options)) {}

std::vector<TaughtWord> DictationFormatter::commandWords() {
    return {{"semicolon", "S EH M IY K OW L AH N"}, {"paren", "P ER EH N"}};
}

QStringList DictationFormatter::commandPhrases() {
    return {QStringLiteral("semicolon"), QStringLiteral("open paren"),
            QStringLiteral("close paren")};
}

RecognitionResult DictationFormatter::format(const RecognitionResult& spoken) const {
    return Writer(spoken, options_).write(spoken.isFinal);
}
