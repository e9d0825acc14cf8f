#pragma once

// Threads: pure; any thread.

#include <QtCore/QString>
#include <QtCore/QStringView>

// Text from outside (a path, a name, a client's message) as a log line may
// hold it: in double quotes, with quotes, backslashes, line breaks and every
// other control or invisible character escaped, and cut after `most`
// characters. A client can never start a log line of its own or hide a part.
namespace LogText {

QString quoted(QStringView text, qsizetype most = 200);

} // namespace LogText
