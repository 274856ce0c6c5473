// Runs inside GNOME Shell for the Tarvolin agent: exports /org/tarvolin/Shell on the Shell's own
// connection to the session bus. The agent reads the windows with List and follows them through
// Changed, whose messages name only what changed. Written once for every Shell version: the entry
// points pass in the Shell's modules.
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

var TarvolinService = class {
    constructor(shell) {
        this._shell = shell;  // { GLib, Gio, Meta, Shell, St, Clutter, Main, ModalDialog }
        this._known = new Map();  // id -> { window, handlers, listed }: every window, ordinary or not
        this._pending = null;
        this._flushSource = 0;
        this._chooser = null;
    }

    start() {
        const { Gio, Shell } = this._shell;
        this._tracker = Shell.WindowTracker.get_default();
        const display = global.display;
        this._displayHandlers = [
            display.connect("window-created", (_d, w) => this._consider(w)),
            display.connect("notify::focus-window", () => this._queueActive()),
        ];
        this._monitorHandler = this._shell.Main.layoutManager.connect("monitors-changed",
            () => this._queue({ screens: this._screens() }));
        for (const actor of global.get_window_actors()) this._consider(actor.meta_window, true);
        this._dbus = Gio.DBusExportedObject.wrapJSObject(interfaceXml, this);
        this._dbus.export(Gio.DBus.session, "/org/tarvolin/Shell");
    }

    stop() {
        // The agent follows the windows no longer: it says so rather than act on a stale list.
        this._dbus?.emit_signal("Stopped", null);
        this._dbus?.unexport();
        this._dbus = null;
        this._chooser?.finish("");
        for (const id of this._displayHandlers ?? []) global.display.disconnect(id);
        if (this._monitorHandler) this._shell.Main.layoutManager.disconnect(this._monitorHandler);
        for (const id of [...this._known.keys()]) this._forget(id);
        if (this._flushSource) this._shell.GLib.source_remove(this._flushSource);
        this._flushSource = 0;
    }

    // Not docks, panels, the desktop, menus, nor what stays off the task bar.
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
            move: w.allows_move() && w.allows_resize(),
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
                "size-changed", "workspace-changed"].map((signal) => w.connect(signal, report));
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
        this._dbus.emit_signal("Changed", new this._shell.GLib.Variant("(s)", [JSON.stringify(p)]));
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
    List() {
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

    Activate(ids) {
        const windows = this._windows(ids);
        if (!windows) return this._answer(false);
        for (const w of windows) {
            if (w.minimized) w.unminimize();
            this._shell.Main.activateWindow(w, global.get_current_time());
        }
        return this._answer(true);
    }

    // A window closed meanwhile is closed all the same.
    Close(ids) {
        for (const id of ids) this._listed(id)?.delete(global.get_current_time());
        return this._answer(true);
    }

    SetFrame(id, x, y, width, height) {
        const w = this._listed(id);
        if (!w || !w.allows_move() || !w.allows_resize() || width <= 0 || height <= 0) return this._answer(false);
        if (w.get_maximized?.()) w.unmaximize(this._shell.Meta.MaximizeFlags.BOTH);
        w.move_resize_frame(true, x, y, width, height);
        return this._answer(true);
    }

    Minimise(id, minimised) {
        const w = this._listed(id);
        if (!w || (minimised && !w.can_minimize())) return this._answer(false);
        if (minimised) w.minimize();
        else w.unminimize();
        return this._answer(true);
    }

    // A list of the caller's rows drawn by the Shell: typing filters, Enter picks, Escape or
    // the time running out answers "".
    ChooseAsync([rows, icons, timeoutMs], invocation) {
        this._chooser?.finish("");
        // Over the lock screen the list would show the windows to whoever is at the keyboard.
        if (this._shell.Main.sessionMode.isLocked) {
            invocation.return_value(new this._shell.GLib.Variant("(s)", [""]));
            return;
        }
        this._chooser = new Chooser(this._shell, rows, icons, timeoutMs, (chosen) => {
            this._chooser = null;
            invocation.return_value(new this._shell.GLib.Variant("(s)", [chosen]));
        });
    }
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
        this._list = new St.BoxLayout({ vertical: true });
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
        if (!this._dialog.open(global.get_current_time())) {
            this.finish("");
            return;
        }
        global.stage.set_key_focus(text);
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
        this._dialog.close(global.get_current_time());
        done(chosen);
    }
}
