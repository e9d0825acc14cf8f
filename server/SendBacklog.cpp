#include "server/SendBacklog.h"

SendBacklog::Verdict SendBacklog::judge(qint64 waiting, Kind kind)
{
    if (waiting <= kSkipAbove) {
        stuck.invalidate();
        return Verdict::Send;
    }
    if (!stuck.isValid())
        stuck.start();
    if (waiting >= kCloseAbove || stuck.elapsed() >= kMostStuckMs)
        return Verdict::Close;
    return kind == Kind::Skippable ? Verdict::Skip : Verdict::Send;
}
