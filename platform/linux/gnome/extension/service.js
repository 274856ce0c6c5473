// Runs inside GNOME Shell for the Tarvolin agent: exports /org/tarvolin/Shell on the Shell's own
// connection to the session bus. The agent reads the windows with List and follows them through
// Changed, whose messages name only what changed. Only the agent's own programs may call it or
// hear it (see Callers). Written once for every Shell version: the entry points pass in the
// Shell's modules, and what differs between versions is found by looking, not by version.
"use strict";

var INTERFACE_VERSION = 1;

const interfaceXml = `<node>
  <interface name="org.tarvolin.Shell">
    <method name="List"><arg type="s" direction="out" name="state"/></method>
    <method name="Activate"><arg type="as" direction="in" name="ids"/><arg type="b" direction="out"/></method>
    <method name="Close"><arg type="as" direction="in" name="ids"/><arg type="b" direction="out"/></method>
    <method name="SetFrame">
      <arg type="s" direction="in" name="id"/>
      <arg type="i" direction="in" name="x"/><arg type="i" direction="in" name="y"/>
      <arg type="i" direction="in" name="width"/><arg type="i" direction="in" name="height"/>
      <arg type="b" direction="out"/>
    </method>
    <method name="Minimise">
      <arg type="s" direction="in" name="id"/><arg type="b" direction="in" name="minimised"/>
      <arg type="b" direction="out"/>
    </method>
    <method name="Choose">
      <arg type="as" direction="in" name="rows"/><arg type="as" direction="in" name="icons"/>
      <arg type="u" direction="in" name="timeoutMs"/><arg type="s" direction="out" name="chosen"/>
    </method>
    <signal name="Changed"><arg type="s" name="message"/></signal>
    <signal name="Stopped"/>
  </interface>
</node>`;

const kRowsShown = 12;
const kSettleMs = 500;
const kPath = "/org/tarvolin/Shell";
const kInterface = "org.tarvolin.Shell";
// Each program of the agent's owns a name here made from its unique name (":1.42" owns
// "org.tarvolin.Client._1_42"). A sandboxed app cannot own names outside its own id.
const kClientNamespace = "org.tarvolin.Client";
const clientName = (unique) => `${kClientNamespace}.${unique.replace(/[:.]/g, "_")}`;

// Who may call: a caller that owns its client name now. Answers from a cache once asked; a name
// that changes hands drops its old owner.
class Callers {
    constructor(Gio, GLib, onLeft) {
        this._Gio = Gio;
        this._GLib = GLib;
        this._admitted = new Set();
        this._subscription = Gio.DBus.session.signal_subscribe("org.freedesktop.DBus",
            "org.freedesktop.DBus", "NameOwnerChanged", "/org/freedesktop/DBus", kClientNamespace,
            Gio.DBusSignalFlags.MATCH_ARG0_NAMESPACE, (_c, _s, _p, _i, _n, params) => {
                const [, from] = params.deepUnpack();
                if (from && this._admitted.delete(from)) onLeft(from);
            });
    }

    // `then(admitted)`, at once when the caller is known.
    check(sender, then) {
        if (this._admitted.has(sender)) {
            then(true);
            return;
        }
        const { _Gio: Gio, _GLib: GLib } = this;
        Gio.DBus.session.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "GetNameOwner", new GLib.Variant("(s)", [clientName(sender)]), new GLib.VariantType("(s)"),
            Gio.DBusCallFlags.NONE, -1, null, (connection, result) => {
                let owner = "";
                try {
                    [owner] = connection.call_finish(result).deepUnpack();
                } catch (e) {
                    // Not owned: not one of ours.
                }
                if (owner === sender && this._subscription) this._admitted.add(sender);
                then(owner === sender);
            });
    }

    stop() {
        if (this._subscription) this._Gio.DBus.session.signal_unsubscribe(this._subscription);
        this._subscription = 0;
        this._admitted.clear();
    }
}

// What each method answers, once the caller is admitted.
const kAnswers = { List: "(s)", Activate: "(b)", Close: "(b)", SetFrame: "(b)", Minimise: "(b)" };

var TarvolinService = class {
    constructor(shell) {
        this._shell = shell;  // { GLib, Gio, Meta, Shell, St, Clutter, Main, ModalDialog }
        this._known = new Map();  // id -> { window, handlers, listed }: every window, ordinary or not
        this._pending = null;
        this._flushSource = 0;
        this._chooser = null;
        this._listeners = new Set();  // the callers of List, who get the changes
    }

    start() {
        const { Gio, Shell } = this._shell;
        // First what may fail (the object taken): nothing else is left to undo then.
        this._callers = new Callers(Gio, this._shell.GLib, (gone) => this._listeners.delete(gone));
        const exported = Gio.DBusExportedObject.wrapJSObject(interfaceXml, this);
        try {
            exported.export(Gio.DBus.session, kPath);
        } catch (e) {
            this._callers.stop();
            throw e;
        }
        this._dbus = exported;
        this._tracker = Shell.WindowTracker.get_default();
        const display = global.display;
        this._displayHandlers = [
            display.connect("window-created", (_d, w) => this._consider(w)),
            display.connect("notify::focus-window", () => this._queueActive()),
        ];
        this._monitorHandler = this._shell.Main.layoutManager.connect("monitors-changed",
            () => this._queue({ screens: this._screens() }));
        for (const actor of global.get_window_actors()) this._consider(actor.meta_window, true);
    }

    stop() {
        // The agent follows the windows no longer: it says so rather than act on a stale list.
        if (this._dbus) this._emit("Stopped", null);
        this._dbus?.unexport();
        this._callers?.stop();
        this._listeners.clear();
        this._dbus = null;
        this._chooser?.finish("");
        for (const id of this._displayHandlers ?? []) global.display.disconnect(id);
        if (this._monitorHandler) this._shell.Main.layoutManager.disconnect(this._monitorHandler);
        for (const id of [...this._known.keys()]) this._forget(id);
        if (this._flushSource) this._shell.GLib.source_remove(this._flushSource);
        this._flushSource = 0;
    }

    // A normal window or a dialog that does not skip the task bar (the same rule as the agent's
    // KWin script): not docks, panels, the desktop, menus.
    _ordinary(w) {
        const { Meta } = this._shell;
        const types = [Meta.WindowType.NORMAL, Meta.WindowType.DIALOG, Meta.WindowType.MODAL_DIALOG];
        return !w.is_override_redirect() && types.includes(w.get_window_type()) && !w.skip_taskbar;
    }

    _describe(w) {
        const app = this._tracker.get_window_app(w);
        const id = app && !app.is_window_backed() ? app.get_id().replace(/\.desktop$/, "") : "";
        const frame = w.get_frame_rect();
        const workspace = w.get_workspace();
        return {
            id: String(w.get_id()),
            pid: Math.max(w.get_pid(), 0),
            title: w.get_title() ?? "",
            app: id || w.get_gtk_application_id() || w.get_wm_class() || "",
            frame: { x: frame.x, y: frame.y, w: frame.width, h: frame.height },
            minimised: w.minimized,
            desktop: w.is_on_all_workspaces() || !workspace ? "" : String(workspace.index() + 1),
            close: w.can_close(),
            // A maximised window allows no resize until it is unmaximised, which SetFrame does first.
            move: w.allows_move() && (w.allows_resize() || this._maximized(w)),
            minimise: w.can_minimize(),
        };
    }

    // A window enters the list once it is ordinary, and leaves it once it no longer is.
    _consider(w, quietly = false) {
        const id = String(w.get_id());
        if (!this._known.has(id)) {
            const report = () => this._consider(w);
            const handlers = ["notify::title", "notify::wm-class", "notify::gtk-application-id",
                "notify::skip-taskbar", "notify::minimized", "notify::window-type", "position-changed",
                "size-changed", "workspace-changed", "notify::maximized-horizontally",
                "notify::maximized-vertically"].map((signal) => w.connect(signal, report));
            handlers.push(w.connect("unmanaged", () => {
                const listed = this._known.get(id)?.listed;
                this._forget(id);
                if (listed) this._queue({ gone: [id] });
            }));
            this._known.set(id, { window: w, handlers, listed: false });
        }
        const entry = this._known.get(id);
        const ordinary = this._ordinary(w);
        if (ordinary) this._queue({ windows: [this._describe(w)] }, quietly);
        else if (entry.listed) this._queue({ gone: [id] }, quietly);
        entry.listed = ordinary;
    }

    _forget(id) {
        const entry = this._known.get(id);
        if (!entry) return;
        for (const h of entry.handlers) entry.window.disconnect(h);
        this._known.delete(id);
    }

    _listed(id) {
        const entry = this._known.get(id);
        return entry?.listed ? entry.window : null;
    }

    _queueActive() {
        const w = global.display.focus_window;
        const id = w ? String(w.get_id()) : "";
        this._queue({ active: this._listed(id) ? id : "" });
    }

    _screens() {
        const display = global.display;
        const all = [];
        for (let i = 0; i < display.get_n_monitors(); ++i) {
            const g = display.get_monitor_geometry(i);
            const box = { x: g.x, y: g.y, w: g.width, h: g.height };
            if (i === display.get_primary_monitor()) all.unshift(box);
            else all.push(box);
        }
        return all;
    }

    // Changes go out together once the Shell is idle, and before any answer to the agent, so
    // that the agent sees what a command did when it has the answer.
    _queue(change, quietly = false) {
        if (quietly || !this._dbus) return;
        // One message holds one activation: two in a row keep their order.
        if (change.active !== undefined && this._pending?.active !== undefined) this._flush();
        const p = (this._pending ??= {});
        for (const w of change.windows ?? []) {
            p.gone = p.gone?.filter((id) => id !== w.id);
            (p.windows ??= []).push(w);
        }
        for (const id of change.gone ?? []) {
            p.windows = p.windows?.filter((w) => w.id !== id);
            (p.gone ??= []).push(id);
        }
        if (change.active !== undefined) p.active = change.active;
        if (change.screens) p.screens = change.screens;
        if (!this._flushSource) {
            const { GLib } = this._shell;
            this._flushSource = GLib.idle_add(GLib.PRIORITY_DEFAULT, () => {
                this._flushSource = 0;
                this._flush();
                return GLib.SOURCE_REMOVE;
            });
        }
    }

    _flush() {
        const p = this._pending;
        this._pending = null;
        if (!p || !this._dbus) return;
        // A window described twice in one message counts once, as last described.
        if (p.windows) p.windows = [...new Map(p.windows.map((w) => [w.id, w])).values()];
        this._emit("Changed", new this._shell.GLib.Variant("(s)", [JSON.stringify(p)]));
    }

    // To the listeners alone, never broadcast: the titles are the user's.
    _emit(signal, parameters) {
        for (const listener of this._listeners)
            this._shell.Gio.DBus.session.emit_signal(listener, kPath, kInterface, signal, parameters);
    }

    // Every method checks its caller first.
    _serve(method, params, invocation) {
        const sender = invocation.get_sender();
        this._callers.check(sender, (admitted) => {
            if (!this._dbus) {
                invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownObject", "stopped");
            } else if (!admitted) {
                invocation.return_dbus_error("org.freedesktop.DBus.Error.AccessDenied",
                    `${method} is only for the Tarvolin agent and tarvolinctl`);
            } else if (method === "Choose") {
                this._choose(params, invocation);
            } else {
                if (method === "List") this._listeners.add(sender);
                // A method answers at once, or by a promise when the Shell must wait on a client.
                Promise.resolve(this[`_${method}`](...params)).then((result) => invocation.return_value(
                    new this._shell.GLib.Variant(kAnswers[method], [result])));
            }
        });
    }

    // The time of the event that asked: a call on the bus has none of its own, and 0 makes
    // Mutter refuse or warn.
    _now() { return global.display.get_current_time_roundtrip(); }

    // GNOME 49 took get_maximized and unmaximize's flags away.
    _maximized(w) {
        return typeof w.get_maximize_flags === "function" ? w.get_maximize_flags() !== 0 : w.get_maximized() !== 0;
    }

    _unmaximize(w) {
        if (typeof w.get_maximized === "function") w.unmaximize(this._shell.Meta.MaximizeFlags.BOTH);
        else w.unmaximize();
    }

    _windows(ids) {
        const all = ids.map((id) => this._listed(id));
        return all.includes(null) ? null : all;
    }

    _answer(result) {
        this._flush();
        return result;
    }

    // The interface: every window, bottom first, with the focused one and the screens.
    _List() {
        const { Meta } = this._shell;
        this._flush();  // other listeners are owed the changes before the list
        const ordered = global.display.get_tab_list(Meta.TabList.NORMAL_ALL, null).reverse();
        const listed = new Set(ordered.map((w) => String(w.get_id())));
        for (const [id, entry] of this._known)
            if (entry.listed && !listed.has(id)) ordered.unshift(entry.window);
        const windows = ordered.filter((w) => this._listed(String(w.get_id())));
        const focus = global.display.focus_window;
        const active = focus && this._listed(String(focus.get_id())) ? String(focus.get_id()) : "";
        return JSON.stringify({ hello: INTERFACE_VERSION, windows: windows.map((w) => this._describe(w)),
            active, screens: this._screens() });
    }

    _Activate(ids) {
        const windows = this._windows(ids);
        if (!windows) return this._answer(false);
        for (const w of windows) {
            if (w.minimized) w.unminimize();
            this._shell.Main.activateWindow(w, this._now());
        }
        return this._answer(true);
    }

    // A window closed meanwhile is closed all the same.
    _Close(ids) {
        for (const id of ids) this._listed(id)?.delete(this._now());
        return this._answer(true);
    }

    async _SetFrame(id, x, y, width, height) {
        const w = this._listed(id);
        if (!w || !w.allows_move() || width <= 0 || height <= 0) return this._answer(false);
        const frame = () => {
            const f = w.get_frame_rect();
            return { x: f.x, y: f.y, width: f.width, height: f.height };
        };
        const same = (a, b) => a.x === b.x && a.y === b.y && a.width === b.width && a.height === b.height;
        if (this._maximized(w)) {
            // The client takes its size back in its own time, and Mutter places it then: a move
            // made before would be undone.
            const maximised = frame();
            this._unmaximize(w);
            await this._until(w, () => !same(frame(), maximised));
        }
        if (!w.allows_resize()) return this._answer(false);
        const want = { x, y, width, height };
        w.move_resize_frame(true, x, y, width, height);
        // The agent's next request builds on this one.
        await this._until(w, () => same(frame(), want));
        return this._answer(true);
    }

    // Until `done()` holds once the window moved or changed size, or kSettleMs have passed: a
    // Wayland client takes a new size, and a move with it, only once it acknowledges it.
    _until(w, done) {
        const { GLib } = this._shell;
        if (done()) return Promise.resolve();
        return new Promise((resolve) => {
            let timeout = 0;
            const handlers = [];
            const finish = () => {
                if (!handlers.length) return;
                for (const h of handlers.splice(0)) w.disconnect(h);
                if (timeout) GLib.source_remove(timeout);
                timeout = 0;
                resolve();
            };
            for (const signal of ["position-changed", "size-changed"])
                handlers.push(w.connect(signal, () => done() && finish()));
            handlers.push(w.connect("unmanaged", finish));
            timeout = GLib.timeout_add(GLib.PRIORITY_DEFAULT, kSettleMs, () => {
                timeout = 0;
                finish();
                return GLib.SOURCE_REMOVE;
            });
        });
    }

    _Minimise(id, minimised) {
        const w = this._listed(id);
        if (!w || (minimised && !w.can_minimize())) return this._answer(false);
        if (minimised) w.minimize();
        else w.unminimize();
        return this._answer(true);
    }

    // A list of the caller's rows drawn by the Shell: typing filters, Enter picks, Escape or
    // the time running out answers "". A list that cannot be shown is an error, never a choice.
    _choose([rows, icons, timeoutMs], invocation) {
        this._chooser?.finish("");
        const cannot = (why) => invocation.return_dbus_error("org.tarvolin.Shell.Error.CannotShow", why);
        // Over the lock screen the list would show the windows to whoever is at the keyboard.
        if (this._shell.Main.sessionMode.isLocked) {
            cannot("the screen is locked");
            return;
        }
        const chooser = new Chooser(this._shell, rows, icons, timeoutMs, (chosen) => {
            if (this._chooser === chooser) this._chooser = null;
            invocation.return_value(new this._shell.GLib.Variant("(s)", [chosen]));
        });
        if (chooser.open(this._now())) this._chooser = chooser;
        else cannot("another window holds the keyboard (a modal dialog or a grab)");
    }
};

// Every method of the interface goes through the check of its caller.
for (const method of [...Object.keys(kAnswers), "Choose"])
    TarvolinService.prototype[`${method}Async`] = function (params, invocation) {
        this._serve(method, params, invocation);
    };

// Each typed word must appear in a row, ignoring case; rows keep the caller's order, so the
// caller puts the row of a label before the rows that merely contain it.
var matchingRows = (rows, typed) => {
    const words = typed.toLowerCase().split(/\s+/).filter((w) => w.length > 0);
    return rows.map((row, index) => ({ row, index }))
        .filter(({ row }) => words.every((w) => row.toLowerCase().includes(w)));
};

class Chooser {
    constructor(shell, rows, icons, timeoutMs, done) {
        const { St, Clutter, Gio, GLib, ModalDialog } = shell;
        this._shell = shell;
        this._rows = rows;
        this._done = done;
        this._selected = 0;
        this._dialog = new ModalDialog.ModalDialog({ styleClass: "tarvolin-chooser", destroyOnClose: true });
        this._entry = new St.Entry({ hint_text: "Type a label or part of a name", can_focus: true });
        // St.BoxLayout has `orientation` from GNOME 48 on, where `vertical` is deprecated.
        this._list = new St.BoxLayout("orientation" in St.BoxLayout.prototype
            ? { orientation: Clutter.Orientation.VERTICAL } : { vertical: true });
        this._dialog.contentLayout.add_child(this._entry);
        this._dialog.contentLayout.add_child(this._list);
        this._dialog.setButtons([
            { label: "Cancel", action: () => this.finish(""), key: Clutter.KEY_Escape },
            { label: "Switch", action: () => this._pick(), default: true },
        ]);
        this._icons = icons.map((path) => (path ? Gio.FileIcon.new(Gio.File.new_for_path(path)) : null));
        const text = this._entry.clutter_text;
        text.connect("text-changed", () => {
            this._selected = 0;
            this._draw();
        });
        text.connect("activate", () => this._pick());
        text.connect("key-press-event", (_actor, event) => {
            const key = event.get_key_symbol();
            if (key === Clutter.KEY_Escape) {
                this.finish("");
                return Clutter.EVENT_STOP;
            }
            const step = key === Clutter.KEY_Down ? 1 : key === Clutter.KEY_Up ? -1 : 0;
            if (!step) return Clutter.EVENT_PROPAGATE;
            const shown = Math.min(this._matches().length, kRowsShown);
            if (shown) this._selected = (this._selected + step + shown) % shown;
            this._draw();
            return Clutter.EVENT_STOP;
        });
        this._timeout = timeoutMs > 0
            ? GLib.timeout_add(GLib.PRIORITY_DEFAULT, timeoutMs, () => {
                this._timeout = 0;
                this.finish("");
                return GLib.SOURCE_REMOVE;
            })
            : 0;
        this._draw();
    }

    // Shows it; false, with nothing left on the stage and no answer given, when the Shell cannot.
    open(time) {
        if (this._dialog.open(time)) {
            global.stage.set_key_focus(this._entry.clutter_text);
            return true;
        }
        this._done = null;
        if (this._timeout) this._shell.GLib.source_remove(this._timeout);
        this._timeout = 0;
        this._dialog.destroy();
        return false;
    }

    _matches() { return matchingRows(this._rows, this._entry.get_text()); }

    _draw() {
        const { St } = this._shell;
        this._list.destroy_all_children();
        this._matches().slice(0, kRowsShown).forEach(({ row, index }, i) => {
            const line = new St.BoxLayout({ style: "spacing: 12px; padding: 4px 8px;" +
                (i === this._selected ? "background-color: rgba(127, 127, 127, 0.4); border-radius: 6px;" : "") });
            const icon = this._icons[index];
            line.add_child(icon ? new St.Icon({ gicon: icon, icon_size: 32 }) : new St.Widget({ width: 32 }));
            line.add_child(new St.Label({ text: row, y_align: this._shell.Clutter.ActorAlign.CENTER }));
            this._list.add_child(line);
        });
    }

    _pick() {
        const chosen = this._matches()[this._selected];
        this.finish(chosen ? chosen.row : "");
    }

    finish(chosen) {
        if (!this._done) return;
        const done = this._done;
        this._done = null;
        if (this._timeout) this._shell.GLib.source_remove(this._timeout);
        this._timeout = 0;
        this._dialog.close(global.display.get_current_time_roundtrip());
        done(chosen);
    }
}
