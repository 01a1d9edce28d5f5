#pragma once

#include <QString>

// The user defaults that hold the user's choices, each read where it takes effect.
namespace SettingKeys {

// The hold key, a key name of the platform; unset: the platform's default.
inline const QString holdKey = QStringLiteral("ai.mirvo.hotkey");
// A recognition profile's name; unset: the default profile.
inline const QString recognitionProfile = QStringLiteral("ai.mirvo.recognitionProfile");
// Whether spoken marks ("comma") are written as marks; unset: they are.
inline const QString spokenPunctuation = QStringLiteral("ai.mirvo.spokenPunctuation");
// Whether the recent dictations are kept across restarts; unset: they are not.
inline const QString keepHistory = QStringLiteral("ai.mirvo.keepHistory");
// Whether the HUD shows the words heard while the user speaks; unset: it does.
inline const QString showHeardWords = QStringLiteral("ai.mirvo.showHeardWords");
// Whether dictations use the speech service of the user's settings; unset: they do.
inline const QString useSpeechService = QStringLiteral("ai.mirvo.useSpeechService");
// What happens to playing media while the user dictates: "pause" (unset), "lower" (every other
// sound down to a fifth) or "leave".
inline const QString mediaWhileDictating = QStringLiteral("ai.mirvo.mediaWhileDictating");

} // namespace SettingKeys
