#pragma once

#include <QtCore/QSharedMemory>
#include <QtCore/QString>
#include <QtCore/QSystemSemaphore>

// 40 lower-case hex digits: the SHA-1 of the salt's UTF-8 bytes followed by the name's.
QString makeGuardKey(const QString& salt, const QString& name);

// Only one router per machine: the first holds a named shared-memory segment
// while it runs; later ones find it and leave.
class SingleInstanceGuard {
public:
    SingleInstanceGuard();
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    bool isAnotherRunning();
    // Claims the machine for this process; false when that is not possible.
    bool tryToRun();
    void release();

private:
    static constexpr int kStaleSegmentTries = 64;

    const QString saltText = "local_guard_tag";
    const QString lockName;
    const QString segmentName;
    QSharedMemory segment;
    QSystemSemaphore lock;
};
