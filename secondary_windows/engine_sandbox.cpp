#include "secondary_windows/engine_sandbox.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Chromium's switches as the engine gathers them: from its flags variable if
// set, otherwise from the program's arguments after --webEngineArgs.
QStringList engineSwitches()
{
    if (qEnvironmentVariableIsSet("QTWEBENGINE_CHROMIUM_FLAGS"))
        return qEnvironmentVariable("QTWEBENGINE_CHROMIUM_FLAGS").split(u' ', Qt::SkipEmptyParts);
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype at = arguments.indexOf(QRegularExpression(
        QStringLiteral("--webEngineArgs"), QRegularExpression::CaseInsensitiveOption));
    return at < 0 ? QStringList() : arguments.mid(at + 1);
}

bool hasSwitch(const QStringList &switches, const char *name)
{
    const QString bare = QLatin1String(name);
    return switches.contains(QStringLiteral("--") + bare) ||
           switches.contains(QStringLiteral("-") + bare);
}

bool writeFile(const char *path, const char *text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const auto length = ssize_t(std::strlen(text));
    const bool written = write(fd, text, size_t(length)) == length;
    close(fd);
    return written;
}

// The engine's namespace sandbox: a child in new user, PID and network
// namespaces that maps its own user and group in them, as the engine's probe
// does. Tried in a child of a child, which leaves this process as it was.
bool canMakeUserNamespaces()
{
    char uidMap[64];
    char gidMap[64];
    std::snprintf(uidMap, sizeof uidMap, "%u %u 1\n", unsigned(geteuid()), unsigned(geteuid()));
    std::snprintf(gidMap, sizeof gidMap, "%u %u 1\n", unsigned(getegid()), unsigned(getegid()));
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        // Only calls that are safe after forking a process with threads.
        const bool ok = unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNET) == 0 &&
                        writeFile("/proc/self/setgroups", "deny") &&
                        writeFile("/proc/self/gid_map", gidMap) &&
                        writeFile("/proc/self/uid_map", uidMap);
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool decide()
{
    const QStringList switches = engineSwitches();
    if (qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX") ||
        hasSwitch(switches, "no-sandbox"))
        return true;
    // The engine refuses root outright, and it has no setuid sandbox to fall back on.
    if (getuid() == 0 || hasSwitch(switches, "disable-namespace-sandbox"))
        return false;
    return canMakeUserNamespaces();
}

} // namespace

bool EngineSandbox::engineCanStart()
{
    static const bool can = decide();
    return can;
}
