import QtQuick
import QtQuick.Window
import QtWebEngine

Window {
    width: 1200
    height: 680
    visible: true
    title: qsTr(TITLE)

    WebEngineView {
        anchors.fill: parent
        url: "qrc:/routing-web-ui.html"
        Component.onCompleted: webChannel = qmlWrapper.webUIControllerWebChannel
    }
}
