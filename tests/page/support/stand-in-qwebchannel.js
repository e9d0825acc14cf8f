// Served in place of qrc:///qtwebchannel/qwebchannel.js: Qt's client surface over a
// stand-in "qmlWrapper" that records every slot call, lets the test emit the bridge's
// signals, and refuses the slots the test names as the bridge does (changeRefused, then the answer).
(function () {
    "use strict";

    const signalNames = ["sourcesUpdated", "sendersUpdated", "connectionsUpdated", "setAVDelaySignal",
                         "changeRefused", "fileOperationDone", "levelsUpdated", "statusUpdated", "routingChanged"];
    // The names the bridge gives a refused slot's arguments (for the slots the tests refuse).
    const argumentNames = {
        senderAdded: ["senderName", "numChannels"],
        connectionAdded: ["sourceName", "sourceChannel", "senderName", "senderChannel"],
        videoConnectionAdded: ["sourceName", "senderName"],
        setAVDelay: ["senderName", "delay"],
    };
    const slotNames = [...Object.keys(argumentNames), "senderRemoved", "connectionRemoved", "videoConnectionRemoved",
                       "previewSource", "console", "uiReady", "loadFileButtonPressed", "saveFileButtonPressed",
                       "saveAsFileButtonPressed"];
    const refusals = {}; // slot -> {reason, extra}
    const calls = [];
    const handlers = Object.fromEntries(signalNames.map(name => [name, []]));
    const emit = (signal, text) => handlers[signal].slice().forEach(handler => handler(text));
    let pendingReady = null;

    const wrapper = {};
    for (const name of signalNames) wrapper[name] = {connect: handler => handlers[name].push(handler)};
    for (const name of slotNames) {
        // Arguments cross the real channel as JSON, so record them that way.
        wrapper[name] = function (...args) {
            const replied = typeof args[args.length - 1] === "function" ? args.pop() : null;
            const entry = [name, ...JSON.parse(JSON.stringify(args))];
            // What answers uiReady reaches only the handlers connected by then.
            if (name === "uiReady") entry.push({unconnectedSignals: signalNames.filter(s => handlers[s].length === 0)});
            calls.push(entry);
            const refusal = refusals[name];
            if (refusal) {
                const sent = Object.fromEntries((argumentNames[name] || []).map((key, i) => [key, entry[i + 1]]));
                emit("changeRefused", JSON.stringify({action: name, reason: refusal.reason, ...sent, ...refusal.extra}));
            }
            if (replied) Promise.resolve().then(() => replied(null));
        };
    }

    window.__bridge = {
        calls,
        emit,
        refuse(slot, reason, extra) {
            if (reason === null) delete refusals[slot];
            else refusals[slot] = {reason, extra};
        },
        release: () => pendingReady && pendingReady(),
    };

    window.QWebChannel = function QWebChannel(transport, initCallback) {
        if (transport !== window.qt.webChannelTransport) throw new Error("QWebChannel expects qt.webChannelTransport");
        this.objects = {qmlWrapper: wrapper};
        // The real channel answers its init request asynchronously.
        const ready = () => initCallback(this);
        if (window.__standInBridgeConfig.holdChannel) pendingReady = ready;
        else setTimeout(ready, 0);
    };
})();
