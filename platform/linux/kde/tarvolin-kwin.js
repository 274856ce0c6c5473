// Runs inside KWin for the Tarvolin agent: reports every ordinary window and each change to
// it to the agent, and carries out the agent's commands. The agent defines `agentBusName` and
// `agentToken` above this text when it loads the script; every call carries the token.
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
        // The user's order: the first is the primary.
        outputs: () => workspace.screenOrder || workspace.screens,
        screens: () => kwin.outputs().map((s) => s.geometry),
        screenSignals: [workspace.screensChanged, workspace.screenOrderChanged],
        outputSignals: (o) => [o.geometryChanged],
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
        outputs: () => [],
        screens: () => {
            const all = [];
            for (let i = 0; i < workspace.numScreens; ++i) all.push(workspace.clientArea(KWin.ScreenArea, i, 1));
            return all;
        },
        screenSignals: [workspace.numberScreensChanged, workspace.screenResized, workspace.virtualScreenGeometryChanged],
        outputSignals: () => [],
    };

const known = new Map();  // id -> { window, listed }: every window seen, ordinary or not

const idOf = (w) => String(w.internalId);
// A normal window or a dialog that does not skip the task bar (the same rule as the agent's GNOME
// Shell extension): not docks, panels, the desktop, notifications, menus or layer-shell surfaces.
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
    change.token = agentToken;
    callDBus(agentBusName, agentPath, agentInterface, "Event", JSON.stringify(change));
}

function listed(id) {
    const entry = known.get(id);
    return entry && entry.listed ? entry.window : null;
}

// A window is listed while it is ordinary: one that becomes so later is listed then.
function consider(w) {
    const entry = known.get(idOf(w));
    if (!entry) return;
    const now = ordinary(w);
    if (now) send({ windows: [describe(w)] });
    else if (entry.listed) send({ gone: [idOf(w)] });
    entry.listed = now;
}

function watch(w) {
    const id = idOf(w);
    known.set(id, { window: w, listed: ordinary(w) });
    const report = () => consider(w);
    for (const signal of [w.captionChanged, w.frameGeometryChanged, w.minimizedChanged, kwin.desktopSignal(w),
        w.skipTaskbarChanged, w.windowTypeChanged])
        if (signal) signal.connect(report);
}

kwin.added.connect((w) => {
    watch(w);
    if (listed(idOf(w))) send({ windows: [describe(w)] });
});
kwin.removed.connect((w) => {
    const wasListed = listed(idOf(w));
    known.delete(idOf(w));
    if (wasListed) send({ gone: [idOf(w)] });
});
// No active window says so too (KWin passes none around a switch, then the new one).
kwin.activated.connect((w) => send({ active: w && listed(idOf(w)) ? idOf(w) : "" }));

// Screens: the primary first; any change to one of them, or to which are there, is reported.
const watchedOutputs = new Set();
function watchOutputs() {
    for (const o of kwin.outputs()) {
        if (watchedOutputs.has(o)) continue;
        watchedOutputs.add(o);
        for (const signal of kwin.outputSignals(o)) if (signal) signal.connect(reportScreens);
    }
}
function reportScreens() {
    watchOutputs();
    send({ screens: kwin.screens().map(box) });
}
for (const signal of kwin.screenSignals) if (signal) signal.connect(reportScreens);

// The agent's commands, each carried out at once and answered in the next call.
function carryOut(command) {
    const windows = (command.ids || []).map((id) => listed(id));
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
    answer.token = agentToken;
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

kwin.windows().forEach(watch);
const all = kwin.windows().filter((w) => listed(idOf(w)));
const active = all.find((w) => w.active);
watchOutputs();
send({
    hello: kwin.version,
    windows: all.map(describe),
    active: active ? idOf(active) : "",
    screens: kwin.screens().map(box),
});
next({});
