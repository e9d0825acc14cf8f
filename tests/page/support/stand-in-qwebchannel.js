// Served in place of qrc:///qtwebchannel/qwebchannel.js. It offers the same
// client surface as Qt's script (new QWebChannel(transport, ready), objects,
// properties read as values, signals with connect/disconnect, slots as
// functions that answer a trailing callback once handled), backed by a
// stand-in "qmlWrapper" that records every slot call, lets the test emit the
// bridge's signals, and refuses the slots the test names as the real bridge
// does: changeRefused first, then the answer.
(function () {
    "use strict";

    const signalNames = ["sourcesUpdated", "sendersUpdated", "connectionsUpdated", "setAVDelaySignal",
                         "changeRefused", "fileOperationDone", "levelsUpdated", "statusUpdated"];
    // The names the bridge gives a refused slot's arguments.
    const argumentNames = {
        senderAdded: ["senderName", "numChannels"],
        senderRemoved: ["senderName"],
        connectionAdded: ["sourceName", "sourceChannel", "senderName", "senderChannel"],
        connectionRemoved: ["sourceName", "sourceChannel", "senderName", "senderChannel"],
        videoConnectionAdded: ["sourceName", "senderName"],
        videoConnectionRemoved: ["sourceName", "senderName"],
        setAVDelay: ["senderName", "delay"],
        previewSource: ["sourceName"],
    };
    const slotNames = [...Object.keys(argumentNames), "console", "uiReady",
                       "loadFileButtonPressed", "saveFileButtonPressed", "saveAsFileButtonPressed"];
    const refusals = {}; // slot -> {reason, extra}
    const calls = [];
    const handlers = Object.fromEntries(signalNames.map(name => [name, []]));
    let pendingReady = null;

    const wrapper = {productVersion: "1.0.0", ndiLibVersion: "6.0.0", getTitle: "Kestrix"};
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

    function emit(signal, text) {
        if (!handlers[signal]) throw new Error("no signal " + signal);
        for (const handler of handlers[signal].slice()) handler(text);
    }

    window.__bridge = {
        calls,
        emit,
        // From now on the slot is refused with this reason (null: accepted again).
        refuse(slot, reason, extra) {
            if (reason === null) delete refusals[slot];
            else refusals[slot] = {reason, extra: extra || {}};
        },
        // Hands the channel to the page when the test held it back.
        release() {
            const ready = pendingReady;
            pendingReady = null;
            if (ready) ready();
        },
    };

    window.QWebChannel = function QWebChannel(transport, initCallback) {
        if (typeof transport !== "object" || transport === null || transport !== (window.qt && window.qt.webChannelTransport))
            throw new Error("QWebChannel expects the qt.webChannelTransport object");
        this.objects = {qmlWrapper: wrapper};
        // The real channel answers its init request asynchronously.
        const ready = () => initCallback(this);
        if (window.__standInBridgeConfig.holdChannel) pendingReady = ready;
        else setTimeout(ready, 0);
    };
})();
