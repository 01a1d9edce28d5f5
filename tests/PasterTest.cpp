#include "core/Paster.h"
#include "common/MirvoError.h"
#include "doubles/FakePlatform.h"
#include "platform/linux/wayland/WlClipboardPasteboard.h"
#include "support/LogCapture.h"
#include "support/Utilities.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Item = FakePasteboard::Item;

struct Rig {
    Rig(double delay = 0.1, double wait = 0.6)
        : pasteboard(std::make_shared<FakePasteboard>()),
          keyboard(std::make_shared<FakeKeyboardEvents>()),
          paster(std::make_unique<PasteboardPaster>(pasteboard, keyboard, delay, wait)) {}
    std::shared_ptr<FakePasteboard> pasteboard;
    std::shared_ptr<FakeKeyboardEvents> keyboard;
    std::unique_ptr<PasteboardPaster> paster;
};

} // namespace

class PasterTest : public QObject {
    Q_OBJECT

private slots:
    void restoresAfterTheLongestWaitWhenNobodyFetches() {
        Rig rig(0.1, 0.5);
        rig.pasteboard->items = {{{{"text/plain", "mine"}}, {}, {}}};
        QElapsedTimer clock;
        clock.start();
        rig.paster->paste(QStringLiteral("x"));
        QTRY_COMPARE(rig.pasteboard->text(), QStringLiteral("mine"));
        QVERIFY(clock.elapsed() >= 480);

        // Fetched at once: restored at the delay.
        Rig quick(0.1, 5);
        quick.pasteboard->items = {{{{"text/plain", "mine"}}, {}, {}}};
        quick.keyboard->onChord = [&] { quick.pasteboard->fetch(); };
        clock.restart();
        quick.paster->paste(QStringLiteral("x"));
        QTRY_COMPARE(quick.pasteboard->text(), QStringLiteral("mine"));
        QVERIFY(clock.elapsed() >= 95 && clock.elapsed() < 1000);
    }

    // Where the desktop must allow the chord, a paste it no longer allows leaves the text for the
    // user, and the restore an earlier paste left pending cannot put the user's contents over it.
    void aChordTheDesktopMustAllow() {
        auto pasteboard = std::make_shared<FakePasteboard>();
        auto keyboard = std::make_shared<FakeKeyboardEvents>();
        keyboard->onChord = [&] { pasteboard->fetch(); };
        QStringList told;
        AllowedChordPaster paster(pasteboard, keyboard, [&](const QString& s) { told.append(s); });
        pasteboard->items = {{{{"text/plain", "mine"}}, {}, {}}};
        paster.prepare();
        QCOMPARE(keyboard->prepares, 1);
        QCOMPARE(paster.paste("first"), PasteOutcome::pasted);
        keyboard->allowed = false;
        QCOMPARE(paster.paste("second"), PasteOutcome::copiedForUser);
        QCOMPARE(keyboard->chords, 1);
        QCOMPARE(told, QStringList{ClipboardHandoffPaster::copiedMessage});
        QTest::qWait(500);
        QCOMPARE(pasteboard->text(), QStringLiteral("second"));
    }

    void emptyAndUnreadableClipboards() {
        // Nothing on the clipboard: nothing again afterwards, the text does not stay.
        Rig empty;
        empty.pasteboard->hasContents = false;
        empty.keyboard->onChord = [&] { empty.pasteboard->fetch(); };
        empty.paster->paste(QStringLiteral("gone later"));
        QTRY_VERIFY(empty.pasteboard->items.empty());
        QCOMPARE(empty.pasteboard->calls.back(), QStringLiteral("clear"));

        // An item none of whose types can be read comes back as one empty item.
        Rig unreadable;
        unreadable.pasteboard->items = {
            {{{"text/plain", "x"}, {"text/html", "y"}}, {"text/plain", "text/html"}, {}}};
        unreadable.keyboard->onChord = [&] { unreadable.pasteboard->fetch(); };
        unreadable.paster->paste(QStringLiteral("t"));
        QTRY_COMPARE(unreadable.pasteboard->calls.back(), QStringLiteral("write 1"));
        QCOMPARE(unreadable.pasteboard->items.size(), size_t(1));
        QVERIFY(unreadable.pasteboard->items[0].types.empty());
    }

    // What the user had is never lost to a paste that cannot go right: a copy that fails
    // sends no chord (it would paste the old contents) and gives the clipboard back at once; a
    // clipboard that could not be read in full is left as it is rather than emptied.
    void failuresNeverCostTheUsersContents() {
        // Alone, and right after a paste whose restore is still pending.
        for (const int earlier : {0, 1}) {
            Rig rig(0.2, 1);
            rig.pasteboard->items = {{{{"text/plain", "the user's"}}, {}, {}}};
            if (earlier)
                QCOMPARE(rig.paster->paste(QStringLiteral("first")), PasteOutcome::pasted);
            rig.pasteboard->refusesText = true;
            QCOMPARE(rig.paster->paste(QStringLiteral("dictated")), PasteOutcome::failed);
            QCOMPARE(rig.keyboard->chords, earlier);
            QCOMPARE(rig.pasteboard->text(), QStringLiteral("the user's"));
        }

        // No window to paste into: no chord, the clipboard untouched.
        Rig unfocused;
        unfocused.pasteboard->items = {{{{"text/plain", "the user's"}}, {}, {}}};
        unfocused.keyboard->focused = std::nullopt;
        QCOMPARE(unfocused.paster->paste(QStringLiteral("dictated")), PasteOutcome::noTarget);
        QCOMPARE(unfocused.keyboard->chords, 0);
        QVERIFY(unfocused.pasteboard->calls.isEmpty());

        Rig slow;
        slow.pasteboard->items = {
            {{{"text/plain", "caption"}, {"image/png", "huge"}}, {}, {"image/png"}}};
        slow.keyboard->onChord = [&] { slow.pasteboard->fetch(); };
        QCOMPARE(slow.paster->paste(QStringLiteral("dictated")), PasteOutcome::pasted);
        QCOMPARE(slow.keyboard->chords, 1);
        QTest::qWait(300);
        QCOMPARE(slow.pasteboard->text(), QStringLiteral("dictated"));
        QCOMPARE(slow.pasteboard->calls.count("clear"), 1); // only the one before the text
    }

    // The Wayland clipboard read through wl-paste: a read over its bound is a failure, not an
    // empty type, and an empty clipboard is no failure.
    void waylandReadsAreBounded() {
        QTemporaryDir bin;
        const QString script = bin.filePath("wl-paste");
        const auto helper = [&](const QByteArray& body) {
            QFile f(script);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write("#!/bin/sh\n" + body + "\n");
            f.close();
            QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner));
        };
        ScopedVariable path("PATH", QFile::encodeName(bin.path()) + ':' + qgetenv("PATH"));
        WlClipboardPasteboard clipboard;
        helper(
            R"(case "$1" in --list-types) echo image/png ;; *) head -c 70000000 /dev/zero ;; esac)");
        const auto items = clipboard.pasteboardItems();
        QVERIFY(items && items->size() == 1);
        QVERIFY_THROWS_EXCEPTION(MirvoError, (*items)[0]->data(QStringLiteral("image/png")));
        helper("echo 'No selection' >&2; exit 1");
        QVERIFY(!clipboard.pasteboardItems());
        helper("exit 2");
        QVERIFY_THROWS_EXCEPTION(MirvoError, clipboard.pasteboardItems());
    }
};

QTEST_GUILESS_MAIN(PasterTest)
#include "PasterTest.moc"
