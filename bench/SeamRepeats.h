#pragma once

#include <QStringList>

#include <algorithm>

// Words or runs of up to three words that repeat immediately in `hypothesis` without doing so
// in `reference`: what a seam between chunks that replays audio twice would produce.
inline int repeatedRuns(const QStringList& reference, const QStringList& hypothesis) {
    const auto immediateRepeats = [](const QStringList& w, int run) {
        int count = 0;
        for (qsizetype i = 0; i + 2 * run <= w.size(); ++i)
            if (w.mid(i, run) == w.mid(i + run, run))
                ++count;
        return count;
    };
    int extra = 0;
    for (int run = 1; run <= 3; ++run)
        extra += std::max(0, immediateRepeats(hypothesis, run) - immediateRepeats(reference, run));
    return extra;
}
