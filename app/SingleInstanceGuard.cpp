#include "app/SingleInstanceGuard.h"

#include <QtCore/QCryptographicHash>

QString makeGuardKey(const QString& salt, const QString& name)
{
    const QByteArray bytes = salt.toUtf8() + name.toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

SingleInstanceGuard::SingleInstanceGuard()
    : lockName(makeGuardKey(saltText, "_memLockRouterKey")), segmentName(makeGuardKey(saltText, "_sharedmemRouterKey")),
      segment(segmentName), lock(lockName, 1, QSystemSemaphore::Open)
{
    // A segment left by a process that was killed has no one attached: attaching
    // and detaching a temporary handle removes it.
    lock.acquire();
    {
        QSharedMemory stale(segmentName);
        stale.attach();
    }
    lock.release();
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    release();
}

bool SingleInstanceGuard::isAnotherRunning()
{
    if (segment.isAttached())
        return false;
    lock.acquire();
    const bool attached = segment.attach();
    if (attached)
        segment.detach();
    lock.release();
    return attached;
}

bool SingleInstanceGuard::tryToRun()
{
    lock.acquire();
    bool created = segment.create(8);
    // The key may only now exist as a file, so the clean-up at construction
    // could not reach a segment left by a killed process. And the key comes
    // from 16 bits of the key file's inode: a new key file often takes the
    // inode of one that went with its folder, whose killed process left its
    // segment. Each try removes one such segment (no one is attached to it)
    // and the next key file may meet another, so one try is not enough.
    for (int tries = 0; !created && segment.error() == QSharedMemory::AlreadyExists && tries < kStaleSegmentTries;
         ++tries) {
        QSharedMemory stale(segmentName);
        if (!stale.attach())
            break;
        stale.detach(); // removes it unless a running process holds it
        created = segment.create(8);
    }
    lock.release();
    if (!created)
        release();
    return created;
}

void SingleInstanceGuard::release()
{
    lock.acquire();
    if (segment.isAttached())
        segment.detach();
    lock.release();
}
