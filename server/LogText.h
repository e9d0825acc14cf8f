#pragma once

// Threads: pure; any thread.

#include <QtCore/QByteArrayView>
#include <QtCore/QString>
#include <QtCore/QStringView>

// Text from outside (a path, a name, a client's message) as a log line may
// hold it: in double quotes, with quotes, backslashes, line breaks and every
// other control or invisible character escaped, and cut after `most`
// characters. A client can never start a log line of its own or hide a part.
namespace LogText {

QString quoted(QStringView text, qsizetype most = 200);
// Bytes that need not be UTF-8: each byte that is not part of valid UTF-8 shows as \xNN.
QString quoted(QByteArrayView bytes, qsizetype most = 200);

} // namespace LogText
