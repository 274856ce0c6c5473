// The entry point GNOME Shell 45 and later load (an ES module); the work is in service.js.
import GLib from "gi://GLib";
import Gio from "gi://Gio";
import Meta from "gi://Meta";
import Shell from "gi://Shell";
import St from "gi://St";
import Clutter from "gi://Clutter";
import * as Main from "resource:///org/gnome/shell/ui/main.js";
import * as ModalDialog from "resource:///org/gnome/shell/ui/modalDialog.js";
import { Extension } from "resource:///org/gnome/shell/extensions/extension.js";
import { TarvolinService } from "./service.js";

export default class TarvolinExtension extends Extension {
    enable() {
        // GNOME 48 may enable an extension twice without disabling it between: one service stays.
        if (this._service) return;
        this._service = new TarvolinService({ GLib, Gio, Meta, Shell, St, Clutter, Main, ModalDialog });
        this._service.start();
    }

    disable() {
        this._service?.stop();
        this._service = null;
    }
}
