#include "engine/RealtimeScheduling.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#if defined(__linux__)
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#if defined(KESTRIX_REALTIMEKIT)
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusVariant>
#endif
#elif defined(_WIN32)
#include <windows.h>
#endif

std::string RealtimeScheduling::Grant::describe() const
{
    if (!realtime)
        return "ordinary priority (" + how + ")";
    return policy + " priority " + std::to_string(priority) + " (" + how + ")";
}

#if defined(__linux__)

namespace {

RealtimeScheduling::Grant granted(const char* policy, int priority, std::string how)
{
    return {true, policy, priority, std::move(how)};
}

#if defined(KESTRIX_REALTIMEKIT)
// RealtimeKit (rtkit-daemon) grants SCHED_RR to the threads of a desktop
// session's processes that ask and that cap their real-time CPU time.
bool askRealtimeKit(pid_t thread, int priority, RealtimeScheduling::Grant& grant, std::string& why)
{
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::error_code ec;
    if ((address == nullptr || *address == '\0') && !std::filesystem::exists("/run/dbus/system_bus_socket", ec)) {
        why = "no system bus";
        return false;
    }
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, "kestrix-realtimekit");
    if (!bus.isConnected()) {
        why = bus.lastError().message().toStdString();
        return false;
    }
    const QString service = "org.freedesktop.RealtimeKit1", path = "/org/freedesktop/RealtimeKit1";
    const auto property = [&](const char* name, QVariant& value) {
        QDBusMessage get = QDBusMessage::createMethodCall(service, path, "org.freedesktop.DBus.Properties", "Get");
        get << service << QString(name);
        const QDBusMessage reply = bus.call(get, QDBus::Block, 2000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            why = reply.errorMessage().toStdString();
            return false;
        }
        value = reply.arguments().first().value<QDBusVariant>().variant();
        return true;
    };
    QVariant maxPriority, maxRealtimeMicros;
    if (!property("MaxRealtimePriority", maxPriority) || !property("RTTimeUSecMax", maxRealtimeMicros))
        return false;
    // It grants only to a process whose threads cannot hold a core longer than it allows.
    const auto micros = static_cast<rlim_t>(maxRealtimeMicros.toLongLong());
    const rlimit cpu{micros, micros};
    if (setrlimit(RLIMIT_RTTIME, &cpu) != 0) {
        why = std::string("RLIMIT_RTTIME cannot be set: ") + std::strerror(errno);
        return false;
    }
    const int allowed = std::min(priority, maxPriority.toInt());
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, service, "MakeThreadRealtime");
    call << static_cast<quint64>(thread) << static_cast<quint32>(allowed);
    const QDBusMessage reply = bus.call(call, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        why = reply.errorMessage().toStdString();
        return false;
    }
    grant = granted("SCHED_RR", allowed, "RealtimeKit");
    return true;
}
#else
bool askRealtimeKit(pid_t, int, RealtimeScheduling::Grant&, std::string& why)
{
    why = "not built in";
    return false;
}
#endif

} // namespace

int64_t RealtimeScheduling::currentThread()
{
    return static_cast<int64_t>(syscall(SYS_gettid));
}

RealtimeScheduling::Grant RealtimeScheduling::raise(int64_t thread, int priority)
{
    const auto id = static_cast<pid_t>(thread);
    // Threads it starts, and processes it forks, begin at ordinary priority again.
    constexpr int policy = SCHED_FIFO | SCHED_RESET_ON_FORK;
    rlimit limit{};
    const bool haveLimit = getrlimit(RLIMIT_RTPRIO, &limit) == 0;
    sched_param param{};
    param.sched_priority = priority;
    if (sched_setscheduler(id, policy, &param) == 0)
        return granted("SCHED_FIFO", priority,
            haveLimit && limit.rlim_cur >= static_cast<rlim_t>(priority) ? "RLIMIT_RTPRIO" : "root or CAP_SYS_NICE");
    const std::string refused = std::strerror(errno);

    // A lower grant than asked for still keeps the clock ahead of ordinary programs.
    if (haveLimit && limit.rlim_max > 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_RTPRIO, &limit);
        param.sched_priority = static_cast<int>(std::min<rlim_t>(static_cast<rlim_t>(priority), limit.rlim_max));
        if (sched_setscheduler(id, policy, &param) == 0)
            return granted("SCHED_FIFO", param.sched_priority, "RLIMIT_RTPRIO");
    }

    Grant grant;
    std::string whyNot;
    if (askRealtimeKit(id, priority, grant, whyNot))
        return grant;
    grant.how = "SCHED_FIFO refused: " + refused + "; no RLIMIT_RTPRIO grant; RealtimeKit: " + whyNot;
    return grant;
}

void RealtimeScheduling::lower(int64_t thread)
{
    sched_param param{};
    sched_setscheduler(static_cast<pid_t>(thread), SCHED_OTHER, &param);
}

#elif defined(_WIN32)

int64_t RealtimeScheduling::currentThread()
{
    return static_cast<int64_t>(GetCurrentThreadId());
}

RealtimeScheduling::Grant RealtimeScheduling::raise(int64_t thread, int)
{
    Grant grant;
    HANDLE handle = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(thread));
    const bool raised = handle != nullptr && SetThreadPriority(handle, THREAD_PRIORITY_TIME_CRITICAL);
    if (handle != nullptr)
        CloseHandle(handle);
    if (raised)
        return {true, "TIME_CRITICAL", 15, "SetThreadPriority"};
    grant.how = "SetThreadPriority failed (error " + std::to_string(GetLastError()) + ")";
    return grant;
}

void RealtimeScheduling::lower(int64_t thread)
{
    HANDLE handle = OpenThread(THREAD_SET_INFORMATION, FALSE, static_cast<DWORD>(thread));
    if (handle != nullptr) {
        SetThreadPriority(handle, THREAD_PRIORITY_NORMAL);
        CloseHandle(handle);
    }
}

#else

int64_t RealtimeScheduling::currentThread()
{
    return 0;
}

RealtimeScheduling::Grant RealtimeScheduling::raise(int64_t, int)
{
    Grant grant;
    grant.how = "not asked for on this system";
    return grant;
}

void RealtimeScheduling::lower(int64_t) { }

#endif
