#include "DictationFormatter.h"

#include <QRegularExpression>
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

// Punctuation a service wrote itself: how it sits, not what was said.
const SpokenMark writtenClauseMark{"", "", Glue::toPrevious, false};
const SpokenMark writtenSentenceMark{"", "", Glue::toPrevious, true};
const SpokenMark writtenOpeningMark{"", "", Glue::toNext, false};
const QString clauseMarks = QStringLiteral(",.?!:;\u2026");

bool onlyClauseMarks(const QString& text) {
    for (const QChar c : text)
        if (!clauseMarks.contains(c))
            return false;
    return !text.isEmpty();
}

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
// Months that are no other word ("may" and "march" are).
const QSet<QString> monthWords = {"january", "february",  "april",   "june",     "july",
                                  "august",  "september", "october", "november", "december"};
const QSet<QString> wordsBeforeMonths = {"in", "of", "since", "until", "from", "early", "late"};

struct Token {
    QString text;
    double start = 0;
    const SpokenMark* mark = nullptr;
    // Digits, times or the user's own spelling: never recased.
    bool asWritten = false;
    // A service's word as it wrote it (text is its lower case, for matching); empty for a
    // recogniser's words.
    QString surface = {};

    QString& shown() { return surface.isEmpty() ? text : surface; }
    bool isWrittenClauseMark() const { return mark && !*mark->spoken && onlyClauseMarks(text); }
};

// Written text split for the rules: words in lower case, the marks around them as pieces of
// their own, and each piece as it was written.
struct WrittenPieces {
    QStringList words;
    std::vector<QString> surfaces;
    std::vector<const SpokenMark*> marks;

    explicit WrittenPieces(const QString& text) {
        static const QRegularExpression spaces(QStringLiteral("\\s+"));
        static const QRegularExpression sentenceEnd(QStringLiteral("[.?!]"));
        for (const QString& piece : text.split(spaces, Qt::SkipEmptyParts)) {
            qsizetype from = 0, to = piece.size();
            while (from < to && !piece[from].isLetterOrNumber())
                ++from;
            while (to > from && !piece[to - 1].isLetterOrNumber())
                --to;
            if (from == to) { // a dash standing alone, say
                add(piece, piece, nullptr);
                continue;
            }
            if (from > 0)
                add(piece.left(from), piece.left(from), &writtenOpeningMark);
            const QString core = piece.mid(from, to - from);
            add(core.toLower(), core, nullptr);
            if (to < piece.size()) {
                const QString tail = piece.mid(to);
                // "U.S." and "e.g." end no sentence; an ellipsis neither.
                const bool endsSentence =
                    tail.contains(sentenceEnd) && !core.contains(QLatin1Char('.')) &&
                    !tail.startsWith(QLatin1String("..")) && !tail.contains(QChar(0x2026));
                add(tail, tail, endsSentence ? &writtenSentenceMark : &writtenClauseMark);
            }
        }
    }

    void add(const QString& word, const QString& surface, const SpokenMark* mark) {
        words.append(word);
        surfaces.push_back(surface);
        marks.push_back(mark);
    }
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

struct OrdinalWord {
    const char* word;
    int value;
};

const OrdinalWord ordinalWords[] = {
    {"first", 1},        {"second", 2},      {"third", 3},       {"fourth", 4},
    {"fifth", 5},        {"sixth", 6},       {"seventh", 7},     {"eighth", 8},
    {"ninth", 9},        {"tenth", 10},      {"eleventh", 11},   {"twelfth", 12},
    {"thirteenth", 13},  {"fourteenth", 14}, {"fifteenth", 15},  {"sixteenth", 16},
    {"seventeenth", 17}, {"eighteenth", 18}, {"nineteenth", 19}, {"twentieth", 20},
    {"thirtieth", 30},   {"fortieth", 40},   {"fiftieth", 50},   {"sixtieth", 60},
    {"seventieth", 70},  {"eightieth", 80},  {"ninetieth", 90},
};

int ordinalValue(const QString& word) {
    static const QHash<QString, int> byWord = [] {
        QHash<QString, int> map;
        for (const OrdinalWord& o : ordinalWords)
            map.insert(QString::fromLatin1(o.word), o.value);
        return map;
    }();
    return byWord.value(word);
}

// 1st, 2nd, 3rd, 4th, 11th, 12th, 13th, 21st, …
QString ordinalDigits(qint64 value) {
    const qint64 lastTwo = value % 100;
    const char* suffix = "th";
    if (lastTwo < 11 || lastTwo > 13) {
        switch (value % 10) {
        case 1:
            suffix = "st";
            break;
        case 2:
            suffix = "nd";
            break;
        case 3:
            suffix = "rd";
            break;
        default:
            break;
        }
    }
    return QString::number(value) + QLatin1String(suffix);
}

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

// An ordinal: "twenty first", "thirteenth", "first"; "one hundred and first" is left as said.
Cardinal ordinalAt(const QStringList& words, int at) {
    if (at >= words.size())
        return {};
    if (const int value = ordinalValue(words[at]))
        return {value, 1};
    const NumberWord* tens = numberWord(words[at]);
    if (tens && tens->kind == NumberKind::tens && at + 1 < words.size()) {
        const int unit = ordinalValue(words[at + 1]);
        if (unit > 0 && unit < 10)
            return {tens->value + unit, 2};
    }
    return {};
}

// A year said in two halves: "nineteen eighty four", "twenty twenty five", "nineteen oh five".
// The first half is thirteen to twenty, so that times ("ten thirty") stay as they are.
Cardinal yearAt(const QStringList& words, int at) {
    const NumberWord* century = at < words.size() ? numberWord(words[at]) : nullptr;
    if (!century || century->value < 13 || century->value > 20 ||
        (century->kind != NumberKind::teen && century->kind != NumberKind::tens))
        return {};
    if (at + 2 < words.size() && words[at + 1] == QLatin1String("oh")) {
        const NumberWord* unit = numberWord(words[at + 2]);
        if (unit && unit->kind == NumberKind::unit)
            return {century->value * 100 + unit->value, 3};
        return {};
    }
    const Cardinal rest = cardinalAt(words, at + 1);
    if (rest.length == 0 || rest.value < 10 || rest.value > 99 || ordinalAt(words, at + 1).length)
        return {};
    return {century->value * 100 + rest.value, 1 + rest.length};
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
        : Writer(spoken.formattedString.split(QLatin1Char(' '), Qt::SkipEmptyParts),
                 spoken.segmentTimestamps, options) {}

    Writer(const WrittenPieces& written, const DictationFormatter::Options& options)
        : Writer(written.words, noTimes, options) {
        surfaces_ = written.surfaces;
        pieceMarks_ = written.marks;
    }

    RecognitionResult write(bool isFinal) {
        numbers();
        if (options_.spokenPunctuation)
            marks();
        capitals();
        return joined(isFinal);
    }

private:
    Writer(QStringList words, const std::vector<double>& times,
           const DictationFormatter::Options& options)
        : options_(options), words_(std::move(words)), times_(times) {
        for (auto form = options.writtenForms.constBegin(); form != options.writtenForms.constEnd();
             ++form)
            longestForm_ = std::max(longestForm_, form.key().count(QLatin1Char(' ')) + 1);
    }

    // The word at `i` as it came: a service's keeps its surface and its marks their glue.
    Token plainToken(int i) const {
        Token token{words_[i], timeOf(i)};
        if (size_t(i) < surfaces_.size()) {
            token.surface = surfaces_[size_t(i)];
            token.mark = pieceMarks_[size_t(i)];
            token.asWritten = token.mark != nullptr;
        }
        return token;
    }

    double timeOf(int word) const {
        if (times_.empty())
            return 0;
        return times_[std::min(size_t(word), times_.size() - 1)];
    }

    void numbers() {
        for (int i = 0; i < words_.size();) {
            // Ordinals from ten up are written in digits, all of them after a month ("you may
            // first ask" is no date).
            const Cardinal ordinal = ordinalAt(words_, i);
            const bool afterMonth = i > 0 && monthWords.contains(words_[i - 1]);
            if (ordinal.length && (ordinal.value >= 10 || afterMonth)) {
                tokens_.push_back({ordinalDigits(ordinal.value), timeOf(i), nullptr, true});
                i += ordinal.length;
                continue;
            }
            if (const Cardinal year = yearAt(words_, i); year.length) {
                tokens_.push_back({QString::number(year.value), timeOf(i), nullptr, true});
                i += year.length;
                continue;
            }
            const Cardinal number = cardinalAt(words_, i);
            if (number.length == 0) {
                tokens_.push_back(plainToken(i));
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
                tokens_.push_back(plainToken(i));
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
            // A service may have punctuated around the words of a mark said aloud: the mark said
            // replaces its own.
            const QString written = QString::fromUtf8(found->written);
            if (onlyClauseMarks(written))
                while (!out.empty() && out.back().isWrittenClauseMark())
                    out.pop_back();
            out.push_back({written, tokens_[i].start, found, true});
            i += length;
            while (i < tokens_.size() && tokens_[i].isWrittenClauseMark())
                ++i;
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
            if (const qsizetype written = writeUsersFormAt(i)) {
                i += size_t(written) - 1;
            } else if (atSentenceStart || properWords.contains(token.text) ||
                       (ambiguousMonths.contains(token.text) && readsAsMonth(i))) {
                token.shown()[0] = token.shown()[0].toUpper();
            }
        }
    }

    // Writes the longest of the user's words and phrases said from token `i` on as the user
    // writes it, a phrase only where all of it was said; the tokens taken, 0 when none.
    qsizetype writeUsersFormAt(size_t i) {
        for (qsizetype n = longestForm_; n >= 1; --n) {
            if (i + size_t(n) > tokens_.size())
                continue;
            QStringList said;
            for (qsizetype k = 0; k < n; ++k) {
                const Token& next = tokens_[i + size_t(k)];
                if (next.mark || next.asWritten)
                    break;
                said.append(next.text);
            }
            const auto form = options_.writtenForms.constFind(said.join(QLatin1Char(' ')));
            if (said.size() != n || form == options_.writtenForms.constEnd())
                continue;
            const QStringList written = form->split(QLatin1Char(' '));
            for (qsizetype k = 0; k < n; ++k) {
                tokens_[i + size_t(k)].text = written.value(k);
                tokens_[i + size_t(k)].surface.clear();
                tokens_[i + size_t(k)].asWritten = true;
            }
            return n;
        }
        return 0;
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
        for (Token token : tokens_) {
            const Glue glue = token.mark ? token.mark->glue : Glue::none;
            if (!written.isEmpty() &&
                (glueNext || glue == Glue::toPrevious || glue == Glue::both)) {
                written.last() += token.shown();
            } else {
                written.append(token.shown());
                result.segmentTimestamps.push_back(token.start);
            }
            glueNext = glue == Glue::toNext || glue == Glue::both;
        }
        result.formattedString = written.join(QLatin1Char(' '));
        return result;
    }

    static inline const std::vector<double> noTimes;

    const DictationFormatter::Options& options_;
    const QStringList words_;
    const std::vector<double>& times_;
    std::vector<QString> surfaces_;
    std::vector<const SpokenMark*> pieceMarks_;
    std::vector<Token> tokens_;
    qsizetype longestForm_ = 0;
};

} // namespace

DictationFormatter::DictationFormatter(Options options) : options_(std::move(options)) {}

RecognitionResult DictationFormatter::format(const RecognitionResult& spoken) const {
    return Writer(spoken, options_).write(spoken.isFinal);
}

QString DictationFormatter::formatWritten(const QString& text) const {
    return Writer(WrittenPieces(text), options_).write(true).formattedString;
}
