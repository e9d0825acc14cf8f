import QtQuick
import QtQuick.Window
import QtWebEngine

Window {
    width: 1200
    height: 680
    visible: true
    title: qsTr(TITLE)

    // The window holds the routing page and nothing else: a link, a dropped
    // file, a reload (its keys or the context menu) never take it elsewhere,
    // and a renderer that fails is replaced by a fresh page, which asks the
    // bridge for the routing and delays as at start.
    WebEngineView {
        id: view

        readonly property url pageUrl: "qrc:/routing-web-ui.html"
        // Set only while the window itself loads the page: at start and after a renderer failure.
        property bool loadingPage: true

        anchors.fill: parent
        url: pageUrl
        Component.onCompleted: webChannel = qmlWrapper.webUIControllerWebChannel

        onNavigationRequested: function (request) {
            if (!request.isMainFrame)
                return;
            if (loadingPage && request.url.toString() === pageUrl.toString())
                request.accept();
            else
                request.reject();
            loadingPage = false;
        }
        // Text boxes keep their edit menu; everywhere else there is none (no Back, no Reload).
        onContextMenuRequested: function (request) {
            if (!request.isContentEditable)
                request.accepted = true;
        }
        onRenderProcessTerminated: function (terminationStatus, exitCode) {
            console.warn("The page's renderer ended (status " + terminationStatus + ", code " + exitCode
                         + "); loading the page again");
            reloadTimer.start();
        }

        Timer {
            id: reloadTimer
            interval: 250
            onTriggered: {
                view.loadingPage = true;
                view.reload();
            }
        }
    }
}
