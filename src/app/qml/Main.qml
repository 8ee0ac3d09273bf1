// The main window: the root view over the window's models, the menus, the settings
// window, and asking before quitting.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Window
import Zoranth.Host

ApplicationWindow {
    id: window

    // One model per screen concern, shown by the broadcast controller.
    required property WindowModels models
    // Asks the quit coordinator whether quitting needs a question, and answers it; without
    // one the window quits without asking.
    property QuitPrompt quitPrompt: null
    // Set once quitting is decided, so closing the window no longer asks.
    property bool quitting: false
    readonly property alias rootView: rootView
    readonly property alias settingsWindow: settingsWindow

    // Quitting was decided; the application ends its event loop on this.
    signal quitRequested()

    objectName: "mainWindow"
    title: "Zoranth Host"
    width: 660
    height: 720
    minimumWidth: 620
    minimumHeight: 520
    color: Brand.window
    palette.highlight: Brand.tint
    palette.window: Brand.window
    palette.base: Brand.surface
    palette.button: Brand.surface

    function openSettings() {
        settingsWindow.show()
        settingsWindow.raise()
        settingsWindow.requestActivate()
    }

    function quit() {
        quitting = true
        settingsWindow.close()
        quitRequested()
    }

    // Quit now, or ask first while a rave is live or the speakers are ours to unmute.
    function requestQuit() {
        if (quitPrompt && quitPrompt.ask())
            quitDialog.ask()
        else
            quit()
    }

    onClosing: function(close) {
        if (!quitting) {
            close.accepted = false
            requestQuit()
        }
    }

    menuBar: MenuBar {
        objectName: "menuBar"
        Menu {
            title: "&File"
            Action {
                objectName: "settingsAction"
                text: "Settings…"
                shortcut: "Ctrl+,"
                onTriggered: window.openSettings()
            }
            MenuSeparator {}
            Action {
                objectName: "quitAction"
                text: "Quit Zoranth"
                shortcut: StandardKey.Quit
                onTriggered: window.requestQuit()
            }
        }
        Menu {
            title: "&Help"
            Action {
                objectName: "helpAction"
                text: "Zoranth Help"
                onTriggered: Desktop.openHelp()
            }
        }
    }

    HostRootView {
        id: rootView
        objectName: "hostRootView"
        anchors.fill: parent
        models: window.models
    }

    QuitDialog {
        id: quitDialog
        objectName: "quitDialog"
        parent: Overlay.overlay
        prompt: window.quitPrompt
        onAnswered: function(quit, unmute) {
            if (window.quitPrompt.answer(quit, unmute))
                window.quit()
        }
    }

    SettingsWindow {
        id: settingsWindow
        models: window.models
        transientParent: null
    }
}
