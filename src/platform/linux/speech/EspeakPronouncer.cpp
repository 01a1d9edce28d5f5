#include "EspeakPronouncer.h"

#include "common/Log.h"

#include <QRegularExpression>
#include <QStringList>

#include <espeak-ng/speak_lib.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// Longest sounds first: "aɪə" before "aɪ" before "a".
const std::pair<const char*, const char*> ipaToPhones[] = {
    {"aɪə", "AY AH"}, {"aɪ", "AY"},    {"aʊ", "AW"},   {"eɪ", "EY"},   {"oʊ", "OW"}, {"əʊ", "OW"},
    {"ɔɪ", "OY"},     {"iə", "IY AH"}, {"eə", "EH R"}, {"ʊə", "UH R"}, {"tʃ", "CH"}, {"dʒ", "JH"},
    {"n̩", "AH N"},    {"l̩", "AH L"},   {"m̩", "AH M"},  {"æ", "AE"},    {"a", "AE"},  {"ɑ", "AA"},
    {"ɒ", "AA"},      {"ʌ", "AH"},     {"ə", "AH"},    {"ɐ", "AH"},    {"ɚ", "ER"},  {"ɜ", "ER"},
    {"ɝ", "ER"},      {"ɛ", "EH"},     {"e", "EH"},    {"ɪ", "IH"},    {"ᵻ", "IH"},  {"i", "IY"},
    {"ɔ", "AO"},      {"o", "OW"},     {"ʊ", "UH"},    {"u", "UW"},    {"y", "UW"},  {"b", "B"},
    {"d", "D"},       {"ð", "DH"},     {"f", "F"},     {"ɡ", "G"},     {"g", "G"},   {"h", "HH"},
    {"k", "K"},       {"l", "L"},      {"ɫ", "L"},     {"m", "M"},     {"n", "N"},   {"ŋ", "NG"},
    {"p", "P"},       {"ɹ", "R"},      {"r", "R"},     {"ɾ", "T"},     {"s", "S"},   {"ʃ", "SH"},
    {"t", "T"},       {"θ", "TH"},     {"v", "V"},     {"w", "W"},     {"ʍ", "W"},   {"j", "Y"},
    {"z", "Z"},       {"ʒ", "ZH"},     {"x", "K"},     {"ç", "HH"},    {"ʔ", "T"},
};

std::mutex& espeakMutex() {
    static std::mutex mutex;
    return mutex;
}

bool espeakReadyLocked() {
    static const bool ready = [] {
        if (espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT) <
                0 ||
            espeak_SetVoiceByName("en-us") != EE_OK) {
            mirvoLog(QStringLiteral("[Mirvo/Transcriber] espeak-ng could not start: words the "
                                    "speech model lacks get no pronunciation"),
                     LogLevel::error);
            return false;
        }
        return true;
    }();
    return ready;
}

} // namespace

QString EspeakPronouncer::phonesOfIPA(const QString& ipa) {
    static const auto table = [] {
        std::vector<std::pair<QString, QString>> list;
        for (const auto& [sound, phone] : ipaToPhones)
            list.emplace_back(QString::fromUtf8(sound), QString::fromLatin1(phone));
        return list;
    }();
    static const QRegularExpression marks(QStringLiteral("[\\sˈˌːˑ͡‿]"));
    QString sounds = ipa;
    sounds.remove(marks);
    QStringList phones;
    for (qsizetype at = 0; at < sounds.size();) {
        const auto match = std::find_if(table.begin(), table.end(), [&](const auto& entry) {
            return QStringView(sounds).mid(at).startsWith(entry.first);
        });
        if (match == table.end())
            return {};
        phones.append(match->second);
        at += match->first.size();
    }
    return phones.join(QLatin1Char(' '));
}

QString EspeakPronouncer::phonesOf(const QString& word) {
    const QByteArray text = word.toUtf8();
    QString ipa;
    {
        std::lock_guard lock(espeakMutex());
        if (!espeakReadyLocked())
            return {};
        const void* rest = text.constData();
        while (rest) {
            const char* sounds =
                espeak_TextToPhonemes(&rest, espeakCHARS_UTF8, espeakPHONEMES_IPA | (' ' << 8));
            ipa += QString::fromUtf8(sounds ? sounds : "") + QLatin1Char(' ');
        }
    }
    return phonesOfIPA(ipa);
}
