#pragma once

#include <QtWebChannel/QQmlWebChannel>

// The web channel the page talks over. The QML window hands it to its web view.
class WebUIControllerWebChannel : public QQmlWebChannel {
    Q_OBJECT
public:
    using QQmlWebChannel::QQmlWebChannel;
};
