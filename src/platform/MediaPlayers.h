#pragma once

// The desktop's media players (MPRIS on Linux), which Mirvo pauses while the user dictates so
// that a playing video neither talks over the user nor into the microphone. Neither call waits
// for a player: a slow, vanished or failing one never delays the recording or the paste. Main
// thread only.
class MediaPlayers {
public:
    virtual ~MediaPlayers() = default;
    // Pauses every player that is playing now, and remembers which.
    virtual void pausePlaying() = 0;
    // Resumes the players the last pausePlaying() paused, and only those.
    virtual void resumePaused() = 0;
};

// The other programs' sounds, turned down while the user dictates, for players that do not
// pause (a call, a game, a player without MPRIS). Neither call waits for the sound server.
class OtherSounds {
public:
    virtual ~OtherSounds() = default;
    // Turns every playback stream down to `fraction` of its volume.
    virtual void lower(double fraction) = 0;
    // Gives the streams the last lower() turned down the volume they had; a stream that ended
    // meanwhile is forgotten.
    virtual void restore() = 0;
};
