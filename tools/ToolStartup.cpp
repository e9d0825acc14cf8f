#include "tools/ToolStartup.h"

#include "tools/StopRequest.h"

#include <QtCore/QLoggingCategory>

#include <cstdio>

void prepareToolProcess()
{
    // Which candidate libraries were not found is not news for a tool's user;
    // QT_LOGGING_RULES can still bring it back.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    installStopHandlers();
}

int explainArguments(const char* program, const std::string& error, const char* usage)
{
    if (error.empty()) {
        std::fputs(usage, stdout);
        return 0;
    }
    std::fprintf(stderr, "%s: %s\n\n%s", program, error.c_str(), usage);
    return 2;
}
