// Runs inside KWin for the Tarvolin agent: reports every ordinary window and each change to
// it to the agent, and carries out the agent's commands. The agent defines `agentBusName`
// above this text when it loads the script.
"use strict";

const agentPath = "/org/tarvolin/KWin";
const agentInterface = "org.tarvolin.KWin";

// Everything that differs between KWin 5 and 6.
const kwin = typeof workspace.windowList === "function"
    ? {
        version: 6,
        windows: () => workspace.windowList(),
        added: workspace.windowAdded,
        removed: workspace.windowRemoved,
        activated: workspace.windowActivated,
        activate: (w) => { workspace.activeWindow = w; },
        desktopOf: (w) => (w.onAllDesktops || w.desktops.length === 0 ? "" : String(w.desktops[0].x11DesktopNumber)),
        desktopSignal: (w) => w.desktopsChanged,
        screens: () => workspace.screens.map((s) => s.geometry),
        screensChanged: workspace.screensChanged,
    }
    : {
        version: 5,
        windows: () => workspace.clientList(),
        added: workspace.clientAdded,
        removed: workspace.clientRemoved,
        activated: workspace.clientActivated,
        activate: (w) => { workspace.activeClient = w; },
        desktopOf: (w) => (w.onAllDesktops ? "" : String(w.desktop)),
        desktopSignal: (w) => w.desktopChanged,
        screens: () => {
            const all = [];
            for (let i = 0; i < workspace.numScreens; ++i) all.push(workspace.clientArea(KWin.ScreenArea, i, 1));
            return all;
        },
        screensChanged: workspace.numberScreensChanged,
    };

const known = new Map();  // id -> window, the windows reported

const idOf = (w) => String(w.internalId);
// Not docks, panels, the desktop, notifications, nor what stays off the task bar (layer-shell
// surfaces such as menus come as normal windows that skip it).
const ordinary = (w) => (w.normalWindow || w.dialog) && !w.specialWindow && !w.skipTaskbar;
const box = (g) => ({ x: g.x, y: g.y, w: g.width, h: g.height });

function describe(w) {
    return {
        id: idOf(w),
        pid: w.pid,
        title: w.caption,
        app: w.desktopFileName || String(w.resourceClass),
        frame: box(w.frameGeometry),
        minimised: w.minimized,
        desktop: kwin.desktopOf(w),
        close: w.closeable,
        move: w.moveable && w.resizeable,
        minimise: w.minimizable,
    };
}

function send(change) {
    callDBus(agentBusName, agentPath, agentInterface, "Event", JSON.stringify(change));
}

function watch(w) {
    const id = idOf(w);
    known.set(id, w);
    const report = () => { if (known.has(id)) send({ windows: [describe(w)] }); };
    for (const signal of [w.captionChanged, w.frameGeometryChanged, w.minimizedChanged, kwin.desktopSignal(w)])
        if (signal) signal.connect(report);
}

kwin.added.connect((w) => {
    if (!ordinary(w)) return;
    watch(w);
    send({ windows: [describe(w)] });
});
kwin.removed.connect((w) => {
    if (known.delete(idOf(w))) send({ gone: [idOf(w)] });
});
// Around a switch KWin activates no window for a moment; that says nothing to report.
kwin.activated.connect((w) => { if (w) send({ active: idOf(w) }); });
if (kwin.screensChanged) kwin.screensChanged.connect(() => send({ screens: kwin.screens().map(box) }));

// The agent's commands, each carried out at once and answered in the next call.
function carryOut(command) {
    const windows = (command.ids || []).map((id) => known.get(id));
    // A window closed meanwhile is closed all the same; any other command needs them all.
    if (command.op === "close") {
        for (const w of windows) if (w) w.closeWindow();
        return true;
    }
    if (windows.some((w) => !w)) return false;
    switch (command.op) {
    case "focus":
        for (const w of windows) {
            if (w.minimized) w.minimized = false;
            kwin.activate(w);
        }
        return true;
    case "frame":
        for (const w of windows) w.frameGeometry = { x: command.x, y: command.y, width: command.w, height: command.h };
        return true;
    case "minimise":
        for (const w of windows) w.minimized = command.minimised;
        return true;
    default:
        return false;
    }
}

function next(answer) {
    callDBus(agentBusName, agentPath, agentInterface, "Next", JSON.stringify(answer), (text) => {
        let command = {};
        let done = false;
        try {
            command = JSON.parse(text);
            done = carryOut(command);
        } catch (e) {
            print("tarvolin: " + e);
        }
        next(command.n === undefined ? {} : { n: command.n, done: done });
    });
}

const all = kwin.windows().filter(ordinary);
all.forEach(watch);
const active = all.find((w) => w.active);
send({
    hello: kwin.version,
    windows: all.map(describe),
    active: active ? idOf(active) : "",
    screens: kwin.screens().map(box),
});
next({});
