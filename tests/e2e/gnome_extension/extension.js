// Test instrumentation for ostrel's end-to-end tests on a private headless
// gnome-shell (tests/e2e/gnomesession.py installs it in the session's own
// HOME; it never runs on a real desktop).
//
// It hides the top bar, so that each monitor shows exactly the desktop
// picture, counts the shell's flashes and event sounds (what a copy of the
// screen through the portal brings), and exports org.ostrel.TestShell at
// /org/ostrel/TestShell on the shell's session bus connection (so under the
// name org.gnome.Shell):
//   Ready() -> b         start-up is complete and the overview is closed
//   Dialogs() -> as      the texts of each shown modal dialog, one string
//                        each, such as the portal's "Allow Applications to
//                        Take Screenshots?"
//   Pointer() -> (ii)    where the shell has the pointer, layout coordinates
//   Counts() -> (uu)     the flashes and the event sounds since it started
//   ShowTopBar(b)        shows the top bar (its clock hidden: a minute
//                        turning would change it), or hides it again
//   RefuseScreenCasts()  makes mutter refuse new screen-cast sessions, as
//                        its lock screen does (closing those it has, the
//                        helper's remote desktop too), for the session's life
// The shell's own Eval is refused outside its unsafe mode, and that mode
// would also lift the screenshot interface's caller check that ostrel meets
// on a real desktop: hence this small interface instead.
/* exported init */
const { Gio, Meta, St } = imports.gi;
const Screenshot = imports.ui.screenshot;
const Main = imports.ui.main;

let flashes = 0;
let sounds = 0;

const INTERFACE = `
<node>
  <interface name="org.ostrel.TestShell">
    <method name="Ready"><arg type="b" direction="out" name="ready"/></method>
    <method name="Dialogs"><arg type="as" direction="out" name="texts"/></method>
    <method name="Pointer">
      <arg type="i" direction="out" name="x"/>
      <arg type="i" direction="out" name="y"/>
    </method>
    <method name="Counts">
      <arg type="u" direction="out" name="flashes"/>
      <arg type="u" direction="out" name="sounds"/>
    </method>
    <method name="ShowTopBar"><arg type="b" direction="in" name="shown"/></method>
    <method name="RefuseScreenCasts"/>
  </interface>
</node>`;

function labelTexts(actor, out) {
    if (actor instanceof St.Label)
        out.push(actor.get_text());
    for (const child of actor.get_children())
        labelTexts(child, out);
}

class TestShell {
    Ready() {
        return !Main.layoutManager._startingUp && !Main.overview.visible;
    }

    Dialogs() {
        return Main.layoutManager.modalDialogGroup.get_children()
            .filter(dialog => dialog.mapped)
            .map(dialog => {
                const texts = [];
                labelTexts(dialog, texts);
                return texts.join('\n');
            });
    }

    Pointer() {
        const [x, y] = global.get_pointer();
        return [x, y];
    }

    Counts() {
        return [flashes, sounds];
    }

    ShowTopBar(shown) {
        Main.panel.statusArea.dateMenu.container.visible = !shown;
        if (shown)
            Main.panel.show();
        else
            Main.panel.hide();
    }

    RefuseScreenCasts() {
        if (this._refused)
            return;
        global.backend.get_remote_access_controller().inhibit_remote_access();
        this._refused = true;
    }
}

class Extension {
    enable() {
        this._exported = Gio.DBusExportedObject.wrapJSObject(INTERFACE, new TestShell());
        this._exported.export(Gio.DBus.session, '/org/ostrel/TestShell');
        this._fire = Screenshot.Flashspot.prototype.fire;
        const fire = this._fire;
        Screenshot.Flashspot.prototype.fire = function (...args) {
            flashes++;
            return fire.apply(this, args);
        };
        this._play = Meta.SoundPlayer.prototype.play_from_theme;
        const play = this._play;
        Meta.SoundPlayer.prototype.play_from_theme = function (...args) {
            sounds++;
            return play.apply(this, args);
        };
        // The panel itself, not its box: the layout manager shows the box
        // again whenever a fullscreen window goes.
        Main.panel.hide();
    }

    disable() {
        Screenshot.Flashspot.prototype.fire = this._fire;
        Meta.SoundPlayer.prototype.play_from_theme = this._play;
        Main.panel.show();
        this._exported.unexport();
        this._exported = null;
    }
}

function init() {
    return new Extension();
}
