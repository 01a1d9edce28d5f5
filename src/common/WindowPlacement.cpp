#include "WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>

QScreen* mainScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty())
        screen = QGuiApplication::screens().first();
    return screen;
}

QRect centredOnMainScreen(QSize size) {
    QScreen* screen = mainScreen();
    const QRectF frame = screen ? QRectF(screen->geometry()) : QRectF();
    return {int(frame.center().x() - size.width() / 2.0),
            int(frame.center().y() - size.height() / 2.0), size.width(), size.height()};
}
