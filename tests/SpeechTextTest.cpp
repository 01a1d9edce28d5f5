#include "core/DictationFormatter.h"
#include "platform/linux/speech/EspeakPronouncer.h"
#include "platform/linux/speech/LanguageBias.h"
#include "platform/linux/speech/UserVocabulary.h"
#include "support/LogCapture.h"
#include "support/Utilities.h"

#include <QTemporaryDir>
#include <QTest>

class SpeechTextTest : public QObject {
    Q_OBJECT

private slots:
    void writesWhatWasSaid_data() {
        QTest::addColumn<QString>("spoken");
        QTest::addColumn<QString>("written");
        QTest::addColumn<bool>("spokenPunctuation");
        const auto row = [](const char* name, const char* spoken, const char* written,
                            bool punctuation = true) {
            addRow(name, spoken, QString::fromUtf8(written), punctuation);
        };
        row("letter",
            "dear anna comma thanks for the notes period i will send it on thursday period new "
            "paragraph can we meet at noon question mark",
            "Dear anna, thanks for the notes. I will send it on Thursday.\n\nCan we meet at noon?");
        row("cardinals",
            "twenty five people and one hundred and five chairs in two thousand "
            "twenty six",
            "25 people and 105 chairs in 2026");
        row("one to nine stay words", "one two nine ten", "One two nine 10");
        row("a trailing and is not the number's", "one hundred and counting", "100 and counting");
        row("a scale that cannot follow", "twenty thousand million", "20000 million");
        row("times", "at three thirty p m or ten a.m. or seven oh five pm",
            "At 3:30 PM or 10 AM or 7:05 PM");
        row("not a time without its half", "three thirty", "Three 30");
        row("percent", "five percent of forty percent", "5% of 40%");
        row("marks",
            "she said open quote hi close quote dash then left open paren quietly "
            "close paren colon done semicolon fine exclamation point",
            "She said \"hi\"\u2014then left (quietly): done; fine!");
        row("new line starts a sentence", "list new line milk full stop", "List\nMilk.");
        row("capitals", "i'm sure i'll come in may but it may rain in march",
            "I'm sure I'll come in May but it may rain in March");
        row("years", "in nineteen eighty four and twenty twenty five and nineteen oh five",
            "In 1984 and 2025 and 1905");
        row("not a year", "ten thirty and fifteen people and twenty five",
            "10 30 and 15 people and 25");
        row("ordinals",
            "on march twenty first and june first in the twenty first century you may first ask",
            "On March 21st and June 1st in the 21st century you may first ask");
        row("small ordinals stay words", "the first and second and thirteenth",
            "The first and second and 13th");
        row("no invented period", "this ends mid sentence", "This ends mid sentence");
        row("punctuation words kept", "comma period new line", "Comma period new line", false);
        row("nothing", "", "");
    }
    void writesWhatWasSaid() {
        QFETCH(QString, spoken);
        QFETCH(QString, written);
        QFETCH(bool, spokenPunctuation);
        RecognitionResult result;
        result.formattedString = spoken;
        for (qsizetype i = 0; i < spoken.split(' ', Qt::SkipEmptyParts).size(); ++i)
            result.segmentTimestamps.push_back(double(i));
        const DictationFormatter formatter({spokenPunctuation, {}});
        const RecognitionResult out = formatter.format(result);
        QCOMPARE(out.formattedString, written);
        // The overlap cut pairs times with space-separated tokens.
        QCOMPARE(qsizetype(out.segmentTimestamps.size()),
                 written.split(' ', Qt::SkipEmptyParts).size());
    }

    // A service writes its own capitals, digits and punctuation: they stay, and the marks said
    // aloud replace what it put around their words.
    void writesWhatAServiceWrote() {
        const DictationFormatter formatter(
            {true, {{"postgresql", "PostgreSQL"}, {"anna kowalski", "Anna Kowalski"}}});
        const QList<std::pair<QString, QString>> rows = {
            {"Hello comma this is postgresql new paragraph twenty five apples.",
             "Hello, this is PostgreSQL\n\n25 apples."},
            {"Are you there? Question mark. Yes, period.", "Are you there? Yes."},
            {"We met Anna kowalski on monday. New line. Then 3:30 PM…",
             "We met Anna Kowalski on Monday.\nThen 3:30 PM…"},
            {"It is 25 km to the U.S. border, said Kubernetes.",
             "It is 25 km to the U.S. border, said Kubernetes."},
            {"(see the notes) - \"done\"", "(See the notes) - \"done\""},
            {"  ", ""},
        };
        for (const auto& [service, written] : rows)
            QCOMPARE(formatter.formatWritten(service), written);
    }

    // A phrase of the vocabulary is written as the user writes it only where all of it was said.
    void theUsersPhrasesOnlyWhole() {
        const DictationFormatter formatter({true,
                                            {{"new york", "New York"},
                                             {"visual studio code", "Visual Studio Code"},
                                             {"k8s", "K8s"}}});
        const QList<std::pair<QString, QString>> rows = {
            {"i need a new laptop to write code", "I need a new laptop to write code"},
            {"the visual design of the studio", "The visual design of the studio"},
            {"flights to new york in visual studio code on k8s",
             "Flights to New York in Visual Studio Code on K8s"},
            {"new york new", "New York new"},
        };
        for (const auto& [spoken, written] : rows) {
            RecognitionResult result;
            result.formattedString = spoken;
            QCOMPARE(formatter.format(result).formattedString, written);
        }
    }

    // Digits inside a name belong to it; marks around a word do not.
    void theBiasModelsWords() {
        QCOMPARE(LanguageBias::wordsOf("Run K8s on 'EC2', 25 MP3s."),
                 QStringList({"run", "k8s", "on", "ec2", "mp3s"}));
    }

    void theVocabularyFileKeepsItsGoodLines() {
        QTemporaryDir dir;
        const QString path = dir.filePath("vocabulary.txt");
        QVERIFY(writeFile(path, "# names\n\nKubernetes\n  Anna Kowalski  \nrm -rf /\n"
                                "\xed\x95\x9c\xea\xb5\xad\nkubernetes\n" +
                                    QByteArray(101, 'a') + "\n"));
        LogCapture logs;
        const UserVocabulary vocabulary = UserVocabulary::read(path);
        QCOMPARE(vocabulary.phrases, QStringList({"Kubernetes", "Anna Kowalski", "kubernetes"}));
        // A word is taught once.
        QStringList spellings;
        for (const TaughtWord& word : vocabulary.words)
            spellings.append(QString::fromUtf8(word.spelling));
        QCOMPARE(spellings, QStringList({"kubernetes", "anna", "kowalski"}));
        QCOMPARE(logs.startingWith("[Mirvo/Transcriber] vocabulary line"),
                 QStringList({"[Mirvo/Transcriber] vocabulary line 5 skipped: not a word",
                              "[Mirvo/Transcriber] vocabulary line 6 skipped: espeak-ng cannot "
                              "say it",
                              "[Mirvo/Transcriber] vocabulary line 8 skipped: longer than 100 "
                              "characters"}));
        QVERIFY(UserVocabulary::read(dir.filePath("missing.txt")).phrases.isEmpty());
    }
};

QTEST_GUILESS_MAIN(SpeechTextTest)
#include "SpeechTextTest.moc"
