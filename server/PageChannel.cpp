#include "server/PageChannel.h"

PageChannel::PageChannel(QObject& bridge, QWebSocket* socket)
    : page(bridge), transport(socket, PageBridge::staticMetaObject)
{
    channel.registerObject("qmlWrapper", &page);
    channel.connectTo(&transport);
    connect(&transport, &WebSocketTransport::closed, this, &QObject::deleteLater);
}
