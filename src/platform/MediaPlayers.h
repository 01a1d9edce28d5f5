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
