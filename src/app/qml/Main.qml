// The main window: the root view over the broadcast controller, the menus, the settings
// window, and asking before quitting.
import QtQuick
import QtQuick.Controls
import QtQuick.Controls.Fusion
import QtQuick.Window
import Zoranth.Window

ApplicationWindow {
    id: window

    // The process's broadcast controller; the views show an idle rave without one.
    property QtObject controller: null
    // Asks the quit coordinator whether quitting needs a question, and answers it.
    property QtObject quitPrompt: null
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
        const question = quitPrompt ? quitPrompt.question() : null
        if (question === null || question === undefined)
            quit()
        else
            quitDialog.ask(question)
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
        controller: window.controller
    }

    QuitDialog {
        id: quitDialog
        objectName: "quitDialog"
        parent: Overlay.overlay
        onAnswered: function(quit, unmute) {
            if (window.quitPrompt.answer(quit, unmute))
                window.quit()
        }
    }

    SettingsWindow {
        id: settingsWindow
        controller: window.controller
        transientParent: null
    }
}
