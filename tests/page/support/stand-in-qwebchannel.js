// Served in place of qrc:///qtwebchannel/qwebchannel.js. It offers the same
// client surface as Qt's script (new QWebChannel(transport, ready), objects,
// properties read as values, signals with connect/disconnect, slots as
// functions), backed by a stand-in "qmlWrapper" that records every slot call
// and lets the test emit the bridge's signals.
(function () {
    "use strict";

    const config = window.__standInBridgeConfig || {};
    const signalNames = ["sourcesUpdated", "sendersUpdated", "connectionsUpdated", "setAVDelaySignal"];
    const slotNames = ["connectionAdded", "connectionRemoved", "videoConnectionAdded", "videoConnectionRemoved",
                       "setAVDelay", "console", "uiReady", "senderAdded", "senderRemoved",
                       "loadFileButtonPressed", "saveFileButtonPressed", "saveAsFileButtonPressed"];

    const calls = [];
    const handlers = Object.fromEntries(signalNames.map(name => [name, []]));
    let pendingReady = null;

    const wrapper = {
        webUIControllerWebChannel: {},
        productVersion: config.productVersion,
        ndiLibVersion: config.ndiLibVersion,
        getTitle: config.getTitle,
    };
    for (const name of signalNames) {
        wrapper[name] = {
            connect(handler) {
                if (typeof handler !== "function") throw new Error("connect needs a function");
                handlers[name].push(handler);
            },
            disconnect(handler) {
                const index = handlers[name].indexOf(handler);
                if (index >= 0) handlers[name].splice(index, 1);
            },
        };
    }
    for (const name of slotNames) {
        // Arguments cross the real channel as JSON, so record them that way.
        wrapper[name] = function (...args) {
            const entry = [name, ...JSON.parse(JSON.stringify(args))];
            if (name === "uiReady")
                entry.push({connectedSignals: signalNames.filter(s => handlers[s].length > 0)});
            calls.push(entry);
        };
    }

    window.__bridge = {
        calls,
        emit(signal, text) {
            if (!handlers[signal]) throw new Error("no signal " + signal);
            for (const handler of handlers[signal].slice()) handler(text);
        },
        // Hands the channel to the page when the test held it back.
        release() {
            if (pendingReady) {
                const ready = pendingReady;
                pendingReady = null;
                ready();
            }
        },
    };

    window.QWebChannel = function QWebChannel(transport, initCallback) {
        if (typeof transport !== "object" || transport === null || transport !== (window.qt && window.qt.webChannelTransport))
            throw new Error("QWebChannel expects the qt.webChannelTransport object");
        this.objects = {qmlWrapper: wrapper};
        // The real channel answers its init request asynchronously.
        const ready = () => initCallback(this);
        if (config.holdChannel)
            pendingReady = ready;
        else
            setTimeout(ready, 0);
    };
})();
