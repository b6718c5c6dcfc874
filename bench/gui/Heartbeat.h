// The event loop's longest stall while armed: the longest gap between the beats of a
// 2 ms timer, which fire only when the window's thread returns to its loop.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <algorithm>

struct THeartbeat {
    QTimer Timer;
    QElapsedTimer Clock;
    qint64 Last = 0, MaxGap = 0;
    THeartbeat() {
        Timer.setTimerType(Qt::PreciseTimer);
        Timer.setInterval(2);
        QObject::connect(&Timer, &QTimer::timeout, [this] { Beat(); });
        Clock.start();
    }
    void Beat() {
        const qint64 now = Clock.elapsed();
        MaxGap = std::max(MaxGap, now - Last);
        Last = now;
    }
    void Arm() {
        Last = Clock.elapsed();
        MaxGap = 0;
        Timer.start();
    }
    qint64 Disarm() {
        Beat();
        Timer.stop();
        return MaxGap;
    }
};
