#pragma once

#include "ChordKeyboard.h"

#include <memory>

class WaylandConnection;
struct org_kde_kwin_fake_input;

// The paste chord on KDE Plasma, through KWin's fake input, which KWin offers only to programs
// whose .desktop file asks for it (Mirvo's does).
class KdeFakeInputKeyboard final : public ChordKeyboard {
public:
    // None when there is no compositor to reach or it offers no fake input.
    static std::unique_ptr<KdeFakeInputKeyboard> connect();
    ~KdeFakeInputKeyboard() override;

    bool typePasteChord(bool shift) override;
    QString protocol() const override { return QStringLiteral("KWin fake input"); }

private:
    KdeFakeInputKeyboard(std::unique_ptr<WaylandConnection> connection,
                         org_kde_kwin_fake_input* fakeInput);

    const std::unique_ptr<WaylandConnection> connection_;
    org_kde_kwin_fake_input* const fakeInput_;
};
