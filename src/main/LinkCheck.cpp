// Links the whole core into a shared object that may leave no symbol undefined: a core unit that
// calls into X11, PulseAudio, PocketSphinx or libsndfile fails here.
