// The entry point GNOME Shell 43 and 44 load (the imports style); the work is in service.js.
"use strict";

const { GLib, Gio, Meta, Shell, St, Clutter } = imports.gi;
const Main = imports.ui.main;
const ModalDialog = imports.ui.modalDialog;
const { TarvolinService } = imports.misc.extensionUtils.getCurrentExtension().imports.service;

let service = null;

function init() {}

function enable() {
    // Enabled twice without a disable between: one service stays.
    if (service) return;
    service = new TarvolinService({ GLib, Gio, Meta, Shell, St, Clutter, Main, ModalDialog });
    service.start();
}

function disable() {
    service?.stop();
    service = null;
}
